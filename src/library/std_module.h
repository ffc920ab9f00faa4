// The modules built into the interpreter (std/io, std/os, std/math,
// std/random): a module is a name and a table of exported natives, each row
// holding the native and its signature, which drive both the compile-time check
// of a call and its run-time behaviour. Their natives join the function table
// only when a program imports the module.
#pragma once

#include <array>
#include <cstdint>

#include "compiler/compiler_internal.h"
#include "runtime/object.h"

// clamp takes three arguments, the most of any built-in module function.
inline constexpr int STD_PARAMS_MAX = 3;

struct StdFunction {
    const char* name;
    NativeFn native;
    // std_check_signature for a fixed signature; generic functions (over int
    // or float, over any array) have their own check.
    SigCheckFn check;
    uint32_t param_count;
    std::array<StaticType, STD_PARAMS_MAX> params;
    StaticType result;  // st_none(): the call has no value
};

struct StdModule {
    const char* name;  // the part after "std/", and the module's default alias
    const StdFunction* functions;
    int function_count;
    void (*on_import)();  // run when a compilation imports the module, or null
};

template <size_t N>
constexpr StdModule std_module_of(const char* name, const std::array<StdFunction, N>& functions,
                                  void (*on_import)() = nullptr) {
    return StdModule{name, functions.data(), static_cast<int>(N), on_import};
}

extern const StdModule std_io_module;
extern const StdModule std_os_module;
extern const StdModule std_math_module;
extern const StdModule std_random_module;

// The built-in module an import string names ("std/io" or "std/io.vsr"), or null.
const StdModule* std_module_for_import(const char* text, uint32_t length);
// The built-in module whose table entry has this path, or null. Built-in
// modules take the path "std/NAME", which no file's absolute path can equal.
const StdModule* std_module_for_path(const char* path);
// Appends the module's natives to the function table as exports of module
// module_idx; false when the table has no room for all of them.
bool std_module_register(const StdModule& module, int module_idx);

// Checks a call against the row's parameter types; the result is the row's.
SigCheckResult std_check_signature(const FunctionEntry* entry, int arg_count, const StaticType* args);
// Result types in the tables.
constexpr StaticType std_result_of(uint32_t base) { return st_of_kind(TYPE_RESULT, base, -1); }
inline constexpr StaticType STD_INT = st_base(BASE_INT);
inline constexpr StaticType STD_FLOAT = st_base(BASE_FLOAT);
inline constexpr StaticType STD_BOOL = st_base(BASE_BOOL);
inline constexpr StaticType STD_STRING = st_base(BASE_STRING);
inline constexpr StaticType STD_NONE = st_none();

// Shared check helpers, also used by the global natives.
SigCheckResult sig_check_arity(const char* name, int expected, int actual);
SigCheckResult sig_check_print(const FunctionEntry* entry, int arg_count, const StaticType* args);
SigCheckResult std_check_ok(const StaticType& result);
SigCheckResult std_check_fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
