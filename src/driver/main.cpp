// The vessrin command: argument dispatch, reading a source file for a run or a
// check, and the interactive loop that feeds the machine one line at a time.
// Compiling, running and reporting errors all happen behind the vm_* calls.
#include <sys/stat.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "runtime/memory.h"
#include "vm/vm.h"

namespace {

constexpr const char* VESSRIN_VERSION = "0.1.0";

constexpr char USAGE_TEXT[] =
    "Usage: vessrin [command] [file]\n"
    "\n"
    "Commands:\n"
    "  (no args)        Start interactive REPL\n"
    "  run <file>       Run a Vessrin source file (default if file given)\n"
    "  check <file>     Type-check without running\n"
    "  --version, -v    Print version\n"
    "  --help, -h       Print this help\n";
static_assert(sizeof(USAGE_TEXT) - 1 == 268, "the usage text is a fixed block of 268 bytes");

constexpr int EXIT_OK = 0;
constexpr int EXIT_USAGE = 64;
constexpr int EXIT_COMPILE_ERROR = 65;
constexpr int EXIT_NO_INPUT = 66;
constexpr int EXIT_RUNTIME_ERROR = 70;

// The source length is held in a signed 32-bit int and one byte more is needed
// for the terminating NUL, so this is the largest file that can be buffered.
constexpr long SOURCE_MAX_BYTES = INT32_MAX - 1;

// One read of the REPL takes at most this many bytes, NUL included; a longer
// line arrives in pieces, each handled as a line of its own.
constexpr int REPL_LINE_MAX = 4096;
// The first allocation of the REPL line store; it doubles from there.
constexpr int32_t REPL_LINES_INITIAL_CAP = 32;

const char* const REPL_BANNER = "Vessrin REPL \xE2\x80\x94 type 'exit' to quit\n";

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

struct BufferFree {
    void operator()(char* buffer) const { mem_free(buffer); }
};
using SourceBuffer = std::unique_ptr<char, BufferFree>;

// Lines accepted by the REPL. The compiler's tables keep names as slices of the
// line text, so every line stays allocated until the REPL ends.
char** repl_lines = nullptr;
int32_t repl_lines_count = 0;
int32_t repl_lines_cap = 0;

void print_usage(std::FILE* stream) { std::fputs(USAGE_TEXT, stream); }

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

int status_from_result(int result) {
    switch (result) {
        case INTERPRET_COMPILE_ERROR: return EXIT_COMPILE_ERROR;
        case INTERPRET_RUNTIME_ERROR: return EXIT_RUNTIME_ERROR;
        default: return EXIT_OK;
    }
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

int run_file(const char* path, int check_only) {
    FileHandle file(std::fopen(path, "rb"));
    if (!file) {
        std::fprintf(stderr, "vessrin: cannot open file '%s'\n", path);
        return EXIT_NO_INPUT;
    }
    // A directory opens without complaint on some systems and then reports a
    // nonsense length; only regular files are read.
    struct stat info;
    if (fstat(fileno(file.get()), &info) != 0 || S_ISDIR(info.st_mode)) {
        std::fprintf(stderr, "vessrin: cannot read file '%s'\n", path);
        return EXIT_NO_INPUT;
    }
    if (std::fseek(file.get(), 0, SEEK_END) != 0) {
        std::fprintf(stderr, "vessrin: cannot read file '%s'\n", path);
        return EXIT_NO_INPUT;
    }
    // A file too long for the length type is refused rather than read short.
    long position = std::ftell(file.get());
    if (position < 0 || position > SOURCE_MAX_BYTES) {
        std::fprintf(stderr, "vessrin: cannot read file '%s'\n", path);
        return EXIT_NO_INPUT;
    }
    auto length = static_cast<int32_t>(position);
    std::rewind(file.get());

    SourceBuffer buffer(static_cast<char*>(mem_try_alloc(static_cast<size_t>(length) + 1)));
    if (!buffer) {
        std::fprintf(stderr, "vessrin: out of memory reading '%s'\n", path);
        return EXIT_NO_INPUT;
    }
    size_t bytes_read = std::fread(buffer.get(), 1, static_cast<size_t>(length), file.get());
    if (bytes_read < static_cast<size_t>(length)) {
        std::fprintf(stderr, "vessrin: cannot read file '%s'\n", path);
        return EXIT_NO_INPUT;
    }
    buffer.get()[bytes_read] = '\0';
    file.reset();

    int result = check_only ? vm_check(buffer.get(), path) : vm_interpret(buffer.get(), path);
    return status_from_result(result);
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
    }

    vm_repl_end();
    repl_free_lines();
    return status;
}

namespace {

int dispatch(int argc, char* argv[]) {
    if (argc == 1) return run_repl();
    if (argc == 2) {
        const char* arg = argv[1];
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            print_usage(stdout);
            return EXIT_OK;
        }
        if (std::strcmp(arg, "--version") == 0 || std::strcmp(arg, "-v") == 0) {
            std::printf("Vessrin %s\n", VESSRIN_VERSION);
            return EXIT_OK;
        }
        if (std::strcmp(arg, "check") == 0 || std::strcmp(arg, "run") == 0) {
            std::fprintf(stderr, "vessrin: '%s' requires a file argument\n", arg);
            print_usage(stderr);
            return EXIT_USAGE;
        }
        return run_file(arg, 0);
    }
    if (argc == 3) {
        if (std::strcmp(argv[1], "check") == 0) return run_file(argv[2], 1);
        if (std::strcmp(argv[1], "run") == 0) return run_file(argv[2], 0);
    }
    print_usage(stderr);
    return EXIT_USAGE;
}

}  // namespace

// Output still buffered is written here, before the status is decided: a run
// whose printing was lost (a full disk, a closed descriptor) must not report
// success.
int main(int argc, char* argv[]) {
    int status = dispatch(argc, argv);
    if ((std::fflush(stdout) != 0 || std::ferror(stdout)) && status == EXIT_OK) {
        std::fputs("vessrin: cannot write to standard output\n", stderr);
        return EXIT_RUNTIME_ERROR;
    }
    return status;
}
