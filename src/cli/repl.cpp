// The interactive loop: prompts, reads an entry, keeps every accepted entry
// alive for the compiler's tables, and hands it to the machine, which reports
// its own errors and keeps what the entry defined. Off a terminal an entry is
// one line read plainly; on a terminal it comes from the line editor, may run
// over several lines while brackets are open, and Ctrl-C stops a running entry.
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "cli/cli.h"
#include "cli/line_editor.h"
#include "runtime/memory.h"
#include "vm/vm.h"

namespace {

// One read of the REPL takes at most this many bytes, NUL included; a longer
// line arrives in pieces, each handled as a line of its own.
constexpr int REPL_LINE_MAX = 4096;
// The first allocation of the REPL line store; it doubles from there.
constexpr int32_t REPL_LINES_INITIAL_CAP = 32;

const char* const REPL_BANNER = "Vessrin REPL \xE2\x80\x94 type 'exit' to quit\n";
const char* const PROMPT = "> ";
const char* const CONTINUATION_PROMPT = "... ";

// Lines accepted by the REPL. The compiler's tables keep names as slices of the
// line text, so every line stays allocated until the REPL ends.
char** repl_lines = nullptr;
int32_t repl_lines_count = 0;
int32_t repl_lines_cap = 0;

bool is_blank_line(const char* line) {
    for (const char* p = line; *p != '\0'; p++) {
        if (*p != ' ' && *p != '\t' && *p != '\r' && *p != '\n') return false;
    }
    return true;
}

// Appends a copy of the line to the store and returns it, or null when memory
// ran out (the store is left as it was).
char* repl_store_line(const char* line) {
    if (repl_lines_count == repl_lines_cap) {
        if (repl_lines_cap > INT32_MAX / 2) return nullptr;
        int32_t new_cap = repl_lines_cap == 0 ? REPL_LINES_INITIAL_CAP : repl_lines_count * 2;
        void* grown = mem_try_realloc(repl_lines, sizeof(char*) * static_cast<size_t>(new_cap));
        if (grown == nullptr) return nullptr;
        repl_lines = static_cast<char**>(grown);
        repl_lines_cap = new_cap;
    }
    size_t length = std::strlen(line);
    char* copy = static_cast<char*>(mem_try_alloc(length + 1));
    if (copy == nullptr) return nullptr;
    std::memcpy(copy, line, length + 1);
    repl_lines[repl_lines_count++] = copy;
    return copy;
}

// Brackets the text leaves open: '{', '(' and '[' count up and their closers
// down, except inside string literals, which may themselves run over lines.
int open_brackets(std::string_view text) {
    int depth = 0;
    bool in_string = false;
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        if (in_string) {
            if (c == '\\') {
                i++;
            } else if (c == '"') {
                in_string = false;
            }
            continue;
        }
        switch (c) {
            case '"': in_string = true; break;
            case '{':
            case '(':
            case '[': depth++; break;
            case '}':
            case ')':
            case ']': depth--; break;
            default: break;
        }
    }
    return depth;
}

// A terminal entry: a line, and while it leaves brackets open, more lines under
// the continuation prompt; it is then compiled as one text. Ctrl-C drops what
// was typed of the entry. False at the end of input.
bool read_terminal_entry(std::string& entry) {
    entry.clear();
    std::string line;
    for (;;) {
        switch (line_editor_read(entry.empty() ? PROMPT : CONTINUATION_PROMPT, line)) {
            case EditorRead::END: return false;
            case EditorRead::CANCELLED: entry.clear(); continue;
            case EditorRead::LINE: break;
        }
        entry += line;
        if (open_brackets(entry) <= 0) return true;
    }
}

struct EntryReader {
    bool terminal;
    char line[REPL_LINE_MAX];
    std::string entry;
};

// The next entry, or null at the end of input.
const char* read_entry(EntryReader& reader) {
    if (reader.terminal) return read_terminal_entry(reader.entry) ? reader.entry.c_str() : nullptr;
    std::fputs(PROMPT, stdout);
    std::fflush(stdout);
    return std::fgets(reader.line, sizeof reader.line, stdin);
}

// Whether a Ctrl-C came while the current entry ran.
volatile sig_atomic_t g_entry_interrupted = 0;

void on_interrupt(int) {
    // A second Ctrl-C before the machine saw the first: the entry is stuck
    // where nothing polls, so the signal gets its ordinary meaning.
    if (vm_interrupt_requested) {
        std::signal(SIGINT, SIG_DFL);
        std::raise(SIGINT);
        return;
    }
    vm_interrupt_requested = 1;
    g_entry_interrupted = 1;
}

// Ctrl-C stops the running entry instead of the process while a terminal
// session lasts; the handler it replaced comes back at the end. Without
// SA_RESTART, an entry waiting for input is woken too: the read ends, and the
// entry stops at its next call or loop.
struct InterruptGuard {
    bool installed = false;
    struct sigaction previous {};

    explicit InterruptGuard(bool terminal) {
        if (!terminal) return;
        struct sigaction action {};
        action.sa_handler = on_interrupt;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        installed = sigaction(SIGINT, &action, &previous) == 0;
    }
    ~InterruptGuard() {
        if (installed) sigaction(SIGINT, &previous, nullptr);
    }
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;
};

void repl_free_lines() {
    for (int32_t i = 0; i < repl_lines_count; i++) mem_free(repl_lines[i]);
    mem_free(repl_lines);
    repl_lines = nullptr;
    repl_lines_count = 0;
    repl_lines_cap = 0;
}

}  // namespace

bool line_equals(const char* line, const char* keyword) {
    const char* p = line;
    while (*p == ' ' || *p == '\t') p++;
    size_t keyword_length = std::strlen(keyword);
    if (std::strncmp(p, keyword, keyword_length) != 0) return false;
    p += keyword_length;
    while (*p == '\t' || *p == '\n' || *p == '\r' || *p == ' ') p++;
    return *p == '\0';
}

// Returns the exit status: 0, or 70 when the line store could not grow (the
// message alone would leave a script driving the REPL believing all went well).
int run_repl() {
    int status = EXIT_OK;
    std::fputs(REPL_BANNER, stdout);
    vm_repl_begin();

    EntryReader reader;
    reader.terminal = isatty(STDIN_FILENO) && isatty(STDOUT_FILENO) && line_editor_open();
    InterruptGuard interrupts(reader.terminal);
    for (;;) {
        const char* entry = read_entry(reader);
        if (entry == nullptr) {
            std::fputs("\n", stdout);
            break;
        }
        if (is_blank_line(entry)) continue;
        if (line_equals(entry, "exit") || line_equals(entry, "quit")) break;
        if (reader.terminal) line_editor_remember(entry);

        char* stored = repl_store_line(entry);
        if (stored == nullptr) {
            std::fflush(stdout);
            std::fputs("vessrin: out of memory\n", stderr);
            status = EXIT_OUT_OF_MEMORY;
            break;
        }
        // A failing entry has already been reported; the session goes on with
        // whatever the earlier entries built. A Ctrl-C from before the entry
        // started is not meant for it.
        vm_interrupt_requested = 0;
        g_entry_interrupted = 0;
        vm_repl_eval(stored);
        vm_interrupt_requested = 0;
        // A read or write that the Ctrl-C cut short is no fault of the stream.
        if (g_entry_interrupted) {
            std::clearerr(stdin);
            std::clearerr(stdout);
        }
        // A program's exit ends the whole session with its status.
        if (vm_exit_requested(&status)) break;
    }

    if (reader.terminal) line_editor_close();
    vm_repl_end();
    repl_free_lines();
    return status;
}
