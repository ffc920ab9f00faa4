// The six global natives (print, println and the conversions to_string, to_int,
// to_float, to_bool): their registration in the function table, their
// compile-time signature checks and their run-time behaviour.
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "compiler/compiler_internal.h"
#include "vm/vm.h"

// ---------------------------------------------------------------------------
// Registration
// ---------------------------------------------------------------------------

void register_builtin_native(const char* name, NativeFn function, SigCheckFn checker) {
    ObjNative* native = new_native(function, 1);
    // Registered first, so the native is a root while its name is allocated.
    vm_register_native(native);
    native->name = copy_string(name, static_cast<int>(std::strlen(name)));
    if (function_count >= FUNCTIONS_MAX) return;
    FunctionEntry& entry = function_table[function_count++];
    entry = FunctionEntry{};
    entry.name = name;
    entry.name_len = static_cast<uint32_t>(std::strlen(name));
    entry.callee = &native->obj;
    entry.param_count = 1;
    entry.has_return = 1;
    entry.return_type = st_none();
    entry.checker = checker;
    entry.module_idx = -1;
    entry.exported = 0;
}

// ---------------------------------------------------------------------------
// Signature checks
// ---------------------------------------------------------------------------

static SigCheckResult sig_ok(const StaticType& result) {
    SigCheckResult r{};
    r.ok = true;
    r.result_type = result;
    return r;
}

static SigCheckResult sig_fail(const char* format, const char* a, const char* b = "") {
    SigCheckResult r{};
    r.ok = false;
    r.result_type = st_none();
    std::snprintf(r.message, sizeof r.message, format, a, b);
    return r;
}

SigCheckResult sig_check_arity(const char* name, int expected, int actual) {
    if (expected == actual) return sig_ok(st_none());
    SigCheckResult r{};
    r.ok = false;
    r.result_type = st_none();
    std::snprintf(r.message, sizeof r.message, "function '%s' expects %d arguments, got %d", name, expected, actual);
    return r;
}

static bool is_plain(const StaticType& t, uint32_t base) { return t.kind == TYPE_BASE && !t.nullable && t.base == base; }

static StaticType result_of(uint32_t base) { return st_of_kind(TYPE_RESULT, base, -1); }

SigCheckResult sig_check_print(const FunctionEntry* entry, int arg_count, const StaticType* args) {
    SigCheckResult arity = sig_check_arity(entry->name, static_cast<int>(entry->param_count), arg_count);
    if (!arity.ok) return arity;
    // A call without a result leaves nothing on the stack for print to take.
    if (st_is_none(args[0])) return sig_fail("argument 1 of '%s' has no value", entry->name);
    return sig_ok(st_none());
}

SigCheckResult sig_check_to_string(const FunctionEntry* entry, int arg_count, const StaticType* args) {
    SigCheckResult arity = sig_check_arity(entry->name, static_cast<int>(entry->param_count), arg_count);
    if (!arity.ok) return arity;
    const StaticType& t = args[0];
    if (is_plain(t, BASE_INT) || is_plain(t, BASE_FLOAT) || is_plain(t, BASE_BOOL)) return sig_ok(st_base(BASE_STRING));
    return sig_fail("argument 1 of 'to_string' expects int/float/bool, got %s", static_type_name(t));
}

SigCheckResult sig_check_to_int(const FunctionEntry* entry, int arg_count, const StaticType* args) {
    SigCheckResult arity = sig_check_arity(entry->name, static_cast<int>(entry->param_count), arg_count);
    if (!arity.ok) return arity;
    const StaticType& t = args[0];
    if (is_plain(t, BASE_FLOAT)) return sig_ok(st_int());
    if (is_plain(t, BASE_STRING)) return sig_ok(result_of(BASE_INT));
    return sig_fail("argument 1 of 'to_int' expects float or string, got %s", static_type_name(t));
}

SigCheckResult sig_check_to_float(const FunctionEntry* entry, int arg_count, const StaticType* args) {
    SigCheckResult arity = sig_check_arity(entry->name, static_cast<int>(entry->param_count), arg_count);
    if (!arity.ok) return arity;
    const StaticType& t = args[0];
    if (is_plain(t, BASE_INT)) return sig_ok(st_base(BASE_FLOAT));
    if (is_plain(t, BASE_STRING)) return sig_ok(result_of(BASE_FLOAT));
    return sig_fail("argument 1 of 'to_float' expects int or string, got %s", static_type_name(t));
}

SigCheckResult sig_check_to_bool(const FunctionEntry* entry, int arg_count, const StaticType* args) {
    SigCheckResult arity = sig_check_arity(entry->name, static_cast<int>(entry->param_count), arg_count);
    if (!arity.ok) return arity;
    if (is_plain(args[0], BASE_STRING)) return sig_ok(result_of(BASE_BOOL));
    return sig_fail("argument 1 of 'to_bool' expects string, got %s", static_type_name(args[0]));
}

// ---------------------------------------------------------------------------
// Run time
// ---------------------------------------------------------------------------

bool native_print(int, Value* args, Value*) {
    value_print(args[0]);
    return true;
}

bool native_println(int, Value* args, Value*) {
    value_print(args[0]);
    std::fputc('\n', stdout);
    return true;
}

// Float text as the printer writes it: "%g", with ".0" when it would
// otherwise read as an int.
static int format_float(double d, char* out, size_t cap) {
    int n = std::snprintf(out, cap, "%g", d);
    if (n < 0) return 0;
    if (std::strpbrk(out, ".eEin") == nullptr && static_cast<size_t>(n) + 2 < cap) {
        out[n++] = '.';
        out[n++] = '0';
        out[n] = '\0';
    }
    return n;
}

