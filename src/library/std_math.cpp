// std/math: the C library's float functions, rounding to float and to int,
// abs/min/max/clamp over int or float (the arguments' type is the result's),
// NaN and infinity tests, and gcd/lcm. Float results go through float_val, so
// a NaN is always the language's one NaN.
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "library/std_module.h"
#include "vm/vm.h"

namespace {

bool is_plain_number(const StaticType& t) {
    return t.kind == TYPE_BASE && !t.nullable && (t.base == BASE_INT || t.base == BASE_FLOAT);
}

// abs, min, max and clamp: every argument int, or every argument float.
SigCheckResult check_same_number(const FunctionEntry* entry, int arg_count, const StaticType* args) {
    SigCheckResult arity = sig_check_arity(entry->name, static_cast<int>(entry->param_count), arg_count);
    if (!arity.ok) return arity;
    const StaticType& first = args[0];
    if (!is_plain_number(first)) {
        return std_check_fail("argument 1 of '%s' expects int or float, got %s", entry->name, static_type_name(first));
    }
    for (int i = 1; i < arg_count; i++) {
        if (args[i].kind == TYPE_BASE && !args[i].nullable && args[i].base == first.base) continue;
        return std_check_fail("argument %d of '%s' expects %s like argument 1, got %s", i + 1, entry->name,
                              static_type_name(first), static_type_name(args[i]));
    }
    return std_check_ok(st_base(first.base));
}

// ---------------------------------------------------------------------------
// Float functions
// ---------------------------------------------------------------------------

using Unary = double (*)(double);
using Binary = double (*)(double, double);

template <Unary F>
bool float_unary(int, Value* args, Value* result) {
    if (!is_float(args[0])) return false;
    *result = float_val(F(as_float(args[0])));
    return true;
}

template <Binary F>
bool float_binary(int, Value* args, Value* result) {
    if (!is_float(args[0]) || !is_float(args[1])) return false;
    *result = float_val(F(as_float(args[0]), as_float(args[1])));
    return true;
}

// pi, e, inf and nan, in table order; a template takes an index where it
// could not take a double.
const double math_constants[] = {3.14159265358979323846, 2.71828182845904523536, HUGE_VAL, NAN};

template <int K>
bool float_constant(int, Value*, Value* result) {
    *result = float_val(math_constants[K]);
    return true;
}

// The C library's overload sets, pinned to double.
double f_sqrt(double x) { return std::sqrt(x); }
double f_cbrt(double x) { return std::cbrt(x); }
double f_exp(double x) { return std::exp(x); }
double f_log(double x) { return std::log(x); }
double f_log2(double x) { return std::log2(x); }
double f_log10(double x) { return std::log10(x); }
double f_sin(double x) { return std::sin(x); }
double f_cos(double x) { return std::cos(x); }
double f_tan(double x) { return std::tan(x); }
double f_asin(double x) { return std::asin(x); }
double f_acos(double x) { return std::acos(x); }
double f_atan(double x) { return std::atan(x); }
double f_atan2(double y, double x) { return std::atan2(y, x); }
double f_hypot(double x, double y) { return std::hypot(x, y); }
double f_pow(double x, double y) { return std::pow(x, y); }
double f_floor(double x) { return std::floor(x); }
double f_ceil(double x) { return std::ceil(x); }
// Half away from zero.
double f_round(double x) { return std::round(x); }
double f_trunc(double x) { return std::trunc(x); }

// Rounds to an int, or fails when the float is NaN, infinite or past the int range.
template <Unary F>
bool float_to_int(const char* name, Value* args, Value* result) {
    if (!is_float(args[0])) return false;
    double x = as_float(args[0]);
    double r = F(x);
    // Both ends are powers of two (or one less), exactly representable as doubles.
    if (!(r >= static_cast<double>(VALUE_INT_MIN) && r <= static_cast<double>(VALUE_INT_MAX))) {
        char message[VM_NATIVE_ERROR_MAX];
        std::snprintf(message, sizeof message, "%s of %.17g does not fit in an int", name, x);
        vm_set_native_error(message);
        return false;
    }
    *result = int_val(static_cast<int64_t>(r));
    return true;
}

bool native_math_floor_int(int, Value* args, Value* result) { return float_to_int<f_floor>("floor_int", args, result); }
bool native_math_ceil_int(int, Value* args, Value* result) { return float_to_int<f_ceil>("ceil_int", args, result); }
bool native_math_round_int(int, Value* args, Value* result) { return float_to_int<f_round>("round_int", args, result); }

bool native_math_is_nan(int, Value* args, Value* result) {
    if (!is_float(args[0])) return false;
    *result = bool_val(std::isnan(as_float(args[0])));
    return true;
}

bool native_math_is_inf(int, Value* args, Value* result) {
    if (!is_float(args[0])) return false;
    *result = bool_val(std::isinf(as_float(args[0])));
    return true;
}

// ---------------------------------------------------------------------------
// Over int or float
// ---------------------------------------------------------------------------

bool native_math_abs(int, Value* args, Value* result) {
    if (is_int(args[0])) {
        // Negated in 64 bits and wrapped to 49 like every int result, so the
        // smallest int stays itself.
        int64_t n = as_int(args[0]);
        *result = int_val(n < 0 ? -n : n);
        return true;
    }
    if (!is_float(args[0])) return false;
    *result = float_val(std::fabs(as_float(args[0])));
    return true;
}

// min and max; a NaN argument makes the result NaN.
bool min_or_max(Value* args, Value* result, bool want_max) {
    if (is_int(args[0]) && is_int(args[1])) {
        int64_t a = as_int(args[0]);
        int64_t b = as_int(args[1]);
        *result = int_val(want_max ? (a > b ? a : b) : (a < b ? a : b));
        return true;
    }
    if (!is_float(args[0]) || !is_float(args[1])) return false;
    double a = as_float(args[0]);
    double b = as_float(args[1]);
    if (std::isnan(a) || std::isnan(b)) {
        *result = float_val(NAN);
    } else {
        *result = float_val(want_max ? (a > b ? a : b) : (a < b ? a : b));
    }
    return true;
}

bool native_math_min(int, Value* args, Value* result) { return min_or_max(args, result, false); }
bool native_math_max(int, Value* args, Value* result) { return min_or_max(args, result, true); }

bool bounds_error(const char* message) {
    vm_set_native_error(message);
    return false;
}

bool native_math_clamp(int, Value* args, Value* result) {
    if (is_int(args[0]) && is_int(args[1]) && is_int(args[2])) {
        int64_t x = as_int(args[0]);
        int64_t lo = as_int(args[1]);
        int64_t hi = as_int(args[2]);
        if (lo > hi) return bounds_error("clamp lower bound is greater than upper bound");
        *result = int_val(x < lo ? lo : (x > hi ? hi : x));
        return true;
    }
    if (!is_float(args[0]) || !is_float(args[1]) || !is_float(args[2])) return false;
    double x = as_float(args[0]);
    double lo = as_float(args[1]);
    double hi = as_float(args[2]);
    if (std::isnan(lo) || std::isnan(hi)) return bounds_error("clamp bound is nan");
    if (lo > hi) return bounds_error("clamp lower bound is greater than upper bound");
    *result = float_val(x < lo ? lo : (x > hi ? hi : x));
    return true;
}

// ---------------------------------------------------------------------------
// gcd and lcm
// ---------------------------------------------------------------------------

// Magnitudes fit in 64 bits: the smallest int is -2^48.
uint64_t magnitude(int64_t n) { return n < 0 ? static_cast<uint64_t>(-n) : static_cast<uint64_t>(n); }

uint64_t gcd_of(uint64_t a, uint64_t b) {
    while (b != 0) {
        uint64_t t = a % b;
        a = b;
        b = t;
    }
    return a;
}

bool native_math_gcd(int, Value* args, Value* result) {
    if (!is_int(args[0]) || !is_int(args[1])) return false;
    *result = int_val(static_cast<int64_t>(gcd_of(magnitude(as_int(args[0])), magnitude(as_int(args[1])))));
    return true;
}

// Wraps like int multiplication when the multiple passes the int range.
bool native_math_lcm(int, Value* args, Value* result) {
    if (!is_int(args[0]) || !is_int(args[1])) return false;
    uint64_t a = magnitude(as_int(args[0]));
    uint64_t b = magnitude(as_int(args[1]));
    uint64_t g = gcd_of(a, b);
    *result = int_val(g == 0 ? 0 : static_cast<int64_t>((a / g) * b));
    return true;
}

constexpr StaticType F = STD_FLOAT;
constexpr StaticType I = STD_INT;

constexpr std::array<StdFunction, 34> math_functions = {{
    {"pi", float_constant<0>, std_check_signature, 0, {}, F},
    {"e", float_constant<1>, std_check_signature, 0, {}, F},
    {"inf", float_constant<2>, std_check_signature, 0, {}, F},
    {"nan", float_constant<3>, std_check_signature, 0, {}, F},
    {"sqrt", float_unary<f_sqrt>, std_check_signature, 1, {F}, F},
    {"cbrt", float_unary<f_cbrt>, std_check_signature, 1, {F}, F},
    {"exp", float_unary<f_exp>, std_check_signature, 1, {F}, F},
    {"log", float_unary<f_log>, std_check_signature, 1, {F}, F},
    {"log2", float_unary<f_log2>, std_check_signature, 1, {F}, F},
    {"log10", float_unary<f_log10>, std_check_signature, 1, {F}, F},
    {"sin", float_unary<f_sin>, std_check_signature, 1, {F}, F},
    {"cos", float_unary<f_cos>, std_check_signature, 1, {F}, F},
    {"tan", float_unary<f_tan>, std_check_signature, 1, {F}, F},
    {"asin", float_unary<f_asin>, std_check_signature, 1, {F}, F},
    {"acos", float_unary<f_acos>, std_check_signature, 1, {F}, F},
    {"atan", float_unary<f_atan>, std_check_signature, 1, {F}, F},
    {"atan2", float_binary<f_atan2>, std_check_signature, 2, {F, F}, F},
    {"hypot", float_binary<f_hypot>, std_check_signature, 2, {F, F}, F},
    {"pow", float_binary<f_pow>, std_check_signature, 2, {F, F}, F},
    {"floor", float_unary<f_floor>, std_check_signature, 1, {F}, F},
    {"ceil", float_unary<f_ceil>, std_check_signature, 1, {F}, F},
    {"round", float_unary<f_round>, std_check_signature, 1, {F}, F},
    {"trunc", float_unary<f_trunc>, std_check_signature, 1, {F}, F},
    {"floor_int", native_math_floor_int, std_check_signature, 1, {F}, I},
    {"ceil_int", native_math_ceil_int, std_check_signature, 1, {F}, I},
    {"round_int", native_math_round_int, std_check_signature, 1, {F}, I},
    {"abs", native_math_abs, check_same_number, 1, {}, I},
    {"min", native_math_min, check_same_number, 2, {}, I},
    {"max", native_math_max, check_same_number, 2, {}, I},
    {"clamp", native_math_clamp, check_same_number, 3, {}, I},
    {"is_nan", native_math_is_nan, std_check_signature, 1, {F}, STD_BOOL},
    {"is_inf", native_math_is_inf, std_check_signature, 1, {F}, STD_BOOL},
    {"gcd", native_math_gcd, std_check_signature, 2, {I, I}, I},
    {"lcm", native_math_lcm, std_check_signature, 2, {I, I}, I},
}};

}  // namespace

const StdModule std_math_module = std_module_of("math", math_functions);
