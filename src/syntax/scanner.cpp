// The on-demand scanner: turns a NUL-terminated source text into one token per
// call. It never reports anything itself; faults come back as TOKEN_ERROR tokens
// whose text is the message. The first NUL ends the text, and nothing past it is read.
#include "syntax/scanner.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

// The one formatted scanner message (an unknown escape) lives here until the
// token stream has reported it. The longest message it holds is 44 characters.
constexpr size_t SCANNER_ERR_BUF_SIZE = 48;
char err_buf[SCANNER_ERR_BUF_SIZE];

Scanner scanner;

constexpr std::array<const char*, TOKEN_TYPE_COUNT> token_names = {
#define VESSRIN_TOKEN_NAME(name, lexeme) lexeme,
    VESSRIN_TOKENS(VESSRIN_TOKEN_NAME)
#undef VESSRIN_TOKEN_NAME
};

// Keywords are the token rows true .. from except identifier; their lexeme in the
// token list is the keyword itself, so the table cannot drift from the token list.
constexpr bool is_keyword_row(uint32_t type) {
    return type >= TOKEN_TRUE && type <= TOKEN_FROM && type != TOKEN_IDENTIFIER;
}

constexpr int KEYWORD_COUNT = 29;
// "continue", the longest keyword, has eight letters.
constexpr size_t KEYWORD_MAX_LENGTH = 8;

struct Keyword {
    std::string_view text;
    TokenType type;
};

// Keywords grouped by length so a word is compared only against keywords of
// its own length.
struct KeywordTable {
    std::array<std::array<Keyword, KEYWORD_COUNT>, KEYWORD_MAX_LENGTH + 1> by_length{};
    std::array<int, KEYWORD_MAX_LENGTH + 1> count{};
};

constexpr KeywordTable build_keyword_table() {
    KeywordTable table;
    for (uint32_t type = 0; type < static_cast<uint32_t>(TOKEN_TYPE_COUNT); type++) {
        if (!is_keyword_row(type)) continue;
        std::string_view text = token_names[type];
        table.by_length[text.size()][table.count[text.size()]++] = {text, static_cast<TokenType>(type)};
    }
    return table;
}

constexpr KeywordTable keywords = build_keyword_table();

constexpr int count_keywords() {
    int total = 0;
    for (int n : keywords.count) total += n;
    return total;
}
static_assert(count_keywords() == KEYWORD_COUNT, "every keyword row must fit the table");

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }

bool is_continuation(unsigned char c) { return c >= 0x80 && c <= 0xBF; }

uint32_t column_of(const char* p) { return static_cast<uint32_t>(p - scanner.line_start) + 1; }

Token make_token(TokenType type) {
    Token token;
    token.type = type;
    token.start = scanner.start;
    token.length = static_cast<uint32_t>(scanner.current - scanner.start);
    token.line = scanner.line;
    token.column = column_of(scanner.start);
    return token;
}

Token error_token(const char* message, size_t length, uint32_t line, uint32_t column) {
    Token token;
    token.type = TOKEN_ERROR;
    token.start = message;
    token.length = static_cast<uint32_t>(length);
    token.line = line;
    token.column = column;
    return token;
}

Token error_token(const char* message) {
    return error_token(message, strlen(message), scanner.line, column_of(scanner.start));
}

char peek() { return *scanner.current; }

// Only called after peek() has returned a non-NUL byte, so it never passes the end.
char peek_next() { return scanner.current[1]; }

bool match_char(char expected) {
    if (*scanner.current != expected) return false;
    scanner.current++;
    return true;
}

void skip_blanks() {
    for (;;) {
        char c = peek();
        if (c == ' ' || c == '\t' || c == '\r') {
            scanner.current++;
        } else {
            return;
        }
    }
}

TokenType identifier_type() {
    size_t length = static_cast<size_t>(scanner.current - scanner.start);
    if (length > KEYWORD_MAX_LENGTH) return TOKEN_IDENTIFIER;
    for (int i = 0; i < keywords.count[length]; i++) {
        const Keyword& keyword = keywords.by_length[length][i];
        if (memcmp(keyword.text.data(), scanner.start, length) == 0) return keyword.type;
    }
    return TOKEN_IDENTIFIER;
}

