// The NaN-boxed Value word: encodings, predicates and converters, plus the three
// operations every subsystem needs on values (type name, printing, equality).
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>

using Value = uint64_t;

struct Obj;

// Words whose bits 62..50 are all set are tagged; every other word is a double.
inline constexpr uint64_t VALUE_TAG_MASK = 0x7ffc000000000000ULL;
inline constexpr Value VALUE_NULL = 0x7ffc000000000001ULL;
inline constexpr Value VALUE_FALSE = 0x7ffc000000000002ULL;
inline constexpr Value VALUE_TRUE = 0x7ffc000000000003ULL;
inline constexpr uint64_t VALUE_INT_TAG = 0x7ffe000000000000ULL;
inline constexpr uint64_t VALUE_INT_TEST_MASK = 0xfffe000000000000ULL;
inline constexpr uint64_t VALUE_INT_PAYLOAD = 0x1ffffffffffffULL;
inline constexpr uint64_t VALUE_INT_SIGN = 0x1000000000000ULL;
inline constexpr uint64_t VALUE_OBJ_TAG = 0xfffc000000000000ULL;
inline constexpr uint64_t VALUE_OBJ_ADDRESS = 0xffffffffffffULL;
inline constexpr uint64_t VALUE_CANONICAL_NAN = 0x7ff8000000000000ULL;

// 49-bit two's-complement ints: -2^48 .. 2^48 - 1.
inline constexpr int64_t VALUE_INT_MIN = -281474976710656LL;
inline constexpr int64_t VALUE_INT_MAX = 281474976710655LL;

inline constexpr bool is_null(Value v) { return v == VALUE_NULL; }
inline constexpr bool is_bool(Value v) { return v - VALUE_FALSE <= 1; }
inline constexpr bool is_int(Value v) { return (v & VALUE_INT_TEST_MASK) == VALUE_INT_TAG; }
inline constexpr bool is_obj(Value v) { return (v & VALUE_OBJ_TAG) == VALUE_OBJ_TAG; }
inline constexpr bool is_float(Value v) { return (v & VALUE_TAG_MASK) != VALUE_TAG_MASK; }

inline constexpr Value bool_val(bool b) { return VALUE_FALSE + (b ? 1 : 0); }
inline constexpr bool as_bool(Value v) { return v == VALUE_TRUE; }

// Only the low 49 bits survive, so out-of-range results wrap into range.
inline constexpr Value int_val(int64_t n) {
    return (static_cast<uint64_t>(n) & VALUE_INT_PAYLOAD) | VALUE_INT_TAG;
}
inline constexpr int64_t as_int(Value v) {
    return static_cast<int64_t>((v & VALUE_INT_SIGN) ? (v | VALUE_INT_TEST_MASK) : (v & VALUE_INT_PAYLOAD));
}

inline Value obj_val(const void* o) {
    return VALUE_OBJ_TAG | (static_cast<uint64_t>(reinterpret_cast<uintptr_t>(o)) & VALUE_OBJ_ADDRESS);
}
inline Obj* as_obj(Value v) { return reinterpret_cast<Obj*>(static_cast<uintptr_t>(v & VALUE_OBJ_ADDRESS)); }

// Every NaN becomes the one quiet NaN, so no float lands in the tagged space.
inline Value float_val(double d) {
    if (d != d) return VALUE_CANONICAL_NAN;
    Value v;
    std::memcpy(&v, &d, sizeof v);
    return v;
}
inline double as_float(Value v) {
    double d;
    std::memcpy(&d, &v, sizeof d);
    return d;
}

const char* value_type_name(Value v);
// Room for the decimal text of any int64_t: 19 digits, a sign, and the NUL.
inline constexpr int INT_TEXT_MAX = 21;
// Writes n in decimal, as "%lld" would, and a NUL; returns the length.
int format_int(int64_t n, char out[INT_TEXT_MAX]);
// Writes the value's printed form, with no newline, to standard output or to
// the stream given (standard error for eprint).
void value_print(Value v, std::FILE* out = stdout);
bool values_equal(Value a, Value b);
