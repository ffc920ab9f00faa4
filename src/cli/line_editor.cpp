// The REPL's line editor on a terminal, built on libedit: emacs-style keys,
// history loaded from and written back to a file, Tab completion of the names
// the compiler knows, Ctrl-C that drops the line being typed. Without libedit
// (VESSRIN_LINE_EDITING unset) line_editor_open always fails.
// libedit is loaded when a terminal REPL starts, not linked: file runs and
// piped input then pay nothing for it at start-up or in memory.
#include "cli/line_editor.h"

#if defined(VESSRIN_LINE_EDITING)

#include <dlfcn.h>
#include <histedit.h>
#include <langinfo.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "compiler/compiler.h"

namespace {

// The library's file names, newest interface first.
constexpr const char* LIBEDIT_NAMES[] = {"libedit.so.2", "libedit.so"};

// The libedit functions this editor calls, typed from the library's header.
#define LIBEDIT_FUNCTIONS(X)                                                                               \
    X(el_init) X(el_end) X(el_gets) X(el_set) X(el_wset) X(el_get) X(el_source) X(el_line) X(el_insertstr) \
    X(el_deletestr) X(el_cursor) X(el_push) X(history_init) X(history_end) X(history)

struct Libedit {
#define LIBEDIT_FIELD(name) decltype(&::name) name;
    LIBEDIT_FUNCTIONS(LIBEDIT_FIELD)
#undef LIBEDIT_FIELD
};

Libedit lib;

// Loads the library once; it stays loaded for the life of the process.
bool load_libedit() {
    static int loaded = -1;
    if (loaded >= 0) return loaded == 1;
    void* handle = nullptr;
    for (const char* name : LIBEDIT_NAMES) {
        if ((handle = dlopen(name, RTLD_NOW | RTLD_LOCAL)) != nullptr) break;
    }
    bool found = handle != nullptr;
#define LIBEDIT_RESOLVE(name) \
    if (found) found = (lib.name = reinterpret_cast<decltype(lib.name)>(dlsym(handle, #name))) != nullptr;
    LIBEDIT_FUNCTIONS(LIBEDIT_RESOLVE)
#undef LIBEDIT_RESOLVE
    loaded = found ? 1 : 0;
    return found;
}

constexpr const char* HISTORY_FILE_NAME = ".vessrin_history";
// Tab with nothing to complete indents, as in the examples and the guide.
constexpr const char* INDENT = "    ";
// Candidates are listed in columns this far apart at least.
constexpr size_t LIST_GAP = 2;
// Width assumed when the terminal does not say.
constexpr int DEFAULT_COLUMNS = 80;

struct Editor {
    EditLine* el = nullptr;
    History* history = nullptr;
    std::string history_path;  // empty: no history file
    bool warned = false;       // one warning line per session at most
    const char* prompt = "";
    bool cancelled = false;
    std::string saved_locale;
};

Editor editor;

char* current_prompt(EditLine*) { return const_cast<char*>(editor.prompt); }

void warn_once(const char* what) {
    if (editor.warned) return;
    editor.warned = true;
    std::fflush(stdout);
    std::fprintf(stderr, "vessrin: cannot %s history file '%s'\n", what, editor.history_path.c_str());
}

// VESSRIN_HISTORY names the file, and set but empty turns it off; otherwise it
// is in the home directory, and without one there is no file.
std::string history_path() {
    if (const char* named = std::getenv("VESSRIN_HISTORY")) return named;
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] == '\0') return "";
    std::string path = home;
    if (path.back() != '/') path += '/';
    return path + HISTORY_FILE_NAME;
}

void load_history() {
    if (editor.history_path.empty()) return;
    // A first session has no file yet; that is no fault.
    if (access(editor.history_path.c_str(), F_OK) != 0 && errno == ENOENT) return;
    HistEvent event;
    if (lib.history(editor.history, &event, H_LOAD, editor.history_path.c_str()) < 0) {
        warn_once("read");
        // A file that could not be read (another program's, say) is not
        // overwritten with this session's entries when it ends.
        editor.history_path.clear();
    }
}

void save_history() {
    if (editor.history_path.empty()) return;
    HistEvent event;
    if (lib.history(editor.history, &event, H_SAVE, editor.history_path.c_str()) < 0) warn_once("write");
}

// ---------------------------------------------------------------------------
// Completion
// ---------------------------------------------------------------------------

bool is_name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Whether the cursor is inside a string literal of the line: names there are
// text, not code.
bool inside_string(std::string_view text) {
    bool inside = false;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '\\' && inside) {
            i++;
        } else if (text[i] == '"') {
            inside = !inside;
        }
    }
    return inside;
}

