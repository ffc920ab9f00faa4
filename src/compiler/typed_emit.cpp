// Emission of binary arithmetic, bitwise and comparison instructions: the typed
// form that the static types allow, fused with the loads of its operands when
// those loads are the last instructions emitted; of returns, fused with the
// read of a local in the same way; and of struct copies, left out where the
// value is a literal just built.
#include "compiler/compiler_internal.h"

namespace {

// The typed stack form of a generic instruction on operands of base type
// `base`, or 0 when the machine must inspect the operands (strings, float
// modulo and power, equality of anything but ints).
uint8_t typed_opcode(uint8_t generic, uint32_t base) {
    if (base == BASE_INT) {
        switch (generic) {
            case OP_ADD: return OP_ADD_INT;
            case OP_SUBTRACT: return OP_SUBTRACT_INT;
            case OP_MULTIPLY: return OP_MULTIPLY_INT;
            case OP_DIVIDE: return OP_DIVIDE_INT;
            case OP_MODULO: return OP_MODULO_INT;
            case OP_BIT_AND: return OP_BIT_AND_INT;
            case OP_BIT_OR: return OP_BIT_OR_INT;
            case OP_BIT_XOR: return OP_BIT_XOR_INT;
            case OP_SHIFT_LEFT: return OP_SHIFT_LEFT_INT;
            case OP_SHIFT_RIGHT: return OP_SHIFT_RIGHT_INT;
            case OP_EQUAL: return OP_EQUAL_INT;
            case OP_LESS: return OP_LESS_INT;
            case OP_GREATER: return OP_GREATER_INT;
            default: return 0;
        }
    }
    if (base == BASE_FLOAT) {
        switch (generic) {
            case OP_ADD: return OP_ADD_FLOAT;
            case OP_SUBTRACT: return OP_SUBTRACT_FLOAT;
            case OP_MULTIPLY: return OP_MULTIPLY_FLOAT;
            case OP_DIVIDE: return OP_DIVIDE_FLOAT;
            case OP_LESS: return OP_LESS_FLOAT;
            case OP_GREATER: return OP_GREATER_FLOAT;
            default: return 0;
        }
    }
    return 0;
}

bool is_load(uint8_t op) { return op == OP_GET_LOCAL || op == OP_CONSTANT; }

bool is_commutative(uint8_t typed) {
    switch (typed) {
        case OP_ADD_INT:
        case OP_MULTIPLY_INT:
        case OP_BIT_AND_INT:
        case OP_BIT_OR_INT:
        case OP_BIT_XOR_INT:
        case OP_EQUAL_INT:
        case OP_ADD_FLOAT:
        case OP_MULTIPLY_FLOAT: return true;
        default: return false;
    }
}

// The opcode of the load that ends the code and that no jump lands after, or
// -1 when there is none; the load starts at end - 2.
int last_load(const Chunk* chunk, const Compiler* c) {
    int end = chunk->count;
    if (c->load_end[0] != end || end < 2 || c->jump_target > end - 2) return -1;
    uint8_t op = chunk->code[end - 2];
    return is_load(op) ? op : -1;
}

}  // namespace

void emit_return() {
    Chunk* chunk = current_chunk();
    if (last_load(chunk, current) == OP_GET_LOCAL) {
        emit_byte(OP_RETURN);  // for its line
        int end = chunk->count - 1;
        int line = chunk->lines[end];
        uint8_t slot = chunk->code[end - 1];
        chunk->count = end - 2;
        chunk_write(chunk, OP_RETURN_LOCAL, line);
        chunk_write(chunk, slot, line);
        current->load_end[0] = 0;
        current->load_end[1] = 0;
        return;
    }
    emit_byte(OP_RETURN);
}

void emit_index_get() {
    Chunk* chunk = current_chunk();
    int end = chunk->count;
    bool both_locals = last_load(chunk, current) == OP_GET_LOCAL && end >= 4 && current->load_end[1] == end - 2 &&
                       chunk->code[end - 4] == OP_GET_LOCAL && current->jump_target <= end - 4;
    emit_byte(OP_INDEX_GET);  // for its line
    if (!both_locals) return;
    int line = chunk->lines[end];
    uint8_t collection = chunk->code[end - 3];
    uint8_t index = chunk->code[end - 1];
    chunk->count = end - 4;
    chunk_write(chunk, OP_INDEX_GET_LL, line);
    chunk_write(chunk, collection, line);
    chunk_write(chunk, index, line);
    current->load_end[0] = 0;
    current->load_end[1] = 0;
}

void emit_copy_struct() {
    // No jump may land here: another path could bring a shared value.
    int end = current_chunk()->count;
    if (current->set_field_end == end && current->jump_target < end) return;
    emit_byte(OP_COPY_STRUCT);
}

void emit_binary_op(uint8_t generic, uint32_t base) {
    uint8_t typed = typed_opcode(generic, base);
    if (typed == 0) {
        emit_byte(generic);
        return;
    }
    Chunk* chunk = current_chunk();
    Compiler* c = current;
    int end = chunk->count;
    // The right operand is a load that ends the code, and no jump lands on
    // the instruction about to be emitted (a short-circuit's exit would).
    if (last_load(chunk, c) < 0) {
        emit_byte(typed);
        return;
    }
    emit_byte(typed);  // for its line: the same as the unfused instruction's
    int line = chunk->lines[end];
    uint8_t right_op = chunk->code[end - 2];
    uint8_t right = chunk->code[end - 1];
    bool left_load = c->load_end[1] == end - 2 && end >= 4 && is_load(chunk->code[end - 4]) &&
                     c->jump_target <= end - 4;
    bool left_local = left_load && chunk->code[end - 4] == OP_GET_LOCAL;
    // A constant times or plus a local is the local times or plus the
    // constant: the same bits, as IEEE + and * commute (and NaN is one word).
    if (left_load && !left_local && right_op == OP_GET_LOCAL && is_commutative(typed)) {
        uint8_t constant = chunk->code[end - 3];
        chunk->count = end - 4;
        chunk_write(chunk, static_cast<uint8_t>(typed + FORM_LK), line);
        chunk_write(chunk, right, line);
        chunk_write(chunk, constant, line);
        c->load_end[0] = 0;
        c->load_end[1] = 0;
        return;
    }
    // Every byte of the fused instruction takes the operator's line, so an
    // error it raises (read at its last byte) names the operator's line.
    if (left_local) {
        uint8_t left = chunk->code[end - 3];
        chunk->count = end - 4;
        chunk_write(chunk, static_cast<uint8_t>(typed + (right_op == OP_GET_LOCAL ? FORM_LL : FORM_LK)), line);
        chunk_write(chunk, left, line);
        chunk_write(chunk, right, line);
    } else {
        chunk->count = end - 2;
        chunk_write(chunk, static_cast<uint8_t>(typed + (right_op == OP_GET_LOCAL ? FORM_L : FORM_K)), line);
        chunk_write(chunk, right, line);
    }
    c->load_end[0] = 0;
    c->load_end[1] = 0;
}
