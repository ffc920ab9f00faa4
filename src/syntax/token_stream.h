// The token stream the parser reads: a window of four tokens over the scanner,
// advance/consume, and the three error reporters with panic mode.
#pragma once

#include <cstdint>

#include "syntax/scanner.h"

struct Parser {
    Token previous;
    Token current;
    Token next;
    Token next2;
    uint8_t had_error;
    uint8_t panic_mode;
};

extern Parser parser;

// Starts scanning source and fills current, next and next2.
void token_stream_prime(const char* source);
Token scan_real_token();
void advance();
void consume(TokenType type, const char* message);
bool check(TokenType type);
bool match(TokenType type);

// Each is a no-op while panic_mode is set; otherwise sets had_error and
// panic_mode and renders the message at the token's position.
void error_at_current(const char* message);
void error(const char* message);
void error_at_token(const Token& token, const char* message);
// Like error_at_token but with a help line (may be null).
void error_at_token_help(const Token& token, const char* message, const char* help);
// Length the renderer underlines for a token: 0 at the end, 1 for a scanner error.
int token_report_length(const Token& token);