size_t common_prefix_length(const std::vector<std::string>& names) {
    size_t length = names[0].size();
    for (const std::string& name : names) {
        size_t i = 0;
        while (i < length && i < name.size() && name[i] == names[0][i]) i++;
        length = i;
    }
    return length;
}

void list_candidates(EditLine* el, const std::vector<std::string>& names) {
    size_t widest = 0;
    for (const std::string& name : names) widest = std::max(widest, name.size());
    int columns = 0;
    if (lib.el_get(el, EL_GETTC, "co", &columns, nullptr) != 0 || columns <= 0) columns = DEFAULT_COLUMNS;
    size_t cell = widest + LIST_GAP;
    size_t per_row = std::max<size_t>(1, static_cast<size_t>(columns) / cell);
    std::fputc('\n', stdout);
    for (size_t i = 0; i < names.size(); i++) {
        bool row_end = (i + 1) % per_row == 0 || i + 1 == names.size();
        if (row_end) {
            std::fprintf(stdout, "%s\n", names[i].c_str());
        } else {
            std::fprintf(stdout, "%-*s", static_cast<int>(cell), names[i].c_str());
        }
    }
    std::fflush(stdout);
}

unsigned char complete(EditLine* el, int) {
    const LineInfo* info = lib.el_line(el);
    std::string_view before(info->buffer, static_cast<size_t>(info->cursor - info->buffer));
    // Only the line the cursor is on counts in a recalled multi-line entry.
    if (size_t feed = before.rfind('\n'); feed != std::string_view::npos) before.remove_prefix(feed + 1);
    if (inside_string(before)) return CC_ERROR;

    size_t start = before.size();
    while (start > 0 && is_name_char(before[start - 1])) start--;
    std::string_view prefix = before.substr(start);
    std::string_view receiver;
    if (start > 0 && before[start - 1] == '.') {
        size_t end = start - 1;
        size_t begin = end;
        while (begin > 0 && is_name_char(before[begin - 1])) begin--;
        receiver = before.substr(begin, end - begin);
        // A number, a chain (a.b.) or a literal before the dot is not a name
        // whose type the tables know.
        if (receiver.empty() || (receiver[0] >= '0' && receiver[0] <= '9') ||
            (begin > 0 && before[begin - 1] == '.')) {
            return CC_ERROR;
        }
    } else if (prefix.empty()) {
        return lib.el_insertstr(el, INDENT) == 0 ? CC_REFRESH : CC_ERROR;
    } else if (prefix[0] >= '0' && prefix[0] <= '9') {
        return CC_ERROR;
    }

    std::vector<std::string> names = compiler_completions(receiver, prefix);
    if (names.empty()) return CC_ERROR;
    size_t shared = common_prefix_length(names);
    if (shared > prefix.size()) {
        std::string rest = names[0].substr(prefix.size(), shared - prefix.size());
        return lib.el_insertstr(el, rest.c_str()) == 0 ? CC_REFRESH : CC_ERROR;
    }
    if (names.size() == 1) return CC_NORM;
    list_candidates(el, names);
    return CC_REDISPLAY;
}

// ---------------------------------------------------------------------------
// Keys
// ---------------------------------------------------------------------------

// Ctrl-C at the prompt: the line is shown ending in ^C and left as Enter would
// leave it, and the reader drops it.
unsigned char cancel_line(EditLine* el, int) {
    editor.cancelled = true;
    const LineInfo* info = lib.el_line(el);
    lib.el_cursor(el, static_cast<int>(info->lastchar - info->cursor));
    lib.el_insertstr(el, "^C");
    lib.el_push(el, "\n");
    return CC_REFRESH;
}

// Ctrl-Z at the prompt: signals are off while a line is edited, so the stop is
// sent by hand, with the terminal in its normal modes for the shell; editing
// modes come back, and the line is drawn again, when the job resumes.
unsigned char suspend(EditLine* el, int) {
    lib.el_set(el, EL_PREP_TERM, 0);
    kill(0, SIGTSTP);
    lib.el_set(el, EL_PREP_TERM, 1);
    return CC_REDISPLAY;
}

// Ctrl-D ends the session on an empty line, silently, and otherwise deletes the
// character under the cursor.
unsigned char end_or_delete(EditLine* el, int) {
    const LineInfo* info = lib.el_line(el);
    if (info->buffer == info->lastchar) return CC_EOF;
    if (info->cursor == info->lastchar) return CC_ERROR;
    lib.el_cursor(el, 1);
    lib.el_deletestr(el, 1);
    return CC_REFRESH;
}

struct KeyBinding {
    const char* keys;
    const char* function;
};

