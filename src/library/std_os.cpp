// std/os: environment variables, ending the program with a status, and the
// two clocks (monotonic seconds for timing, Unix time for dates).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "library/std_module.h"
#include "vm/vm.h"

namespace {

// Exit statuses are one byte wide on every system the interpreter runs on.
constexpr int64_t EXIT_STATUS_MAX = 255;

bool native_os_env(int, Value* args, Value* result) {
    if (!is_string(args[0])) return false;
    const ObjString* name = as_string(args[0]);
    // A name with a NUL inside cannot be set, so it is never found.
    if (std::memchr(name->chars, '\0', static_cast<size_t>(name->length)) != nullptr) return true;
    const char* value = std::getenv(name->chars);
    if (value != nullptr) *result = obj_val(copy_string(value, static_cast<int>(std::strlen(value))));
    return true;
}

// The run ends the way a reported error ends it, silently: every frame
// unwinds, callbacks included, and the caller of the machine reads the status
// from vm_exit_requested.
bool native_os_exit(int, Value* args, Value*) {
    if (!is_int(args[0])) return false;
    int64_t status = as_int(args[0]);
    if (status < 0 || status > EXIT_STATUS_MAX) {
        char message[VM_NATIVE_ERROR_MAX];
        std::snprintf(message, sizeof message, "exit status must be between 0 and 255, got %lld",
                      static_cast<long long>(status));
        vm_set_native_error(message);
        return false;
    }
    std::fflush(stdout);
    vm_request_exit(static_cast<int>(status));
    vm_callback_error_reported = true;
    return false;
}

bool native_os_clock(int, Value*, Value* result) {
    struct timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return false;
    *result = float_val(static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9);
    return true;
}

bool native_os_time(int, Value*, Value* result) {
    *result = int_val(static_cast<int64_t>(std::time(nullptr)));
    return true;
}

constexpr std::array<StdFunction, 4> os_functions = {{
    {"env", native_os_env, std_check_signature, 1, {STD_STRING}, st_base(BASE_STRING, true)},
    {"exit", native_os_exit, std_check_signature, 1, {STD_INT}, STD_NONE},
    {"clock", native_os_clock, std_check_signature, 0, {}, STD_FLOAT},
    {"time", native_os_time, std_check_signature, 0, {}, STD_INT},
}};

}  // namespace

const StdModule std_os_module = std_module_of("os", os_functions);
