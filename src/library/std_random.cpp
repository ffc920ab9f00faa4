// std/random: one xoshiro256** generator for the whole program, seeded from
// the clock when the module is imported unless the program calls seed, so a
// seeded program draws the same numbers on every run and every machine.
#include <cstdint>
#include <ctime>

#include "library/std_module.h"
#include "library/xoshiro.h"
#include "vm/vm.h"

namespace {

Xoshiro256 g_generator{{1, 2, 3, 4}};

// Uniform in [0, span) for span >= 1: draws below the largest multiple of
// span are kept, so no value is favoured.
uint64_t below(uint64_t span) {
    uint64_t threshold = (0 - span) % span;
    for (;;) {
        uint64_t r = xoshiro_next(&g_generator);
        if (r >= threshold) return r % span;
    }
}

bool native_random_seed(int, Value* args, Value*) {
    if (!is_int(args[0])) return false;
    xoshiro_seed(&g_generator, static_cast<uint64_t>(as_int(args[0])));
    return true;
}

bool native_random_int_between(int, Value* args, Value* result) {
    if (!is_int(args[0]) || !is_int(args[1])) return false;
    int64_t lo = as_int(args[0]);
    int64_t hi = as_int(args[1]);
    if (lo > hi) {
        vm_set_native_error("int_between lower bound is greater than upper bound");
        return false;
    }
    // At most 2^49 values: the span fits easily in 64 bits.
    uint64_t span = static_cast<uint64_t>(hi - lo) + 1;
    *result = int_val(lo + static_cast<int64_t>(below(span)));
    return true;
}

bool native_random_float(int, Value*, Value* result) {
    // The top 53 bits, scaled: every result is a multiple of 2^-53 below 1.
    *result = float_val(static_cast<double>(xoshiro_next(&g_generator) >> 11) * 0x1.0p-53);
    return true;
}

bool native_random_shuffle(int, Value* args, Value*) {
    if (!is_obj_kind(args[0], OBJ_ARRAY)) return false;
    ObjArray* array = as_array(args[0]);
    for (int32_t i = array->count - 1; i > 0; i--) {
        int32_t j = static_cast<int32_t>(below(static_cast<uint64_t>(i) + 1));
        Value t = array->values[i];
        array->values[i] = array->values[j];
        array->values[j] = t;
    }
    return true;
}

bool native_random_choice(int, Value* args, Value* result) {
    if (!is_obj_kind(args[0], OBJ_ARRAY)) return false;
    const ObjArray* array = as_array(args[0]);
    if (array->count > 0) *result = array->values[below(static_cast<uint64_t>(array->count))];
    return true;
}

bool is_array_type(const StaticType& t) { return t.kind == TYPE_ARRAY || t.kind == TYPE_ARRAY_ANY; }

SigCheckResult check_shuffle(const FunctionEntry* entry, int arg_count, const StaticType* args) {
    SigCheckResult arity = sig_check_arity(entry->name, static_cast<int>(entry->param_count), arg_count);
    if (!arity.ok) return arity;
    if (!is_array_type(args[0])) {
        return std_check_fail("argument 1 of '%s' expects an array, got %s", entry->name, static_type_name(args[0]));
    }
    return std_check_ok(st_none());
}

// choice(array<T>) is T?, so T must be a type that can be nullable.
SigCheckResult check_choice(const FunctionEntry* entry, int arg_count, const StaticType* args) {
    SigCheckResult arity = sig_check_arity(entry->name, static_cast<int>(entry->param_count), arg_count);
    if (!arity.ok) return arity;
    const StaticType& a = args[0];
    if (a.kind == TYPE_ARRAY && a.base >= BASE_INT && a.base <= BASE_STRING) {
        return std_check_ok(st_base(a.base, true));
    }
    return std_check_fail("argument 1 of '%s' expects an array of int, float, bool or string, got %s", entry->name,
                          static_type_name(a));
}

constexpr std::array<StdFunction, 5> random_functions = {{
    {"seed", native_random_seed, std_check_signature, 1, {STD_INT}, STD_NONE},
    {"int_between", native_random_int_between, std_check_signature, 2, {STD_INT, STD_INT}, STD_INT},
    {"float", native_random_float, std_check_signature, 0, {}, STD_FLOAT},
    {"shuffle", native_random_shuffle, check_shuffle, 1, {}, STD_NONE},
    {"choice", native_random_choice, check_choice, 1, {}, STD_NONE},
}};

void seed_from_clock() {
#if defined(VESSRIN_FUZZING)
    // Fuzz runs must repeat exactly.
    xoshiro_seed(&g_generator, 0);
#else
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    xoshiro_seed(&g_generator, static_cast<uint64_t>(now.tv_sec) * 1000000000ULL + static_cast<uint64_t>(now.tv_nsec));
#endif
}

}  // namespace

const StdModule std_random_module = std_module_of("random", random_functions, seed_from_clock);
