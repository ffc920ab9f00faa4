// Growth of a chunk's code, line and constant arrays, and the opcode name and
// operand-length tables built from the one opcode list in chunk.h.
#include "runtime/chunk.h"

#include <array>
#include <cstdint>

#include "runtime/memory.h"

namespace {

constexpr std::array<const char*, OPCODE_COUNT> OPCODE_NAMES = {
#define VESSRIN_OP_NAME(name, operands) #name,
    VESSRIN_OPCODES(VESSRIN_OP_NAME)
#undef VESSRIN_OP_NAME
};

constexpr std::array<int, OPCODE_COUNT> OPCODE_OPERANDS = {
#define VESSRIN_OP_OPERANDS(name, operands) operands,
    VESSRIN_OPCODES(VESSRIN_OP_OPERANDS)
#undef VESSRIN_OP_OPERANDS
};

// Code, lines and constants all start with room for this many entries.
constexpr int32_t CHUNK_MIN_CAPACITY = 8;

// Doubling a capacity beyond this would overflow its 32-bit count; no chunk
// the compiler can address gets near it, so reaching it is treated as
// exhaustion of memory.
constexpr int32_t CHUNK_MAX_CAPACITY = INT32_MAX / 2;

int32_t grown_capacity(int32_t capacity) {
    if (capacity < CHUNK_MIN_CAPACITY) return CHUNK_MIN_CAPACITY;
    if (capacity > CHUNK_MAX_CAPACITY) mem_out_of_memory();
    return capacity * 2;
}

}  // namespace

static_assert(OPCODE_NAMES[OP_CONSTANT][0] == 'O');
static_assert(OPCODE_OPERANDS[OP_STRUCT] == 2 && OPCODE_OPERANDS[OP_CLOSURE] == -1);

const char* opcode_name(int op) {
    if (op < 0 || op >= OPCODE_COUNT) return "?";
    return OPCODE_NAMES[static_cast<size_t>(op)];
}

int opcode_operand_bytes(int op) {
    if (op < 0 || op >= OPCODE_COUNT) return 0;
    return OPCODE_OPERANDS[static_cast<size_t>(op)];
}

void chunk_init(Chunk* chunk) {
    chunk->count = 0;
    chunk->capacity = 0;
    chunk->code = nullptr;
    chunk->lines = nullptr;
    chunk->constant_count = 0;
    chunk->constant_capacity = 0;
    chunk->constants = nullptr;
}

void chunk_free(Chunk* chunk) {
    // The constants themselves belong to the collector; only the arrays go.
    mem_free(chunk->code);
    mem_free(chunk->lines);
    mem_free(chunk->constants);
    chunk_init(chunk);
}

void chunk_write(Chunk* chunk, uint8_t byte, int line) {
    if (chunk->count >= chunk->capacity) {
        int32_t capacity = grown_capacity(chunk->capacity);
        chunk->code = static_cast<uint8_t*>(mem_realloc(chunk->code, static_cast<size_t>(capacity)));
        chunk->lines = static_cast<int32_t*>(
            mem_realloc(chunk->lines, static_cast<size_t>(capacity) * sizeof(int32_t)));
        chunk->capacity = capacity;
    }
    chunk->code[chunk->count] = byte;
    chunk->lines[chunk->count] = line;
    chunk->count++;
}

int chunk_add_constant(Chunk* chunk, Value value) {
    if (chunk->constant_count >= chunk->constant_capacity) {
        int32_t capacity = grown_capacity(chunk->constant_capacity);
        chunk->constants = static_cast<Value*>(
            mem_realloc(chunk->constants, static_cast<size_t>(capacity) * sizeof(Value)));
        chunk->constant_capacity = capacity;
    }
    chunk->constants[chunk->constant_count] = value;
    return chunk->constant_count++;
}
