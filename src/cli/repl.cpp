// The interactive loop: prompts, reads standard input a line at a time, keeps
// every accepted line alive for the compiler's tables, and hands each line to
// the machine, which reports its own errors and keeps what the line defined.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "cli/cli.h"
#include "runtime/memory.h"
#include "vm/vm.h"

namespace {

// One read of the REPL takes at most this many bytes, NUL included; a longer
// line arrives in pieces, each handled as a line of its own.
constexpr int REPL_LINE_MAX = 4096;
// The first allocation of the REPL line store; it doubles from there.
constexpr int32_t REPL_LINES_INITIAL_CAP = 32;

const char* const REPL_BANNER = "Vessrin REPL \xE2\x80\x94 type 'exit' to quit\n";

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

    char line[REPL_LINE_MAX];
    for (;;) {
        std::fputs("> ", stdout);
        std::fflush(stdout);
        if (std::fgets(line, sizeof line, stdin) == nullptr) {
            std::fputs("\n", stdout);
            break;
        }
        if (is_blank_line(line)) continue;
        if (line_equals(line, "exit") || line_equals(line, "quit")) break;

        char* stored = repl_store_line(line);
        if (stored == nullptr) {
            std::fflush(stdout);
            std::fputs("vessrin: out of memory\n", stderr);
            status = EXIT_OUT_OF_MEMORY;
            break;
        }
        // A failing line has already been reported; the session goes on with
        // whatever the earlier lines built.
        vm_repl_eval(stored);
        // A program's exit ends the whole session with its status.
        if (vm_exit_requested(&status)) break;
    }

    vm_repl_end();
    repl_free_lines();
    return status;
}

