// Statements that begin with a variable followed by ".": assignment to a
// struct field (plain or augmented), and everything else that turns out to be
// an expression statement, such as a method call or a chain of members.
#include <cstring>

#include "compiler/compiler_internal.h"
#include "compiler/symbol_hooks.h"

namespace {

// Name of the hidden local over the instance of an augmented field assignment.
constexpr char AUG_OBJ_NAME[] = "$aug_obj";

int tlen(const Token& t) { return static_cast<int>(t.length); }



// The instance is on the stack; current is "=".
void field_assignment(int f, const StructField& field, const Token& name) {
    advance();  // =
    expression();
    if (parser.panic_mode) return;
    StaticType value = pop_type();
    if (!st_assignable(field.type, value)) {
        if (value.base == BASE_NULL && value.kind == TYPE_BASE) {
            report_at(name, nullptr, "cannot assign null to field '%.*s' of type %s", tlen(name), name.start,
                      static_type_name(field.type));
        } else {
            report_at(name, nullptr, "cannot assign %s to field '%.*s' of type %s", static_type_name(value),
                      tlen(name), name.start, static_type_name(field.type));
        }
        return;
    }
    if (field.type.kind == TYPE_STRUCT) emit_copy_struct();
    emit_bytes(OP_SET_FIELD, static_cast<uint8_t>(f));
    emit_byte(OP_POP);  // the instance SET_FIELD leaves
}

// The instance is on the stack; current is the compound operator. The instance
// is named by a hidden local so that it can be read twice; the final
// SET_FIELD and POP consume its slot, so dropping the name emits nothing.
void augmented_field_assignment(int f, const StructField& field, const Token& name, const StaticType& object_type) {
    if (current->local_count >= LOCALS_MAX) {
        report_at(name, nullptr, "Too many locals (augmented field assign needs 1 hidden slot).");
        return;
    }
    uint32_t op = parser.current.type;
    advance();
    int slot = current->local_count;
    current->locals[slot] =
        Local{AUG_OBJ_NAME, sizeof AUG_OBJ_NAME - 1, object_type, current->scope_depth, 1, LOCAL_PLAIN, 0};
    current->local_count++;
    emit_bytes(OP_GET_LOCAL, static_cast<uint8_t>(slot));
    emit_bytes(OP_GET_FIELD, static_cast<uint8_t>(f));
    push_type(field.type);
    expression();
    if (!parser.panic_mode) {
        compile_augmented_op(binary_of_compound(op));
        StaticType result = pop_type();
        if (!st_assignable(field.type, result)) {
            report_at(name, nullptr, "cannot assign %s to field '%.*s' of type %s", static_type_name(result),
                      tlen(name), name.start, static_type_name(field.type));
        } else {
            if (field.type.kind == TYPE_STRUCT) emit_copy_struct();
            emit_bytes(OP_SET_FIELD, static_cast<uint8_t>(f));
            emit_byte(OP_POP);
        }
    }
    current->local_count = slot;
}

int find_field(const StructEntry& s, const Token& name) {
    for (int i = 0; i < s.field_count && i < STRUCT_FIELDS_MAX; i++) {
        if (s.fields[i].name_len == name.length && std::memcmp(s.fields[i].name, name.start, name.length) == 0) {
            return i;
        }
    }
    return -1;
}

int find_method(const StructEntry& s, const Token& name) {
    for (int i = 0; i < s.method_count && i < STRUCT_METHODS_MAX; i++) {
        if (s.methods[i].name_len == name.length &&
            std::memcmp(s.methods[i].name, name.start, name.length) == 0) {
            return i;
        }
    }
    return -1;
}

}  // namespace

void continue_as_expression_statement(const StaticType& type) {
    push_type(type);
    for (;;) {
        const ParseRule* rule = get_rule(parser.current.type);
        if (rule->infix == nullptr || rule->precedence < PREC_OR) break;
        advance();
        rule->infix();
    }
    if (parser.had_error) return;
    StaticType t = pop_type();
    if (!st_is_none(t)) emit_tail_display_or_pop();
}

void field_assign_or_expression_statement() {
    advance();  // the variable
    const Token variable = parser.previous;
    StaticType type;
    int slot = resolve_local(current, variable.start, variable.length);
    if (slot >= 0) {
        if (g_symbol_index) symbol_note_use(variable, current->locals[slot].name);
        type = apply_narrowing(true, slot, current->locals[slot].type);
        emit_bytes(OP_GET_LOCAL, static_cast<uint8_t>(slot));
    } else {
        int g = find_global(variable.start, variable.length);
        if (g < 0) {
            report_at(variable, nullptr, "undeclared variable '%.*s'", tlen(variable), variable.start);
            return;
        }
        if (g_symbol_index) symbol_note_use(variable, globals_table[g].name);
        type = apply_narrowing(false, globals_table[g].slot, globals_table[g].type);
        emit_bytes(OP_GET_GLOBAL, globals_table[g].slot);
    }

    while (check(TOKEN_DOT)) {
        if (type.kind != TYPE_STRUCT) {
            advance();  // .
            push_type(type);
            dot_op();
            type = pop_type();
            continue;
        }
        advance();  // .
        consume(TOKEN_IDENTIFIER, "Expect field name after '.'.");
        if (parser.previous.type != TOKEN_IDENTIFIER) return;
        const Token member = parser.previous;
        if (type.index < 0 || type.index >= struct_count) {
            report_at(member, nullptr, "internal: struct index out of range");
            return;
        }
        const StructEntry& s = struct_table[type.index];
        int sn = static_cast<int>(s.name_len);
        int f = find_field(s, member);
        if (f >= 0) {
            if (g_symbol_index) symbol_note_use(member, s.fields[f].name);
            const StructField field = s.fields[f];
            if (check(TOKEN_EQUAL)) {
                field_assignment(f, field, member);
                return;
            }
            if (is_compound(parser.current.type)) {
                augmented_field_assignment(f, field, member, type);
                return;
            }
            if (check(TOKEN_LEFT_PAREN) && field.type.kind != TYPE_FUNC) {
                report_at(member, nullptr, "field '%.*s' of struct %.*s is not callable", tlen(member), member.start,
                          sn, s.name);
                return;
            }
            emit_bytes(OP_GET_FIELD, static_cast<uint8_t>(f));
            type = field.type;
            continue;
        }
        int m = find_method(s, member);
        if (m >= 0) {
            if (g_symbol_index) symbol_note_use(member, s.methods[m].name);
            if (!check(TOKEN_LEFT_PAREN)) {
                report_at(member, nullptr, "method '%.*s' of struct %.*s requires call parentheses", tlen(member),
                          member.start, sn, s.name);
                return;
            }
            struct_method_call(type.index, m, member);
            type = pop_type();
            continue;
        }
        report_at(member, nullptr, "struct %.*s has no field or method '%.*s'", sn, s.name, tlen(member),
                  member.start);
        return;
    }
    continue_as_expression_statement(type);
}
