// Line editing for the REPL on a terminal: libedit with cursor keys, history
// kept between runs, Tab completion from the compiler's tables and Ctrl-C to
// drop a half-typed line. A build without libedit has none of it, and the REPL
// then reads plainly.
#pragma once

#include <string>
#include <string_view>

// At most this many entries are kept in the history, on disk as in memory:
// enough for weeks of sessions, small enough to load at once.
inline constexpr int HISTORY_MAX_ENTRIES = 1000;

enum class EditorRead {
    LINE,       // a line, its line feed included
    CANCELLED,  // Ctrl-C dropped what was typed
    END,        // end of input (Ctrl-D on an empty line)
};

// Starts editing on standard input and output, which must be a terminal, and
// loads the history. False when this build has no line editor or it cannot
// start; nothing has changed then.
bool line_editor_open();
EditorRead line_editor_read(const char* prompt, std::string& line);
// Adds an entry, without its last line feed, to the history.
void line_editor_remember(std::string_view entry);
// Writes the history file and gives the terminal back as it was.
void line_editor_close();
