// Static types of the compiler: the type descriptor, the compile-time type
// stack, the table of function signatures, printable type names, the
// assignability relation and the parser of type annotations.
#pragma once

#include <cstdint>

enum TypeKind : uint32_t {
    TYPE_BASE = 0,
    TYPE_RESULT = 1,
    TYPE_RESULT_ANY = 2,  // err(...) alone: the ok type is still open
    TYPE_ARRAY = 3,
    TYPE_ARRAY_ANY = 4,   // empty array literal
    TYPE_MAP = 5,
    TYPE_MAP_ANY = 6,     // empty map literal
    TYPE_STRUCT = 7,
    TYPE_FUNC = 8,
};

enum BaseType : uint32_t {
    BASE_NONE = 0,  // no value: the call of a function without a result
    BASE_NULL = 1,
    BASE_INT = 2,
    BASE_FLOAT = 3,
    BASE_BOOL = 4,
    BASE_STRING = 5,
    BASE_FUNC = 6,  // element type of an array of functions
};

// A plain value record, copied freely. Which fields matter depends on kind:
// base is the type itself, the ok type, the element type or the key type;
// index is a struct, error struct or signature index (-1 when none).
struct StaticType {
    uint32_t kind;
    uint32_t base;
    uint8_t nullable;
    uint32_t result_state;  // Results only: 0 unknown, 1 known ok, 2 known err
    uint32_t value_base;    // maps only
    uint8_t value_nullable; // maps only
    int32_t index;
};

// A Result's error type is still open (the type of ok(x)).
inline constexpr int32_t RESULT_ERROR_OPEN = -2;

inline constexpr StaticType st_base(uint32_t base, bool nullable = false) {
    return StaticType{TYPE_BASE, base, static_cast<uint8_t>(nullable ? 1 : 0), 0, 0, 0, -1};
}
inline constexpr StaticType st_none() { return st_base(BASE_NONE); }
inline constexpr StaticType st_int() { return st_base(BASE_INT); }
inline constexpr StaticType st_bool() { return st_base(BASE_BOOL); }
inline constexpr StaticType st_of_kind(uint32_t kind, uint32_t base, int32_t index) {
    return StaticType{kind, base, 0, 0, 0, 0, index};
}

inline constexpr bool st_is_base(const StaticType& t, uint32_t base) {
    return t.kind == TYPE_BASE && t.base == base;
}
inline constexpr bool st_is_none(const StaticType& t) { return st_is_base(t, BASE_NONE); }
// Exactly bool: not nullable.
inline constexpr bool st_is_plain_bool(const StaticType& t) { return st_is_base(t, BASE_BOOL) && !t.nullable; }

// Signatures of function types.
inline constexpr int FUNC_MAX_PARAMS = 16;   // parameters of a function, method, lambda or function type
inline constexpr int FUNC_SIG_MAX = 256;     // distinct signatures of one compilation

struct FuncSig {
    uint32_t param_count;
    StaticType params[FUNC_MAX_PARAMS];
    uint8_t has_return;
    StaticType return_type;
};

extern FuncSig func_sig_table[FUNC_SIG_MAX];
extern int func_sig_count;

// Returns the index of a row identical to sig, appending one when none exists;
// with the table full it reports "Too many function signatures." and returns -1.
int func_sig_add(const FuncSig& sig);
// TYPE_FUNC of sig's row, or the never-assignable TYPE_STRUCT -1 when the table is full.
StaticType func_type_of(const FuncSig& sig);

// One entry per value an expression leaves on the run-time stack.
inline constexpr int TYPE_STACK_MAX = 256;
extern StaticType type_stack[TYPE_STACK_MAX];
extern int type_stack_top;

// A push that would pass the capacity reports "Nesting too deep.".
void push_type(const StaticType& type);
// An empty stack gives int, which keeps checking going after an earlier error.
StaticType pop_type();

bool st_assignable(const StaticType& to, const StaticType& from);
// Both ways assignable: the same type as far as any check can tell.
bool st_same(const StaticType& a, const StaticType& b);

// Names live in rotating buffers, so up to four may appear in one message.
inline constexpr int TYPE_NAME_BUFFERS = 4;
inline constexpr int TYPE_NAME_MAX = 128;   // bytes per name, NUL included
inline constexpr int STRUCT_NAME_SHOWN = 31; // struct names are cut to this many characters
const char* static_type_name(const StaticType& type);

// Type annotations, read at the parser's current token.
StaticType parse_type();
void skip_type_token();
bool is_type_start_now();
bool is_func_type_decl_start();
