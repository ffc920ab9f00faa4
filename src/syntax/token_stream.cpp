// The token stream the parser reads: a four-token window over the scanner, the
// primitives advance/consume/check/match, and the error reporters. Scanner errors
// are reported here, so the parser never sees a TOKEN_ERROR.
#include "syntax/token_stream.h"

#include "diagnostics/diag.h"

Parser parser;

Token scan_real_token() {
    for (;;) {
        Token token = scanner_scan_token();
        if (token.type != TOKEN_ERROR) return token;
        // A scanner message is underlined as one byte whatever its text says.
        if (!parser.panic_mode) {
            parser.had_error = 1;
            parser.panic_mode = 1;
            diag_compile_error(static_cast<int>(token.line), static_cast<int>(token.column), 1, token.start,
                               nullptr, nullptr);
        }
    }
}

void token_stream_prime(const char* source) {
    scanner_init(source);
    parser.current = scan_real_token();
    parser.next = scan_real_token();
    parser.next2 = scan_real_token();
}

void advance() {
    parser.previous = parser.current;
    parser.current = parser.next;
    parser.next = parser.next2;
    parser.next2 = scan_real_token();
}

bool check(TokenType type) { return parser.current.type == type; }

bool match(TokenType type) {
    if (!check(type)) return false;
    advance();
    return true;
}

void consume(TokenType type, const char* message) {
    if (check(type)) {
        advance();
        return;
    }
    error_at_current(message);
}

int token_report_length(const Token& token) {
    if (token.type == TOKEN_EOF) return 0;
    if (token.type == TOKEN_ERROR) return 1;
    return static_cast<int>(token.length);
}

void error_at_token_help(const Token& token, const char* message, const char* help) {
    if (parser.panic_mode) return;
    parser.had_error = 1;
    parser.panic_mode = 1;
    diag_compile_error(static_cast<int>(token.line), static_cast<int>(token.column), token_report_length(token),
                       message, nullptr, help);
}

void error_at_token(const Token& token, const char* message) { error_at_token_help(token, message, nullptr); }

void error_at_current(const char* message) { error_at_token_help(parser.current, message, nullptr); }

void error(const char* message) { error_at_token_help(parser.previous, message, nullptr); }
