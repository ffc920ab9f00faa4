// The bytecode container of one function: code bytes, a parallel line table and
// the constant pool. The opcode list lives here as one X-macro so that the enum,
// the dispatch table and the disassembler cannot drift apart.
#pragma once

#include <cstdint>

#include "runtime/value.h"

// X(name, operand bytes after the opcode; -1 means variable (OP_CLOSURE))
#define VESSRIN_OPCODES(X) VESSRIN_GENERIC_OPCODES(X) VESSRIN_FUSED_OPCODES(X) VESSRIN_TYPED_OPCODES(X)

// The instructions whose operands the machine inspects at run time.
#define VESSRIN_GENERIC_OPCODES(X)  \
    X(OP_CONSTANT, 1)           \
    X(OP_NULL, 0)               \
    X(OP_OK, 0)                 \
    X(OP_ERR, 0)                \
    X(OP_IS_OK, 0)              \
    X(OP_IS_ERR, 0)             \
    X(OP_RESULT_VALUE, 0)       \
    X(OP_RESULT_ERROR, 0)       \
    X(OP_ADD, 0)                \
    X(OP_SUBTRACT, 0)           \
    X(OP_MULTIPLY, 0)           \
    X(OP_DIVIDE, 0)             \
    X(OP_NEGATE, 0)             \
    X(OP_MODULO, 0)             \
    X(OP_POWER, 0)              \
    X(OP_BIT_AND, 0)            \
    X(OP_BIT_OR, 0)             \
    X(OP_BIT_XOR, 0)            \
    X(OP_BIT_NOT, 0)            \
    X(OP_SHIFT_LEFT, 0)         \
    X(OP_SHIFT_RIGHT, 0)        \
    X(OP_EQUAL, 0)              \
    X(OP_GREATER, 0)            \
    X(OP_LESS, 0)               \
    X(OP_NOT, 0)                \
    X(OP_POP, 0)                \
    X(OP_GET_GLOBAL, 1)         \
    X(OP_SET_GLOBAL, 1)         \
    X(OP_GET_LOCAL, 1)          \
    X(OP_SET_LOCAL, 1)          \
    X(OP_JUMP, 2)               \
    X(OP_JUMP_IF_FALSE, 2)      \
    X(OP_LOOP, 2)               \
    X(OP_CALL, 1)               \
    X(OP_RETURN_NO_VALUE, 0)    \
    X(OP_RETURN, 0)             \
    X(OP_MISSING_RETURN, 0)     \
    X(OP_CLOSURE, -1)           \
    X(OP_GET_UPVALUE, 1)        \
    X(OP_SET_UPVALUE, 1)        \
    X(OP_CLOSE_UPVALUE, 0)      \
    X(OP_ARRAY, 1)              \
    X(OP_INDEX_GET, 0)          \
    X(OP_INDEX_SET, 0)          \
    X(OP_MAP, 1)                \
    X(OP_SWAP, 0)               \
    X(OP_STRUCT, 2)             \
    X(OP_GET_FIELD, 1)          \
    X(OP_SET_FIELD, 1)          \
    X(OP_COPY_STRUCT, 0)

// Common pairs done by one instruction.
#define VESSRIN_FUSED_OPCODES(X)                                        \
    X(OP_RETURN_LOCAL, 1)   /* OP_GET_LOCAL slot, OP_RETURN */            \
    X(OP_INDEX_GET_LL, 2)   /* OP_GET_LOCAL c, OP_GET_LOCAL i, OP_INDEX_GET */