// Keys that terminals send and libedit's emacs map leaves out or binds to
// something a readline user would not expect.
constexpr KeyBinding EXTRA_BINDINGS[] = {
    {"^I", "vessrin-complete"},
    {"^C", "vessrin-cancel"},
    {"^Z", "vessrin-suspend"},
    {"^D", "vessrin-end-or-delete"},
    {"^U", "vi-kill-line-prev"},
    {"\033[1~", "ed-move-to-beg"},
    {"\033[4~", "ed-move-to-end"},
    {"\033[7~", "ed-move-to-beg"},
    {"\033[8~", "ed-move-to-end"},
    {"\033[1;5C", "em-next-word"},
    {"\033[1;5D", "ed-prev-word"},
    {"\033[1;3C", "em-next-word"},
    {"\033[1;3D", "ed-prev-word"},
};

// Editing wants UTF-8 whatever the environment's locale, since source text is
// UTF-8; only the character type category changes.
void use_utf8_ctype() {
    const char* previous = std::setlocale(LC_CTYPE, nullptr);
    editor.saved_locale = previous != nullptr ? previous : "C";
    if (std::setlocale(LC_CTYPE, "") != nullptr && std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0) return;
    if (std::setlocale(LC_CTYPE, "C.UTF-8") == nullptr) std::setlocale(LC_CTYPE, editor.saved_locale.c_str());
}

}  // namespace

bool line_editor_open() {
    if (!load_libedit()) return false;
    use_utf8_ctype();
    editor.el = lib.el_init("vessrin", stdin, stdout, stderr);
    editor.history = lib.history_init();
    if (editor.el == nullptr || editor.history == nullptr) {
        line_editor_close();
        return false;
    }
    HistEvent event;
    lib.history(editor.history, &event, H_SETSIZE, HISTORY_MAX_ENTRIES);
    lib.history(editor.history, &event, H_SETUNIQUE, 1);
    lib.el_set(editor.el, EL_EDITOR, "emacs");
    // The editor follows a resized window and a stop and resume while it reads.
    lib.el_set(editor.el, EL_SIGNAL, 1);
    lib.el_set(editor.el, EL_PROMPT, current_prompt);
    lib.el_set(editor.el, EL_HIST, lib.history, editor.history);
    // Ctrl-C and Ctrl-Z reach the editor as keys while a line is typed.
    lib.el_set(editor.el, EL_SETTY, "-d", "-isig", nullptr);
    // While entries run, Ctrl-C is not echoed as "^C" in front of the report.
    lib.el_set(editor.el, EL_SETTY, "-x", "-echoctl", nullptr);
    // The wide form: the narrow one copies the names and never frees them.
    lib.el_wset(editor.el, EL_ADDFN, L"vessrin-complete", L"Complete the name before the cursor", complete);
    lib.el_wset(editor.el, EL_ADDFN, L"vessrin-cancel", L"Drop the line being typed", cancel_line);
    lib.el_wset(editor.el, EL_ADDFN, L"vessrin-suspend", L"Suspend vessrin", suspend);
    lib.el_wset(editor.el, EL_ADDFN, L"vessrin-end-or-delete", L"End on an empty line, else delete a character",
            end_or_delete);
    for (const KeyBinding& binding : EXTRA_BINDINGS) lib.el_set(editor.el, EL_BIND, binding.keys, binding.function, nullptr);
    // The user's ~/.editrc (or $EDITRC) may rebind keys, e.g. to vi mode.
    lib.el_source(editor.el, nullptr);
    editor.history_path = history_path();
    load_history();
    return true;
}

EditorRead line_editor_read(const char* prompt, std::string& line) {
    editor.prompt = prompt;
    editor.cancelled = false;
    int count = 0;
    const char* text = lib.el_gets(editor.el, &count);
    if (editor.cancelled) return EditorRead::CANCELLED;
    if (text == nullptr || count <= 0) return EditorRead::END;
    // The count is in characters, not bytes, once the text holds UTF-8.
    line.assign(text);
    if (line.back() != '\n') line += '\n';
    return EditorRead::LINE;
}

void line_editor_remember(std::string_view entry) {
    if (!entry.empty() && entry.back() == '\n') entry.remove_suffix(1);
    std::string text(entry);
    HistEvent event;
    lib.history(editor.history, &event, H_ENTER, text.c_str());
}

void line_editor_close() {
    if (editor.history != nullptr) {
        save_history();
        lib.history_end(editor.history);
    }
    if (editor.el != nullptr) lib.el_end(editor.el);
    if (!editor.saved_locale.empty()) std::setlocale(LC_CTYPE, editor.saved_locale.c_str());
    editor = Editor{};
}

#else  // no libedit in this build: the REPL reads plainly

bool line_editor_open() { return false; }
EditorRead line_editor_read(const char*, std::string&) { return EditorRead::END; }
void line_editor_remember(std::string_view) {}
void line_editor_close() {}

#endif
