// Fuzz target: the input is a REPL session, one line per input line, fed to the
// REPL entry points the way the driver feeds them: long lines in pieces, blank
// lines skipped, "exit" or "quit" ending the session, every line kept alive
// until the session ends.
#include <cstring>
#include <vector>

#include "fuzz_common.h"

namespace {

// The driver reads at most this many bytes a line, NUL included.
constexpr size_t REPL_READ_MAX = 4096;
// A session longer than this adds nothing but time.
constexpr size_t FUZZ_REPL_LINES_MAX = 256;

bool blank(const std::string& line) { return line.find_first_not_of(" \t\r\n") == std::string::npos; }

bool is_word(const std::string& line, const char* word) {
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line.compare(start, std::strlen(word), word) != 0) return false;
    return line.find_first_not_of(" \t\r\n", start + std::strlen(word)) == std::string::npos;
}

// Splits like fgets into a 4096-byte buffer: pieces of at most 4095 bytes, each
// keeping its newline. An embedded NUL ends the piece as C string handling would.
std::vector<std::string> split_lines(const char* data, size_t size) {
    std::vector<std::string> lines;
    std::string piece;
    for (size_t i = 0; i < size && lines.size() < FUZZ_REPL_LINES_MAX; i++) {
        piece.push_back(data[i]);
        if (data[i] == '\n' || piece.size() == REPL_READ_MAX - 1) {
            lines.push_back(piece.c_str());
            piece.clear();
        }
    }
    if (!piece.empty() && lines.size() < FUZZ_REPL_LINES_MAX) lines.push_back(piece.c_str());
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_discard_output();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > FUZZ_INPUT_MAX) size = FUZZ_INPUT_MAX;
    std::vector<std::string> lines = split_lines(reinterpret_cast<const char*>(data), size);
    vm_fuzz_reset_budget();
    bool alive = fuzz_guarded([] { vm_repl_begin(); });
    for (size_t i = 0; alive && i < lines.size(); i++) {
        const std::string& line = lines[i];
        if (blank(line)) continue;
        if (is_word(line, "exit") || is_word(line, "quit")) break;
        alive = fuzz_guarded([&] { vm_repl_eval(line.c_str()); });
    }
    // The compile tables point into the lines, so they outlive the session. A
    // session cut short by running out of memory was already freed.
    if (alive) vm_repl_end();
    return 0;
}