Token identifier() {
    while (is_alpha(peek()) || is_digit(peek())) scanner.current++;
    return make_token(identifier_type());
}

Token number() {
    while (is_digit(peek())) scanner.current++;
    if (peek() == '.' && is_digit(peek_next())) {
        scanner.current++;
        while (is_digit(peek())) scanner.current++;
        return make_token(TOKEN_FLOAT_LITERAL);
    }
    return make_token(TOKEN_INT_LITERAL);
}

// Length of the well-formed UTF-8 character starting at p, or 0 when the bytes
// there are not one (a stray continuation byte, an overlong form, a surrogate,
// a value above U+10FFFF or a sequence cut short).
int utf8_char_length(const unsigned char* p) {
    unsigned char lead = p[0];
    int length;
    unsigned char second_low = 0x80;
    unsigned char second_high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) second_low = 0xA0;   // shorter forms are overlong
        if (lead == 0xED) second_high = 0x9F;  // UTF-16 surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) second_low = 0x90;   // shorter forms are overlong
        if (lead == 0xF4) second_high = 0x8F;  // beyond U+10FFFF
    } else {
        return 0;
    }
    if (p[1] < second_low || p[1] > second_high) return 0;
    // A NUL is no continuation byte, so these reads stop at the end of the text.
    for (int i = 2; i < length; i++) {
        if (!is_continuation(p[i])) return 0;
    }
    return length;
}

// Formats the message for a backslash followed by something that is not an
// escape. The byte after the backslash is shown as itself only when that is
// safe to print: a raw line feed or half a UTF-8 character would break the
// diagnostic, so those are described instead.
size_t format_unknown_escape(const char* after) {
    unsigned char c = static_cast<unsigned char>(*after);
    int written;
    if (c >= 0x20 && c < 0x7F) {
        written = snprintf(err_buf, sizeof err_buf, "unknown escape sequence '\\%c'", c);
    } else if (c == '\n') {
        written = snprintf(err_buf, sizeof err_buf, "unknown escape sequence '\\' at end of line");
    } else if (int length = utf8_char_length(reinterpret_cast<const unsigned char*>(after)); length > 0) {
        written = snprintf(err_buf, sizeof err_buf, "unknown escape sequence '\\%.*s'", length, after);
    } else {
        written = snprintf(err_buf, sizeof err_buf, "unknown escape sequence '\\' before byte 0x%02X", c);
    }
    size_t length = written < 0 ? 0 : static_cast<size_t>(written);
    return length < sizeof err_buf ? length : sizeof err_buf - 1;
}

void newline_inside_token() {
    scanner.line++;
    scanner.line_start = scanner.current;
}

Token string_literal() {
    uint32_t start_line = scanner.line;
    uint32_t start_column = column_of(scanner.start);
    for (;;) {
        char c = peek();
        if (c == '\0') {
            // Nothing after the text can close it; the next token is the end.
            return error_token("Unterminated string.", strlen("Unterminated string."), start_line, start_column);
        }
        if (c == '"') break;
        if (c == '\\') {
            char escaped = peek_next();
            if (escaped == '\0') {
                scanner.current++;
                return error_token("Unterminated string.", strlen("Unterminated string."), start_line, start_column);
            }
            if (strchr("nrt0\"\\", escaped) == nullptr) {
                // Scanning resumes at the backslash itself.
                const char* backslash = scanner.current;
                size_t length = format_unknown_escape(backslash + 1);
                return error_token(err_buf, length, scanner.line, column_of(backslash));
            }
            scanner.current += 2;
            continue;
        }
        scanner.current++;
        if (c == '\n') newline_inside_token();
    }
    scanner.current++;  // the closing quote
    Token token = make_token(TOKEN_STRING_LITERAL);
    token.line = start_line;
    token.column = start_column;
    return token;
}

}  // namespace

