// Fuzz target: a main script and one module it can import, both fuzzed. The
// input is the main script, a line "=====", then the module's text; the module
// is written to a private directory as lib.vsr (and, for import chains,
// inner.vsr holds the same text) before the main script is run there.
#include <sys/stat.h>

#include <cstdlib>
#include <string_view>

#include "fuzz_common.h"

namespace {

constexpr std::string_view SEPARATOR = "\n=====\n";

std::string g_directory;

bool write_file(const std::string& path, std::string_view text) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && ok;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_discard_output();
    char pattern[] = "/tmp/vessrin-fuzz-modules-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr) std::abort();
    g_directory = made;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > FUZZ_INPUT_MAX) size = FUZZ_INPUT_MAX;
    std::string_view input(reinterpret_cast<const char*>(data), size);
    size_t cut = input.find(SEPARATOR);
    std::string main_text(input.substr(0, cut));
    std::string_view module_text = cut == std::string_view::npos ? std::string_view() : input.substr(cut + SEPARATOR.size());
    if (!write_file(g_directory + "/lib.vsr", module_text)) return 0;
    if (!write_file(g_directory + "/inner.vsr", module_text)) return 0;
    std::string main_path = g_directory + "/main.vsr";
    vm_fuzz_reset_budget();
    fuzz_guarded([&] { vm_interpret(main_text.c_str(), main_path.c_str()); });
    return 0;
}
