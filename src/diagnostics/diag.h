// The diagnostics renderer: every compile and run-time error becomes one block on
// standard error (header, location, source excerpt with carets, note and help).
#pragma once

void diag_init(const char* source, const char* path);
const char* diag_file_path();
const char* diag_source();
// label and help may be null or empty for none.
void diag_compile_error(int line, int column, int length, const char* message, const char* label, const char* help);
// function_name may be null or empty (top-level scripts and lambdas have none).
void diag_runtime_error(int line, const char* message, const char* function_name);
// Decides colour (1) or plain output (0) instead of asking the terminal; lets the
// tests see the coloured form. -1 restores "decide on the next report".
void diag_force_color_state(int state);
