// Fuzz target: arbitrary bytes as a whole program, compiled and, when it
// compiles, run under the fuzzing build's instruction budget.
#include "fuzz_common.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_discard_output();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > FUZZ_INPUT_MAX) size = FUZZ_INPUT_MAX;
    // NUL-terminated like a file the driver reads; an embedded NUL stays in.
    std::string source(reinterpret_cast<const char*>(data), size);
    vm_fuzz_reset_budget();
    fuzz_guarded([&] { vm_interpret(source.c_str(), "fuzz.vsr"); });
    return 0;
}
