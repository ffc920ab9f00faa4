// Tokens and the on-demand scanner. The token list is one X-macro: its order is
// the numbering the parse-rule table and the base-type codes rely on.
#pragma once

#include <cstdint>

// X(name, lexeme) in numeric order.
#define VESSRIN_TOKENS(X)                        \
    X(TOKEN_INT_LITERAL, "integer")              \
    X(TOKEN_FLOAT_LITERAL, "float literal")      \
    X(TOKEN_STRING_LITERAL, "string literal")    \
    X(TOKEN_TRUE, "true")                        \
    X(TOKEN_FALSE, "false")                      \
    X(TOKEN_NULL, "null")                        \
    X(TOKEN_IDENTIFIER, "identifier")            \
    X(TOKEN_INT, "int")                          \
    X(TOKEN_FLOAT, "float")                      \
    X(TOKEN_BOOL, "bool")                        \
    X(TOKEN_STRING, "string")                    \
    X(TOKEN_AUTO, "auto")                        \
    X(TOKEN_IF, "if")                            \
    X(TOKEN_ELSE, "else")                        \
    X(TOKEN_WHILE, "while")                      \
    X(TOKEN_DEF, "def")                          \
    X(TOKEN_RETURN, "return")                    \
    X(TOKEN_RESULT, "Result")                    \
    X(TOKEN_OK, "ok")                            \
    X(TOKEN_ERR, "err")                          \
    X(TOKEN_IS, "is")                            \
    X(TOKEN_ARRAY, "array")                      \
    X(TOKEN_FOR, "for")                          \
    X(TOKEN_IN, "in")                            \
    X(TOKEN_BREAK, "break")                      \
    X(TOKEN_CONTINUE, "continue")                \
    X(TOKEN_MAP, "map")                          \
    X(TOKEN_STRUCT, "struct")                    \
    X(TOKEN_MATCH, "match")                      \
    X(TOKEN_IMPORT, "import")                    \
    X(TOKEN_EXPORT, "export")                    \
    X(TOKEN_AS, "as")                            \
    X(TOKEN_FROM, "from")                        \
    X(TOKEN_PLUS, "+")                           \
    X(TOKEN_MINUS, "-")                          \
    X(TOKEN_STAR, "*")                           \
    X(TOKEN_SLASH, "/")                          \
    X(TOKEN_PERCENT, "%")                        \
    X(TOKEN_STAR_STAR, "**")                     \
    X(TOKEN_AMP, "&")                            \
    X(TOKEN_PIPE, "|")                           \
    X(TOKEN_CARET, "^")                          \
    X(TOKEN_TILDE, "~")                          \
    X(TOKEN_LESS_LESS, "<<")                     \
    X(TOKEN_GREATER_GREATER, ">>")               \
    X(TOKEN_EQUAL, "=")                          \
    X(TOKEN_EQUAL_EQUAL, "==")                   \
    X(TOKEN_BANG, "!")                           \
    X(TOKEN_BANG_EQUAL, "!=")                    \
    X(TOKEN_PLUS_EQUAL, "+=")                    \
    X(TOKEN_MINUS_EQUAL, "-=")                   \
    X(TOKEN_STAR_EQUAL, "*=")                    \
    X(TOKEN_SLASH_EQUAL, "/=")                   \
    X(TOKEN_PERCENT_EQUAL, "%=")                 \
    X(TOKEN_STAR_STAR_EQUAL, "**=")              \
    X(TOKEN_AMP_EQUAL, "&=")                     \
    X(TOKEN_PIPE_EQUAL, "|=")                    \
    X(TOKEN_CARET_EQUAL, "^=")                   \
    X(TOKEN_LESS_LESS_EQUAL, "<<=")              \
    X(TOKEN_GREATER_GREATER_EQUAL, ">>=")        \
    X(TOKEN_LESS, "<")                           \
    X(TOKEN_LESS_EQUAL, "<=")                    \
    X(TOKEN_GREATER, ">")                        \
    X(TOKEN_GREATER_EQUAL, ">=")                 \
    X(TOKEN_AMP_AMP, "&&")                       \
    X(TOKEN_PIPE_PIPE, "||")                     \
    X(TOKEN_LEFT_PAREN, "(")                     \
    X(TOKEN_RIGHT_PAREN, ")")                    \
    X(TOKEN_LEFT_BRACE, "{")                     \
    X(TOKEN_RIGHT_BRACE, "}")                    \
    X(TOKEN_COMMA, ",")                          \
    X(TOKEN_QUESTION, "?")                       \
    X(TOKEN_DOT, ".")                            \
    X(TOKEN_LEFT_BRACKET, "[")                   \
    X(TOKEN_RIGHT_BRACKET, "]")                  \
    X(TOKEN_COLON, ":")                          \
    X(TOKEN_FAT_ARROW, "=>")                     \
    X(TOKEN_NEWLINE, "line feed")                \
    X(TOKEN_EOF, "end of text")                  \
    X(TOKEN_ERROR, "scanner error")

enum TokenType : uint32_t {
#define VESSRIN_TOKEN_ENUM(name, lexeme) name,
    VESSRIN_TOKENS(VESSRIN_TOKEN_ENUM)
#undef VESSRIN_TOKEN_ENUM
};

#define VESSRIN_TOKEN_COUNT(name, lexeme) +1
inline constexpr int TOKEN_TYPE_COUNT = 0 VESSRIN_TOKENS(VESSRIN_TOKEN_COUNT);
#undef VESSRIN_TOKEN_COUNT
static_assert(TOKEN_TYPE_COUNT == 80, "the parse-rule table has one row per token type");
static_assert(TOKEN_INT == 7 && TOKEN_STRING == 10 && TOKEN_FROM == 32 && TOKEN_ERROR == 79);

const char* token_type_name(TokenType type);

struct Token {
    uint32_t type;
    const char* start;  // lexeme, or the message of a TOKEN_ERROR
    uint32_t length;
    uint32_t line;
    uint32_t column;
};

struct Scanner {
    const char* start;
    const char* current;
    uint32_t line;
    const char* line_start;
};

void scanner_init(const char* source);
// Where scanning of a file's text starts: a first line that begins with "#!"
// (the interpreter line of an executable script) is passed over up to its line
// feed, so the text still counts it as line 1. Any other text starts at source.
const char* scanner_skip_interpreter_line(const char* source);
// True for the token types that are keywords; their lexeme is the keyword.
bool token_is_keyword(TokenType type);
Token scanner_scan_token();
void scanner_save(Scanner* out);
void scanner_restore(const Scanner* state);
