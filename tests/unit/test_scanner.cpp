// The scanner (tokens, positions, error tokens, safety on arbitrary bytes) and the
// token stream over it (lookahead window, error reporting, panic mode).
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "diagnostics/diag.h"
#include "syntax/scanner.h"
#include "syntax/token_stream.h"

namespace {

// Far more tokens than any source here holds: a scanner that stops advancing
// fails the test instead of hanging it.
constexpr int MAX_TOKENS = 10000;

std::vector<Token> scan_all(const char* source) {
    std::vector<Token> tokens;
    scanner_init(source);
    for (int i = 0; i < MAX_TOKENS; i++) {
        Token token = scanner_scan_token();
        tokens.push_back(token);
        if (token.type == TOKEN_EOF) return tokens;
    }
    ADD_FAILURE() << "no end of text";
    return tokens;
}

std::vector<TokenType> types_of(const char* source) {
    std::vector<TokenType> types;
    for (const Token& token : scan_all(source)) types.push_back(static_cast<TokenType>(token.type));
    return types;
}

std::string text(const Token& token) { return std::string(token.start, token.length); }

void expect_token(const Token& token, TokenType type, const std::string& lexeme, uint32_t line, uint32_t column) {
    EXPECT_EQ(token.type, type) << token_type_name(static_cast<TokenType>(token.type));
    EXPECT_EQ(text(token), lexeme);
    EXPECT_EQ(token.line, line) << lexeme;
    EXPECT_EQ(token.column, column) << lexeme;
}

TEST(Scanner, EmptySourceEndsAtLineOneColumnOne) {
    std::vector<Token> tokens = scan_all("");
    ASSERT_EQ(tokens.size(), 1u);
    expect_token(tokens[0], TOKEN_EOF, "", 1, 1);
    // The end of the text stays the end however often it is asked for.
    EXPECT_EQ(scanner_scan_token().type, TOKEN_EOF);
    EXPECT_EQ(scanner_scan_token().type, TOKEN_EOF);
}

TEST(Scanner, LinesColumnsAndBlanks) {
    std::vector<Token> tokens = scan_all("a\r\nb \t c\n\n  d");
    ASSERT_EQ(tokens.size(), 8u);
    expect_token(tokens[0], TOKEN_IDENTIFIER, "a", 1, 1);
    expect_token(tokens[1], TOKEN_NEWLINE, "\n", 1, 3);  // the carriage return is a blank
    expect_token(tokens[2], TOKEN_IDENTIFIER, "b", 2, 1);
    expect_token(tokens[3], TOKEN_IDENTIFIER, "c", 2, 5);
    expect_token(tokens[4], TOKEN_NEWLINE, "\n", 2, 6);
    expect_token(tokens[5], TOKEN_NEWLINE, "\n", 3, 1);
    expect_token(tokens[6], TOKEN_IDENTIFIER, "d", 4, 3);
    expect_token(tokens[7], TOKEN_EOF, "", 4, 4);
}

TEST(Scanner, Numbers) {
    std::vector<Token> tokens = scan_all("1.5.2 007 1. .5 12.25x");
    ASSERT_EQ(tokens.size(), 11u);
    expect_token(tokens[0], TOKEN_FLOAT_LITERAL, "1.5", 1, 1);
    expect_token(tokens[1], TOKEN_DOT, ".", 1, 4);
    expect_token(tokens[2], TOKEN_INT_LITERAL, "2", 1, 5);
    expect_token(tokens[3], TOKEN_INT_LITERAL, "007", 1, 7);
    expect_token(tokens[4], TOKEN_INT_LITERAL, "1", 1, 11);
    expect_token(tokens[5], TOKEN_DOT, ".", 1, 12);
    expect_token(tokens[6], TOKEN_DOT, ".", 1, 14);
    expect_token(tokens[7], TOKEN_INT_LITERAL, "5", 1, 15);
    expect_token(tokens[8], TOKEN_FLOAT_LITERAL, "12.25", 1, 17);
    expect_token(tokens[9], TOKEN_IDENTIFIER, "x", 1, 22);
    // No signs, exponents or hexadecimal forms.
    EXPECT_EQ(types_of("-1e5 0x1F"),
              (std::vector<TokenType>{TOKEN_MINUS, TOKEN_INT_LITERAL, TOKEN_IDENTIFIER, TOKEN_INT_LITERAL,
                                      TOKEN_IDENTIFIER, TOKEN_EOF}));
}

TEST(Scanner, EveryOperatorScansAsOneToken) {
    for (uint32_t type = TOKEN_PLUS; type <= TOKEN_FAT_ARROW; type++) {
        const char* lexeme = token_type_name(static_cast<TokenType>(type));
        std::vector<Token> tokens = scan_all(lexeme);
        ASSERT_EQ(tokens.size(), 2u) << lexeme;
        EXPECT_EQ(tokens[0].type, type) << lexeme;
        EXPECT_EQ(text(tokens[0]), lexeme);
    }
}

TEST(Scanner, OperatorsTakeTheLongestMatch) {
    EXPECT_EQ(types_of("a**=2"), (std::vector<TokenType>{TOKEN_IDENTIFIER, TOKEN_STAR_STAR_EQUAL,
                                                          TOKEN_INT_LITERAL, TOKEN_EOF}));
    EXPECT_EQ(types_of("x=>y"), (std::vector<TokenType>{TOKEN_IDENTIFIER, TOKEN_FAT_ARROW, TOKEN_IDENTIFIER,
                                                         TOKEN_EOF}));
    EXPECT_EQ(types_of("<<=<>>=>===!==!"),
              (std::vector<TokenType>{TOKEN_LESS_LESS_EQUAL, TOKEN_LESS, TOKEN_GREATER_GREATER_EQUAL,
                                      TOKEN_GREATER_EQUAL, TOKEN_EQUAL_EQUAL, TOKEN_BANG_EQUAL, TOKEN_EQUAL, TOKEN_BANG,
                                      TOKEN_EOF}));
    EXPECT_EQ(types_of("&&&|||***"), (std::vector<TokenType>{TOKEN_AMP_AMP, TOKEN_AMP, TOKEN_PIPE_PIPE, TOKEN_PIPE,
                                                              TOKEN_STAR_STAR, TOKEN_STAR, TOKEN_EOF}));
}

TEST(Scanner, KeywordsAreExactWords) {
    int keywords = 0;
    for (uint32_t type = TOKEN_TRUE; type <= TOKEN_FROM; type++) {
        if (type == TOKEN_IDENTIFIER) continue;
        keywords++;
        std::string word = token_type_name(static_cast<TokenType>(type));
        EXPECT_EQ(types_of(word.c_str()).front(), static_cast<TokenType>(type)) << word;
        // Longer words are identifiers.
        for (std::string other : {word + "_", "_" + word, word + "1"}) {
            EXPECT_EQ(types_of(other.c_str()).front(), TOKEN_IDENTIFIER) << other;
        }
    }
    EXPECT_EQ(keywords, 29);
    EXPECT_EQ(types_of("Result").front(), TOKEN_RESULT);
    EXPECT_EQ(types_of("result").front(), TOKEN_IDENTIFIER);
    EXPECT_EQ(types_of("If").front(), TOKEN_IDENTIFIER);
    EXPECT_EQ(types_of("whil").front(), TOKEN_IDENTIFIER);
    EXPECT_EQ(types_of("RESULT").front(), TOKEN_IDENTIFIER);
    std::vector<Token> tokens = scan_all("_a1 B_2");
    expect_token(tokens[0], TOKEN_IDENTIFIER, "_a1", 1, 1);
    expect_token(tokens[1], TOKEN_IDENTIFIER, "B_2", 1, 5);
}

TEST(Scanner, StringsKeepTheirRawTextAndTrackLines) {
    std::vector<Token> tokens = scan_all("s = \"a\\\"b\\\\\" \"one\ntwo\n\" x");
    ASSERT_EQ(tokens.size(), 6u);
    expect_token(tokens[2], TOKEN_STRING_LITERAL, "\"a\\\"b\\\\\"", 1, 5);
    expect_token(tokens[3], TOKEN_STRING_LITERAL, "\"one\ntwo\n\"", 1, 14);
    expect_token(tokens[4], TOKEN_IDENTIFIER, "x", 3, 3);
    EXPECT_EQ(types_of("\"\\n\\r\\t\\0\"").front(), TOKEN_STRING_LITERAL);
}

TEST(Scanner, UnexpectedCharacters) {
    std::vector<Token> tokens = scan_all("x#y");
    ASSERT_EQ(tokens.size(), 4u);
    expect_token(tokens[0], TOKEN_IDENTIFIER, "x", 1, 1);
    expect_token(tokens[1], TOKEN_ERROR, "Unexpected character.", 1, 2);
    expect_token(tokens[2], TOKEN_IDENTIFIER, "y", 1, 3);
    for (const char* bad : {";", "#", "$", "@", "\\", "`", "'", "\f", "\v", "\x01", "\x7f", "\x80", "\xC3\xA9", "\xFF"}) {
        std::vector<Token> bad_tokens = scan_all(bad);
        ASSERT_GE(bad_tokens.size(), 2u) << bad;
        EXPECT_EQ(bad_tokens[0].type, TOKEN_ERROR) << bad;
        EXPECT_EQ(text(bad_tokens[0]), "Unexpected character.");
        // One error per byte: a two-byte character gives two.
        EXPECT_EQ(bad_tokens.size(), strlen(bad) + 1) << bad;
    }
}

TEST(Scanner, UnknownEscapes) {
    struct Case {
        const char* source;
        const char* message;
    };
    const Case cases[] = {
        {"\"a\\q\"", "unknown escape sequence '\\q'"},
        {"\"a\\ \"", "unknown escape sequence '\\ '"},
        {"\"a\\\xC3\xA9\"", "unknown escape sequence '\\\xC3\xA9'"},
        {"\"a\\\xE2\x82\xAC\"", "unknown escape sequence '\\\xE2\x82\xAC'"},
        {"\"a\\\xF0\x9F\x98\x80\"", "unknown escape sequence '\\\xF0\x9F\x98\x80'"},
        {"\"a\\\nb\"", "unknown escape sequence '\\' at end of line"},
        {"\"a\\\r\n\"", "unknown escape sequence '\\' before byte 0x0D"},
        {"\"a\\\t\"", "unknown escape sequence '\\' before byte 0x09"},
        {"\"a\\\x7F\"", "unknown escape sequence '\\' before byte 0x7F"},
        {"\"a\\\xFF\"", "unknown escape sequence '\\' before byte 0xFF"},
        // Not a whole UTF-8 character: stray continuation, cut short, overlong, surrogate.
        {"\"a\\\xA9\"", "unknown escape sequence '\\' before byte 0xA9"},
        {"\"a\\\xC3z\"", "unknown escape sequence '\\' before byte 0xC3"},
        {"\"a\\\xE2\x82\"", "unknown escape sequence '\\' before byte 0xE2"},
        {"\"a\\\xC0\x80\"", "unknown escape sequence '\\' before byte 0xC0"},
        {"\"a\\\xED\xA0\x80\"", "unknown escape sequence '\\' before byte 0xED"},
        {"\"a\\\xF4\x90\x80\x80\"", "unknown escape sequence '\\' before byte 0xF4"},
    };
    // The messages are compared whole, so one cut short by the scanner's
    // 47-character buffer would fail here.
    for (const Case& c : cases) {
        std::vector<Token> tokens = scan_all(c.source);
        ASSERT_GE(tokens.size(), 2u) << c.message;
        // Reported at the backslash; scanning resumes there.
        expect_token(tokens[0], TOKEN_ERROR, c.message, 1, 3);
        EXPECT_EQ(tokens[1].type, TOKEN_ERROR) << c.message;
        EXPECT_EQ(text(tokens[1]), "Unexpected character.");
        EXPECT_EQ(tokens[1].column, 3u);
    }
    // In a string spanning lines the position is the backslash's own line.
    std::vector<Token> tokens = scan_all("x = \"one\ntw\\o\"");
    expect_token(tokens[2], TOKEN_ERROR, "unknown escape sequence '\\o'", 2, 3);
}

TEST(Scanner, UnterminatedStrings) {
    for (const char* source : {"\"abc", "\"abc\\", "\"", "\"ab\\\"", "\"x\\\\"}) {
        std::vector<Token> tokens = scan_all(source);
        ASSERT_EQ(tokens.size(), 2u) << source;
        expect_token(tokens[0], TOKEN_ERROR, "Unterminated string.", 1, 1);
        EXPECT_EQ(tokens[1].type, TOKEN_EOF);
    }
    // Reported at the opening quote; the end of text is on the last line.
    std::vector<Token> tokens = scan_all("x\n  \"ab\ncd");
    ASSERT_EQ(tokens.size(), 4u);
    expect_token(tokens[2], TOKEN_ERROR, "Unterminated string.", 2, 3);
    expect_token(tokens[3], TOKEN_EOF, "", 3, 3);
}

TEST(Scanner, ANulByteEndsTheText) {
    const char with_nul[] = "a \0 b";
    EXPECT_EQ(types_of(with_nul), (std::vector<TokenType>{TOKEN_IDENTIFIER, TOKEN_EOF}));
    const char in_string[] = "\"ab\0cd\"";
    EXPECT_EQ(types_of(in_string), (std::vector<TokenType>{TOKEN_ERROR, TOKEN_EOF}));
    const char after_backslash[] = "\"ab\\\0\"";
    EXPECT_EQ(types_of(after_backslash), (std::vector<TokenType>{TOKEN_ERROR, TOKEN_EOF}));
}

TEST(Scanner, NeverReadsPastTheEndOfAnyPrefix) {
    // Every prefix goes into a heap block of exactly its size, so the sanitizer
    // build catches a scanner that looks one byte too far.
    const std::string source =
        "def f(int? a) int {\r\n\treturn a ** 2 >>= 1.5 \"s\\n\\q\xC3\xA9\\\xE2\x82\xAC\" #\x80 <<= && || => \"x\\";
    for (size_t n = 0; n <= source.size(); n++) {
        std::unique_ptr<char[]> buffer(new char[n + 1]);
        memcpy(buffer.get(), source.data(), n);
        buffer[n] = '\0';
        std::vector<Token> tokens = scan_all(buffer.get());
        ASSERT_EQ(tokens.back().type, TOKEN_EOF) << n;
        for (const Token& token : tokens) {
            if (token.type == TOKEN_ERROR) continue;
            EXPECT_GE(token.start, buffer.get());
            EXPECT_LE(token.start + token.length, buffer.get() + n);
        }
    }
}

TEST(Scanner, SaveAndRestoreResumeWhereTheyLeftOff) {
    scanner_init("a b\nc d");
    scanner_scan_token();
    Scanner saved;
    scanner_save(&saved);
    std::vector<std::string> first;
    for (int i = 0; i < 4; i++) first.push_back(text(scanner_scan_token()));
    scanner_init("other text");
    scanner_scan_token();
    scanner_restore(&saved);
    for (int i = 0; i < 4; i++) EXPECT_EQ(text(scanner_scan_token()), first[i]);
    Token d = scanner_scan_token();
    EXPECT_EQ(d.type, TOKEN_EOF);
    EXPECT_EQ(d.line, 2u);
}

class TokenStream : public testing::Test {
protected:
    void SetUp() override {
        diag_force_color_state(0);
        parser.had_error = 0;
        parser.panic_mode = 0;
    }
    void TearDown() override { diag_init(nullptr, nullptr); }

