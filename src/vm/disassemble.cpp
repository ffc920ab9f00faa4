// Bytecode listing for debugging the compiler and for unit tests: one line per
// instruction on standard error, with its offset, source line and operands.
// Nothing on the command line reaches it.
#include <cstdio>

#include "vm/vm.h"

namespace {

// Constants are described on standard error, so they cannot go through
// value_print (standard output); long strings are cut to keep one line each.
constexpr int CONSTANT_TEXT_MAX = 40;

void describe_constant(Value v) {
    if (is_null(v)) {
        std::fputs("null", stderr);
    } else if (is_bool(v)) {
        std::fputs(as_bool(v) ? "true" : "false", stderr);
    } else if (is_int(v)) {
        std::fprintf(stderr, "%lld", static_cast<long long>(as_int(v)));
    } else if (is_float(v)) {
        std::fprintf(stderr, "%g", as_float(v));
    } else if (is_obj(v) && obj_kind(v) == OBJ_STRING) {
        const ObjString* s = as_string(v);
        int shown = s->length < CONSTANT_TEXT_MAX ? s->length : CONSTANT_TEXT_MAX;
        std::fprintf(stderr, "\"%.*s%s\"", shown, s->chars, shown < s->length ? "..." : "");
    } else if (is_obj(v) && obj_kind(v) == OBJ_FUNCTION) {
        const ObjFunction* f = as_function(v);
        if (f->name != nullptr) {
            std::fprintf(stderr, "<fn %s>", f->name->chars);
        } else {
            std::fputs("<fn>", stderr);
        }
    } else if (is_obj(v) && obj_kind(v) == OBJ_NATIVE) {
        const ObjNative* n = as_native(v);
        std::fprintf(stderr, "<native %s>", n->name != nullptr ? n->name->chars : "");
    } else {
        std::fprintf(stderr, "<%s>", value_type_name(v));
    }
}

// Operands that run past the end of the code are shown as truncated rather
// than read, so a half-written chunk can still be listed.
bool has_bytes(const Chunk* chunk, int offset, int count) { return offset + count <= chunk->count; }

}  // namespace

int vm_disassemble_instruction(const Chunk* chunk, int offset) {
    std::fprintf(stderr, "%04d ", offset);
    if (offset > 0 && chunk->lines[offset] == chunk->lines[offset - 1]) {
        std::fputs("   | ", stderr);
    } else {
        std::fprintf(stderr, "%4d ", chunk->lines[offset]);
    }
    const uint8_t* code = chunk->code;
    int op = code[offset];
    if (op >= OPCODE_COUNT) {
        std::fprintf(stderr, "? %d\n", op);
        return offset + 1;
    }
    int operands = opcode_operand_bytes(op);
    std::fprintf(stderr, operands == 0 ? "%s" : "%-20s", opcode_name(op));
    if (op == OP_CLOSURE) {
        if (!has_bytes(chunk, offset + 1, 2)) {
            std::fputs(" (truncated)\n", stderr);
            return chunk->count;
        }
        int index = code[offset + 1];
        int captures = code[offset + 2];
        std::fprintf(stderr, " %3d ", index);
        if (index < chunk->constant_count) describe_constant(chunk->constants[index]);
        std::fprintf(stderr, " captures %d\n", captures);
        int next = offset + 3;
        for (int i = 0; i < captures; i++) {
            if (!has_bytes(chunk, next, 2)) {
                std::fputs("     |   (truncated)\n", stderr);
                return chunk->count;
            }
            std::fprintf(stderr, "%04d    |   %s %d\n", next, code[next] == 1 ? "local" : "upvalue", code[next + 1]);
            next += 2;
        }
        return next;
    }
    if (!has_bytes(chunk, offset + 1, operands)) {
        std::fputs(" (truncated)\n", stderr);
        return chunk->count;
    }
    if (is_typed_opcode(op)) {
        // Slots as numbers; a constant also shown by its value.
        int form = typed_form(op);
        if (form == FORM_K || form == FORM_L) std::fprintf(stderr, " %3d", code[offset + 1]);
        if (form == FORM_LL || form == FORM_LK) std::fprintf(stderr, " %3d %3d", code[offset + 1], code[offset + 2]);
        int constant = form == FORM_K ? code[offset + 1] : form == FORM_LK ? code[offset + 2] : -1;
        if (constant >= 0 && constant < chunk->constant_count) {
            std::fputc(' ', stderr);
            describe_constant(chunk->constants[constant]);
        }
        std::fputc('\n', stderr);
        return offset + 1 + operands;
    }
    switch (op) {
        case OP_CONSTANT: {
            int index = code[offset + 1];
            std::fprintf(stderr, " %3d ", index);
            if (index < chunk->constant_count) describe_constant(chunk->constants[index]);
            std::fputc('\n', stderr);
            break;
        }
        case OP_JUMP:
        case OP_JUMP_IF_FALSE:
        case OP_LOOP: {
            int distance = (code[offset + 1] << 8) | code[offset + 2];
            int target = offset + 3 + (op == OP_LOOP ? -distance : distance);
            std::fprintf(stderr, " %04d -> %04d\n", offset, target);
            break;
        }
        case OP_STRUCT: {
            int index = code[offset + 1];
            std::fprintf(stderr, " %3d ", index);
            if (index < chunk->constant_count) describe_constant(chunk->constants[index]);
            std::fprintf(stderr, " fields %d\n", code[offset + 2]);
            break;
        }
        default:
            for (int i = 1; i <= operands; i++) std::fprintf(stderr, " %3d", code[offset + i]);
            std::fputc('\n', stderr);
            break;
    }
    return offset + 1 + operands;
}

void vm_disassemble_chunk(const Chunk* chunk, const char* name) {
    std::fprintf(stderr, "== %s ==\n", name != nullptr ? name : "<script>");
    for (int offset = 0; offset < chunk->count;) offset = vm_disassemble_instruction(chunk, offset);
}
