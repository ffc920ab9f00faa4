// The vessrin command: argument dispatch and reading a source file for a run or
// a check. Compiling, running and reporting errors all happen behind the vm_*
// calls; the interactive loop is in repl.cpp.
#include <sys/stat.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "cli/cli.h"
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

// The source length is held in a signed 32-bit int and one byte more is needed
// for the terminating NUL, so this is the largest file that can be buffered.
constexpr long SOURCE_MAX_BYTES = INT32_MAX - 1;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

struct BufferFree {
    void operator()(char* buffer) const { mem_free(buffer); }
};
using SourceBuffer = std::unique_ptr<char, BufferFree>;

void print_usage(std::FILE* stream) { std::fputs(USAGE_TEXT, stream); }

int status_from_result(int result) {
    switch (result) {
        case INTERPRET_COMPILE_ERROR: return EXIT_COMPILE_ERROR;
        case INTERPRET_RUNTIME_ERROR: return EXIT_RUNTIME_ERROR;
        default: return EXIT_OK;
    }
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
    // A program that called exit ends with its own status.
    int requested = 0;
    if (vm_exit_requested(&requested)) return requested;
    return status_from_result(result);
}

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