    // Walks the whole text as a parser would, clearing panic mode at each line
    // end, and returns what was reported.
    static std::string walk(const char* source) {
        diag_init(source, "t.vsr");
        parser.had_error = 0;
        parser.panic_mode = 0;
        testing::internal::CaptureStderr();
        token_stream_prime(source);
        for (int i = 0; i < MAX_TOKENS && parser.current.type != TOKEN_EOF; i++) {
            if (parser.current.type == TOKEN_NEWLINE) parser.panic_mode = 0;
            advance();
        }
        return testing::internal::GetCapturedStderr();
    }
};

TEST_F(TokenStream, WindowOfFourTokens) {
    token_stream_prime("a b c d");
    EXPECT_EQ(text(parser.current), "a");
    EXPECT_EQ(text(parser.next), "b");
    EXPECT_EQ(text(parser.next2), "c");
    EXPECT_TRUE(match(TOKEN_IDENTIFIER));
    EXPECT_EQ(text(parser.previous), "a");
    EXPECT_EQ(text(parser.next2), "d");
    EXPECT_FALSE(match(TOKEN_COMMA));
    EXPECT_EQ(text(parser.current), "b");
    consume(TOKEN_IDENTIFIER, "unused");
    consume(TOKEN_IDENTIFIER, "unused");
    consume(TOKEN_IDENTIFIER, "unused");
    EXPECT_TRUE(check(TOKEN_EOF));
    // Advancing past the end keeps the end.
    advance();
    advance();
    EXPECT_TRUE(check(TOKEN_EOF));
    EXPECT_EQ(parser.next2.type, TOKEN_EOF);
    EXPECT_EQ(parser.had_error, 0);
}

TEST_F(TokenStream, ScannerErrorsAreReportedOncePerStatement) {
    EXPECT_EQ(walk("x # y $ z\n"),
              "error: Unexpected character.\n"
              "  --> t.vsr:1:3\n"
              "   |\n"
              " 1 | x # y $ z\n"
              "   |   ^\n"
              "   |\n");
    EXPECT_EQ(parser.had_error, 1);
    // An unknown escape is underlined as one byte, and the backslash the scanner
    // resumes at is not reported again.
    EXPECT_EQ(walk("s = \"a\\qb\"\n"),
              "error: unknown escape sequence '\\q'\n"
              "  --> t.vsr:1:7\n"
              "   |\n"
              " 1 | s = \"a\\qb\"\n"
              "   |       ^\n"
              "   |\n");
    // One report per line once panic mode is cleared at the line end.
    std::string two = walk("a = 1 # 2\nb = 2 @ 3\n");
    EXPECT_NE(two.find("t.vsr:1:7"), std::string::npos);
    EXPECT_NE(two.find("t.vsr:2:7"), std::string::npos);
}

TEST_F(TokenStream, ReportersUseTheTokenPositionAndLength) {
    diag_init("ab + cd", "t.vsr");
    token_stream_prime("ab + cd");
    testing::internal::CaptureStderr();
    consume(TOKEN_COMMA, "Expect ','.");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "error: Expect ','.\n  --> t.vsr:1:1\n   |\n 1 | ab + cd\n   | ^^\n   |\n");
    EXPECT_TRUE(check(TOKEN_IDENTIFIER));  // a failed consume does not advance

    // Panic mode silences every reporter until it is cleared.
    testing::internal::CaptureStderr();
    error_at_current("silenced");
    error("silenced");
    error_at_token(parser.next, "silenced");
    error_at_token_help(parser.next, "silenced", "h");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    parser.panic_mode = 0;
    advance();
    advance();
    testing::internal::CaptureStderr();
    error_at_token_help(parser.current, "m", "h");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "error: m\n  --> t.vsr:1:6\n   |\n 1 | ab + cd\n   |      ^^\n   |\n   = help: h\n");

    // The end of the text has nothing to underline.
    parser.panic_mode = 0;
    advance();
    testing::internal::CaptureStderr();
    error_at_current("Expect expression.");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "error: Expect expression.\n  --> t.vsr:1:8\n   |\n 1 | ab + cd\n   |\n");
    Token error_token{TOKEN_ERROR, "long message", 12, 1, 1};
    EXPECT_EQ(token_report_length(error_token), 1);
}

}  // namespace
