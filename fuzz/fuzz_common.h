// What the three fuzz targets share: program output goes nowhere, colour is off,
// and a program that runs out of memory (the fuzzing build unwinds instead of
// exiting) leaves a machine that the next input can use.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "diagnostics/diag.h"
#include "runtime/memory.h"
#include "vm/vm.h"

// Inputs beyond this are cut: longer sources find nothing new and slow the
// fuzzer down (the hostile-input tests cover very large sources).
inline constexpr size_t FUZZ_INPUT_MAX = 64 * 1024;

// Program output is thrown away; diagnostics stay on standard error, which the
// fuzzer's -close_fd_mask silences while its own reports still get through.
inline void fuzz_discard_output() {
    int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd >= 0) {
        std::fflush(stdout);
        dup2(null_fd, STDOUT_FILENO);
        close(null_fd);
    }
    diag_force_color_state(0);
}

// Runs one step of the interpreter; running out of memory frees what the run
// had built, as the end of a run would.
template <typename Step>
inline bool fuzz_guarded(Step step) {
    try {
        step();
        return true;
    } catch (const MemOutOfMemory&) {
        vm_reset();
        return false;
    }
}
