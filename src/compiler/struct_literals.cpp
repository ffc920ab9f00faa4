// Struct literals: `P { x: 1, y: 2 }` builds an instance and sets every field
// once, in any order, each value checked against the field's declared type.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "compiler/compiler_internal.h"
#include "compiler/symbol_hooks.h"
#include "vm/vm.h"

namespace {

// The whole missing-fields text is cut at this many characters.
constexpr size_t MISSING_FIELDS_MAX = 300;

int find_field(const StructEntry& s, const Token& name) {
    for (int i = 0; i < s.field_count; i++) {
        if (s.fields[i].name_len == name.length && std::memcmp(s.fields[i].name, name.start, name.length) == 0) {
            return i;
        }
    }
    return -1;
}

void drop_value() {
    expression();
    pop_type();
    emit_byte(OP_POP);
}

}  // namespace

void struct_construction(int struct_idx, const Token& name) {
    const StructEntry& s = struct_table[struct_idx];
    StaticType type = st_of_kind(TYPE_STRUCT, BASE_NONE, struct_idx);
    int sn = static_cast<int>(s.name_len);
    if (s.field_count < 0) {
        // A struct whose body was never read has no fields to build. A null
        // stands in for the instance so that the stack stays balanced.
        skip_brace_block();
        emit_byte(OP_NULL);
        push_type(type);
        return;
    }
    consume(TOKEN_LEFT_BRACE, "Expect '{' after struct name.");
    vm_push_transient(&s.name_object->obj);
    int constant = chunk_add_constant(current_chunk(), obj_val(s.name_object));
    vm_pop_transient();
    if (constant >= CHUNK_MAX_CONSTANTS) {
        error("Too many constants in one chunk.");
        push_type(type);
        return;
    }
    emit_bytes(OP_STRUCT, static_cast<uint8_t>(constant));
    emit_byte(static_cast<uint8_t>(s.field_count));
    uint64_t given = 0;
    bool first = true;
    // The loop ends only at "}" or the end of the text, also after an error
    // (panic mode keeps the rest quiet): leaving earlier would strand the
    // literal's own "}" to be read as the start of the next statement.
    while (!check(TOKEN_RIGHT_BRACE) && !check(TOKEN_EOF)) {
        const char* at = parser.current.start;
        if (!first) {
            consume(TOKEN_COMMA, "Expect ',' between struct fields.");
            if (check(TOKEN_RIGHT_BRACE)) break;
        }
        first = false;
        consume(TOKEN_IDENTIFIER, "Expect field name in struct literal.");
        const Token field = parser.previous;
        int fn = static_cast<int>(field.length);
        consume(TOKEN_COLON, "Expect ':' after field name.");
        int f = find_field(s, field);
        if (f >= 0 && g_symbol_index) symbol_note_use(field, s.fields[f].name);
        if (f < 0) {
            report_at(field, nullptr, "struct %.*s has no field '%.*s'", sn, s.name, fn, field.start);
            drop_value();
        } else if (given & (uint64_t{1} << f)) {
            report_at(field, nullptr, "field '%.*s' provided twice in %.*s literal", fn, field.start, sn, s.name);
            drop_value();
        } else {
            expression();
            StaticType v = pop_type();
            const StaticType& t = s.fields[f].type;
            if (!st_assignable(t, v)) {
                if (v.base == BASE_NULL) {
                    report_at(field, nullptr, "field '%.*s' expects %s, got null", fn, field.start, static_type_name(t));
                } else {
                    report_at(field, nullptr, "field '%.*s' expects %s, got %s", fn, field.start, static_type_name(t),
                              static_type_name(v));
                }
            }
            if (t.kind == TYPE_STRUCT) emit_copy_struct();
            emit_bytes(OP_SET_FIELD, static_cast<uint8_t>(f));
            given |= uint64_t{1} << f;
        }
        // Every value read takes a token; this only guards the loop's end.
        if (parser.current.start == at) advance();
    }
    consume(TOKEN_RIGHT_BRACE, "Expect '}' to close struct literal.");
    if (s.field_count > 0) {
        char text[MISSING_FIELDS_MAX + 1];
        int len = std::snprintf(text, sizeof text, "missing field%s in %.*s literal:", s.field_count == 1 ? "" : "s",
                                sn, s.name);
        bool missing = false;
        for (int i = 0; i < s.field_count; i++) {
            if (given & (uint64_t{1} << i)) continue;
            missing = true;
            if (len >= 0 && static_cast<size_t>(len) < sizeof text) {
                int added = std::snprintf(text + len, sizeof text - static_cast<size_t>(len), " %.*s",
                                          static_cast<int>(s.fields[i].name_len), s.fields[i].name);
                if (added > 0) len += added;
            }
        }
        if (missing) report_at(name, nullptr, "%s", text);
    }
    push_type(type);
}