// Binary operations specialised by the operand types the compiler proved, so
// they test no tags. Each comes in five forms: on the two top values; with the
// right operand a constant (_K: u8 constant index) or a local (_L: u8 slot)
// and the left one on top; with both operands locals (_LL: two u8 slots) or a
// local and a constant (_LK). A fused form does exactly what its loads followed
// by the stack form would do.
#define VESSRIN_TYPED_FORMS(X, name) X(name, 0) X(name##_K, 1) X(name##_L, 1) X(name##_LL, 2) X(name##_LK, 2)
#define VESSRIN_TYPED_OPCODES(X)              \
    VESSRIN_TYPED_FORMS(X, OP_ADD_INT)        \
    VESSRIN_TYPED_FORMS(X, OP_SUBTRACT_INT)   \
    VESSRIN_TYPED_FORMS(X, OP_MULTIPLY_INT)   \
    VESSRIN_TYPED_FORMS(X, OP_DIVIDE_INT)     \
    VESSRIN_TYPED_FORMS(X, OP_MODULO_INT)     \
    VESSRIN_TYPED_FORMS(X, OP_BIT_AND_INT)    \
    VESSRIN_TYPED_FORMS(X, OP_BIT_OR_INT)     \
    VESSRIN_TYPED_FORMS(X, OP_BIT_XOR_INT)    \
    VESSRIN_TYPED_FORMS(X, OP_SHIFT_LEFT_INT) \
    VESSRIN_TYPED_FORMS(X, OP_SHIFT_RIGHT_INT)\
    VESSRIN_TYPED_FORMS(X, OP_EQUAL_INT)      \
    VESSRIN_TYPED_FORMS(X, OP_LESS_INT)       \
    VESSRIN_TYPED_FORMS(X, OP_GREATER_INT)    \
    VESSRIN_TYPED_FORMS(X, OP_ADD_FLOAT)      \
    VESSRIN_TYPED_FORMS(X, OP_SUBTRACT_FLOAT) \
    VESSRIN_TYPED_FORMS(X, OP_MULTIPLY_FLOAT) \
    VESSRIN_TYPED_FORMS(X, OP_DIVIDE_FLOAT)   \
    VESSRIN_TYPED_FORMS(X, OP_LESS_FLOAT)     \
    VESSRIN_TYPED_FORMS(X, OP_GREATER_FLOAT)

enum OpCode : uint8_t {
#define VESSRIN_OP_ENUM(name, operands) name,
    VESSRIN_OPCODES(VESSRIN_OP_ENUM)
#undef VESSRIN_OP_ENUM
};

#define VESSRIN_OP_COUNT(name, operands) +1
inline constexpr int OPCODE_COUNT = 0 VESSRIN_OPCODES(VESSRIN_OP_COUNT);
#undef VESSRIN_OP_COUNT
static_assert(OP_COPY_STRUCT == 49, "the generic instructions keep their numbers");
static_assert(OPCODE_COUNT == 50 + 2 + 19 * 5);
static_assert(OPCODE_COUNT <= 256, "opcodes are one byte");

// The five forms of a typed instruction sit in this order after its stack form.
inline constexpr int FORM_STACK = 0, FORM_K = 1, FORM_L = 2, FORM_LL = 3, FORM_LK = 4, TYPED_FORM_COUNT = 5;
static_assert(OP_ADD_INT_K == OP_ADD_INT + FORM_K && OP_ADD_INT_LK == OP_ADD_INT + FORM_LK &&
              OP_SUBTRACT_INT == OP_ADD_INT + TYPED_FORM_COUNT);
inline bool is_typed_opcode(int op) { return op >= OP_ADD_INT && op < OPCODE_COUNT; }
inline int typed_form(int op) { return (op - OP_ADD_INT) % TYPED_FORM_COUNT; }

// Name of an opcode for disassembly and messages; "?" for a byte that is no opcode.
const char* opcode_name(int op);
// Operand bytes after the opcode, or -1 for OP_CLOSURE whose length depends on its operands.
int opcode_operand_bytes(int op);

struct Chunk {
    int32_t count;
    int32_t capacity;
    uint8_t* code;
    int32_t* lines;
    int32_t constant_count;
    int32_t constant_capacity;
    Value* constants;
};

// Instructions address constants with one byte.
inline constexpr int CHUNK_MAX_CONSTANTS = 256;
// Jump operands are 16 bits.
inline constexpr int CHUNK_MAX_JUMP = 65535;

void chunk_init(Chunk* chunk);
void chunk_free(Chunk* chunk);
void chunk_write(Chunk* chunk, uint8_t byte, int line);
int chunk_add_constant(Chunk* chunk, Value value);
