// What the command's two halves share: the exit statuses of the command line
// and the REPL loop that main starts when it is given no arguments.
#pragma once

constexpr int EXIT_OK = 0;
constexpr int EXIT_USAGE = 64;
constexpr int EXIT_COMPILE_ERROR = 65;
constexpr int EXIT_NO_INPUT = 66;
constexpr int EXIT_RUNTIME_ERROR = 70;

// True when the line is the keyword alone, give or take surrounding blanks.
bool line_equals(const char* line, const char* keyword);

// Runs the REPL on standard input until its end or `exit`/`quit`; returns the
// exit status.
int run_repl();