const char* token_type_name(TokenType type) {
    if (static_cast<uint32_t>(type) >= token_names.size()) return "?";
    return token_names[type];
}

void scanner_init(const char* source) {
    scanner.start = source;
    scanner.current = source;
    scanner.line = 1;
    scanner.line_start = source;
}

const char* scanner_skip_interpreter_line(const char* source) {
    if (source[0] != '#' || source[1] != '!') return source;
    const char* p = source + 2;
    while (*p != '\0' && *p != '\n') p++;
    return p;
}

bool token_is_keyword(TokenType type) { return is_keyword_row(type); }

void scanner_save(Scanner* out) { *out = scanner; }

void scanner_restore(const Scanner* state) { scanner = *state; }

Token scanner_scan_token() {
    skip_blanks();
    scanner.start = scanner.current;
    char c = peek();
    if (c == '\0') return make_token(TOKEN_EOF);
    scanner.current++;

    if (c == '\n') {
        Token token = make_token(TOKEN_NEWLINE);
        newline_inside_token();
        return token;
    }
    if (is_digit(c)) return number();
    if (is_alpha(c)) return identifier();

    switch (c) {
        case '"': return string_literal();
        case '(': return make_token(TOKEN_LEFT_PAREN);
        case ')': return make_token(TOKEN_RIGHT_PAREN);
        case '{': return make_token(TOKEN_LEFT_BRACE);
        case '}': return make_token(TOKEN_RIGHT_BRACE);
        case '[': return make_token(TOKEN_LEFT_BRACKET);
        case ']': return make_token(TOKEN_RIGHT_BRACKET);
        case ',': return make_token(TOKEN_COMMA);
        case '?': return make_token(TOKEN_QUESTION);
        case '.': return make_token(TOKEN_DOT);
        case ':': return make_token(TOKEN_COLON);
        case '~': return make_token(TOKEN_TILDE);
        case '*':
            if (match_char('*')) return make_token(match_char('=') ? TOKEN_STAR_STAR_EQUAL : TOKEN_STAR_STAR);
            return make_token(match_char('=') ? TOKEN_STAR_EQUAL : TOKEN_STAR);
        case '<':
            if (match_char('<')) return make_token(match_char('=') ? TOKEN_LESS_LESS_EQUAL : TOKEN_LESS_LESS);
            return make_token(match_char('=') ? TOKEN_LESS_EQUAL : TOKEN_LESS);
        case '>':
            if (match_char('>')) {
                return make_token(match_char('=') ? TOKEN_GREATER_GREATER_EQUAL : TOKEN_GREATER_GREATER);
            }
            return make_token(match_char('=') ? TOKEN_GREATER_EQUAL : TOKEN_GREATER);
        case '=':
            if (match_char('=')) return make_token(TOKEN_EQUAL_EQUAL);
            return make_token(match_char('>') ? TOKEN_FAT_ARROW : TOKEN_EQUAL);
        case '!': return make_token(match_char('=') ? TOKEN_BANG_EQUAL : TOKEN_BANG);
        case '+': return make_token(match_char('=') ? TOKEN_PLUS_EQUAL : TOKEN_PLUS);
        case '-': return make_token(match_char('=') ? TOKEN_MINUS_EQUAL : TOKEN_MINUS);
        case '/': return make_token(match_char('=') ? TOKEN_SLASH_EQUAL : TOKEN_SLASH);
        case '%': return make_token(match_char('=') ? TOKEN_PERCENT_EQUAL : TOKEN_PERCENT);
        case '^': return make_token(match_char('=') ? TOKEN_CARET_EQUAL : TOKEN_CARET);
        case '&':
            if (match_char('&')) return make_token(TOKEN_AMP_AMP);
            return make_token(match_char('=') ? TOKEN_AMP_EQUAL : TOKEN_AMP);
        case '|':
            if (match_char('|')) return make_token(TOKEN_PIPE_PIPE);
            return make_token(match_char('=') ? TOKEN_PIPE_EQUAL : TOKEN_PIPE);
        default: break;
    }
    return error_token("Unexpected character.");
}
