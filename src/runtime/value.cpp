// The three operations every subsystem needs on a Value: the kind name used in
// messages, the printed form, and the language's equality.
#include "runtime/value.h"

#include <cstdio>
#include <cstring>

#include "runtime/object.h"

const char* value_type_name(Value v) {
    if (is_null(v)) return "null";
    if (is_bool(v)) return "bool";
    if (is_int(v)) return "int";
    if (is_float(v)) return "float";
    if (!is_obj(v)) return "object";
    switch (as_obj(v)->kind) {
        case OBJ_STRING: return "string";
        case OBJ_FUNCTION:
        case OBJ_CLOSURE: return "function";
        case OBJ_RESULT: return "Result";
        case OBJ_NATIVE: return "native function";
        case OBJ_ARRAY: return "array";
        case OBJ_MAP: return "map";
        case OBJ_STRUCT: return "struct";
        case OBJ_UPVALUE: return "upvalue";
        default: return "object";
    }
}

int format_int(int64_t n, char out[INT_TEXT_MAX]) {
    // Digits are produced backwards from the unsigned magnitude, which also
    // holds the magnitude of INT64_MIN.
    char digits[INT_TEXT_MAX];
    int count = 0;
    uint64_t magnitude = n < 0 ? 0 - static_cast<uint64_t>(n) : static_cast<uint64_t>(n);
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    int length = 0;
    if (n < 0) out[length++] = '-';
    while (count > 0) out[length++] = digits[--count];
    out[length] = '\0';
    return length;
}

// Room for the longest "%g" text of a double ("-2.22507e-308" and the like).
inline constexpr int FLOAT_PRINT_BUFFER = 32;

static void print_float(double d, std::FILE* out) {
    char text[FLOAT_PRINT_BUFFER];
    std::snprintf(text, sizeof text, "%g", d);
    // "%g" drops the fraction of whole numbers; ".0" keeps them readable as
    // floats. Exponents, inf and nan already say what they are.
    if (std::strpbrk(text, ".eEin") != nullptr) {
        std::fputs(text, out);
    } else {
        std::fprintf(out, "%s.0", text);
    }
}

void value_print(Value v, std::FILE* out) {
    if (is_null(v)) {
        std::fputs("null", out);
    } else if (is_bool(v)) {
        std::fputs(as_bool(v) ? "true" : "false", out);
    } else if (is_int(v)) {
        char text[INT_TEXT_MAX];
        std::fwrite(text, 1, static_cast<size_t>(format_int(as_int(v), text)), out);
    } else if (is_obj(v)) {
        object_print(v, out);
    } else if (is_float(v)) {
        print_float(as_float(v), out);
    }
    // Any other tagged word (an unset global) has no printed form.
}

bool values_equal(Value a, Value b) {
    if (is_null(a)) return is_null(b);
    if (is_null(b)) return false;
    if (is_bool(a)) return is_bool(b) && a == b;
    if (is_int(a)) return is_int(b) && a == b;  // one encoding per int, so words compare
    if (is_obj(a)) {
        if (!is_obj(b)) return false;
        Obj* x = as_obj(a);
        Obj* y = as_obj(b);
        if (x->kind != y->kind || x->kind > OBJ_UPVALUE) return false;
        if (x->kind == OBJ_STRING) {
            // Strings are not interned, so equality compares bytes.
            const ObjString* s = reinterpret_cast<const ObjString*>(x);
            const ObjString* t = reinterpret_cast<const ObjString*>(y);
            return s->length == t->length && std::memcmp(s->chars, t->chars, static_cast<size_t>(s->length)) == 0;
        }
        return x == y;
    }
    if (is_float(a)) {
        if (!is_float(b)) return false;  // an int 1 never equals a float 1.0
        return as_float(a) == as_float(b);  // IEEE: NaN equals nothing, 0.0 equals -0.0
    }
    return false;
}