bool native_to_string(int, Value* args, Value* result) {
    // Large enough for any int, any "%g" text and the ".0" suffix.
    char buf[64];
    int n;
    Value v = args[0];
    if (is_int(v)) {
        n = format_int(as_int(v), buf);
    } else if (is_bool(v)) {
        n = std::snprintf(buf, sizeof buf, "%s", as_bool(v) ? "true" : "false");
    } else if (is_float(v)) {
        n = format_float(as_float(v), buf, sizeof buf);
    } else {
        return false;
    }
    *result = obj_val(copy_string(buf, n));
    return true;
}

// The err Result of a failed conversion. The message holds at most 159 bytes,
// cut before a partial UTF-8 character; the argument is copied by its length,
// so a NUL inside it does not end the text.
static bool conversion_error(const ObjString* text, const char* target, Value* result) {
    static constexpr size_t CONVERSION_MESSAGE_MAX = 159;  // the message buffer holds 160 bytes, NUL included
    static const char prefix[] = "cannot parse '";
    constexpr size_t prefix_len = sizeof prefix - 1;
    char suffix[16];
    size_t suffix_len = static_cast<size_t>(std::snprintf(suffix, sizeof suffix, "' as %s", target));
    size_t text_len = static_cast<size_t>(text->length);
    // Byte i of the whole message, were it not cut.
    auto byte_at = [&](size_t i) -> unsigned char {
        if (i < prefix_len) return static_cast<unsigned char>(prefix[i]);
        i -= prefix_len;
        if (i < text_len) return static_cast<unsigned char>(text->chars[i]);
        return static_cast<unsigned char>(suffix[i - text_len]);
    };
    size_t full = prefix_len + text_len + suffix_len;
    size_t len = full;
    if (len > CONVERSION_MESSAGE_MAX) {
        len = CONVERSION_MESSAGE_MAX;
        // A continuation byte right after the cut means a character was split.
        while (len > 0 && (byte_at(len) & 0xC0) == 0x80) len--;
    }
    char message[CONVERSION_MESSAGE_MAX + 1];
    for (size_t i = 0; i < len; i++) message[i] = static_cast<char>(byte_at(i));
    *result = obj_val(new_result_err_chars(message, static_cast<int>(len)));
    return true;
}

static bool parse_int_text(const ObjString* s, int64_t* out) {
    int32_t n = s->length;
    const char* c = s->chars;
    if (n == 0) return false;
    int32_t i = 0;
    bool negative = false;
    if (c[0] == '-' || c[0] == '+') {
        negative = c[0] == '-';
        i = 1;
        if (n == 1) return false;
    }
    int64_t acc = 0;
    for (; i < n; i++) {
        if (c[i] < '0' || c[i] > '9') return false;
        int64_t d = c[i] - '0';
        if ((INT64_MAX - d) / 10 < acc) return false;
        acc = acc * 10 + d;
    }
    *out = negative ? -acc : acc;
    return true;
}

bool native_to_int(int, Value* args, Value* result) {
    Value v = args[0];
    if (is_float(v)) {
        double d = as_float(v);
        int64_t n = 0;
        // NaN and values whose truncation leaves the 64-bit range give 0.
        if (d == d && d >= -9223372036854775808.0 && d < 9223372036854775808.0) n = static_cast<int64_t>(d);
        *result = int_val(n);
        return true;
    }
    if (!is_string(v)) return false;
    const ObjString* s = as_string(v);
    int64_t n;
    if (!parse_int_text(s, &n)) return conversion_error(s, "int", result);
    *result = obj_val(new_result_ok(int_val(n)));
    return true;
}

static bool is_leading_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool native_to_float(int, Value* args, Value* result) {
    Value v = args[0];
    if (is_int(v)) {
        *result = float_val(static_cast<double>(as_int(v)));
        return true;
    }
    if (!is_string(v)) return false;
    const ObjString* s = as_string(v);
    if (s->length == 0 || is_leading_space(s->chars[0])) return conversion_error(s, "float", result);
    errno = 0;
    char* end = nullptr;
    double d = std::strtod(s->chars, &end);
    // The whole text must be the number; a NUL inside it stops the conversion early.
    if (end != s->chars + s->length || errno == ERANGE) return conversion_error(s, "float", result);
    *result = obj_val(new_result_ok(float_val(d)));
    return true;
}

bool native_to_bool(int, Value* args, Value* result) {
    Value v = args[0];
    if (!is_string(v)) return false;
    const ObjString* s = as_string(v);
    if (s->length == 4 && std::memcmp(s->chars, "true", 4) == 0) {
        *result = obj_val(new_result_ok(VALUE_TRUE));
        return true;
    }
    if (s->length == 5 && std::memcmp(s->chars, "false", 5) == 0) {
        *result = obj_val(new_result_ok(VALUE_FALSE));
        return true;
    }
    return conversion_error(s, "bool", result);
}

void register_all_builtins() {
    register_builtin_native("to_string", native_to_string, sig_check_to_string);
    register_builtin_native("to_int", native_to_int, sig_check_to_int);
    register_builtin_native("to_float", native_to_float, sig_check_to_float);
    register_builtin_native("to_bool", native_to_bool, sig_check_to_bool);
    register_builtin_native("print", native_print, sig_check_print);
    register_builtin_native("println", native_println, sig_check_print);
}
