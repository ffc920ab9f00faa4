// The diagnostics renderer: every compile and run-time error becomes one record,
// handed to the current receiver. The default receiver renders it as one block on
// standard error (header, location, source excerpt with carets, note and help).
#pragma once

// One error as data. The texts are borrowed: a receiver copies what it keeps.
struct Diagnostic {
    const char* path;    // the file shown in the location line; "?" when unknown
    const char* source;  // the text line numbers refer to; may be null
    int line;            // 1-based; 0 when no location is known
    int column;          // 1-based byte column
    int length;          // bytes marked from the column; 0 for none
    const char* message;
    const char* label;   // null or empty for none, as are note and help
    const char* note;
    const char* help;
    bool runtime;        // a run-time error rather than a compile error
};

// Receives every diagnostic while installed; null restores the renderer.
using DiagReceiver = void (*)(const Diagnostic& diagnostic, void* context);
void diag_set_receiver(DiagReceiver receiver, void* context);
// The standard-error block of one diagnostic, the default receiver.
void diag_render(const Diagnostic& diagnostic);

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
