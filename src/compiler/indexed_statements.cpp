// Statements that begin with `name[`: element assignment to arrays and maps,
// augmented element assignment to arrays through two hidden locals, and the
// indexed reads that turn out to be expression statements.
#include <cstdio>
#include <cstring>

#include "compiler/compiler_internal.h"
#include "compiler/symbol_hooks.h"

namespace {

// Two slots beyond the locals already held, both addressed by a u8 operand.
constexpr int AUG_INDEX_LOCALS_LIMIT = LOCALS_MAX - 2;



// Checks a value stored into an element; `target` names the element in the
// message ("array<int> element", "map<string,int> value").
bool check_element_store(const StaticType& to, const StaticType& value, const char* target, const Token& name) {
    if (st_assignable(to, value)) return true;
    if (st_is_base(value, BASE_NULL)) {
        report_at(name, nullptr, "cannot assign null to %s", target);
    } else {
        report_at(name, nullptr, "cannot assign %s to %s", static_type_name(value), target);
    }
    return false;
}

void map_element_statement(const StaticType& map, const StaticType& key, const Token& name) {
    StaticType read = map_index_type(map, key);
    if (match(TOKEN_EQUAL)) {
        expression();
        if (parser.panic_mode) return;
        StaticType value = pop_type();
        StaticType stored = st_base(map.value_base, map.value_nullable != 0);
        char target[2 * TYPE_NAME_MAX + 16];
        std::snprintf(target, sizeof target, "map<%s,%s> value", static_type_name(st_base(map.base)),
                      static_type_name(stored));
        if (check_element_store(stored, value, target, name)) emit_byte(OP_INDEX_SET);
        return;
    }
    if (is_compound(parser.current.type)) {
        const Token& op = parser.current;
        report_at(op, nullptr, "augmented assignment '%.*s' on a map index is not supported (deferred)",
                  static_cast<int>(op.length), op.start);
        return;
    }
    emit_byte(OP_INDEX_GET);
    continue_as_expression_statement(read);
}

// The array and the index are on the stack already; two read-only hidden
// locals name them so that the element can be read and then stored.
void augmented_array_element(const StaticType& array, const StaticType& element, const Token& name) {
    if (current->local_count > AUG_INDEX_LOCALS_LIMIT) {
        report_at_current("Too many locals (augmented index assign needs 2 hidden slots).");
        return;
    }
    uint32_t op = binary_of_compound(parser.current.type);
    advance();
    int held = current->local_count;
    int array_slot = declare_local("$aug_arr", 8, array);
    int index_slot = declare_local("$aug_idx", 8, st_int());
    if (array_slot < 0 || index_slot < 0) {
        current->local_count = held;
        return;
    }
    current->locals[array_slot].read_only = 1;
    current->locals[index_slot].read_only = 1;
    emit_bytes(OP_GET_LOCAL, static_cast<uint8_t>(array_slot));
    emit_bytes(OP_GET_LOCAL, static_cast<uint8_t>(index_slot));
    emit_byte(OP_INDEX_GET);
    push_type(element);
    expression();
    if (!parser.panic_mode) {
        compile_augmented_op(op);
        StaticType result = pop_type();
        if (st_assignable(element, result)) {
            emit_byte(OP_INDEX_SET);
        } else {
            report_at(name, nullptr, "cannot assign %s to array<%s> element", static_type_name(result),
                      static_type_name(element));
        }
    }
    // OP_INDEX_SET consumes both slots, so the names go without an instruction.
    current->local_count = held;
}

void array_element_statement(const StaticType& array, const StaticType& index, const Token& name) {
    index_check_array(index);
    StaticType element = array_element_type(array);
    if (match(TOKEN_EQUAL)) {
        expression();
        if (parser.panic_mode) return;
        StaticType value = pop_type();
        char target[TYPE_NAME_MAX + 16];
        std::snprintf(target, sizeof target, "array<%s> element", static_type_name(element));
        if (check_element_store(element, value, target, name)) emit_byte(OP_INDEX_SET);
        return;
    }
    if (is_compound(parser.current.type)) {
        augmented_array_element(array, element, name);
        return;
    }
    emit_byte(OP_INDEX_GET);
    continue_as_expression_statement(element);
}

}  // namespace

void index_assign_or_expression_statement() {
    advance();
    const Token name = parser.previous;
    StaticType indexed;
    // Upvalues are not looked up: a captured collection is changed through
    // its methods or an expression, never by this statement form.
    int slot = resolve_local(current, name.start, name.length);
    int global = slot >= 0 ? -1 : find_global(name.start, name.length);
    if (slot >= 0) {
        if (g_symbol_index) symbol_note_use(name, current->locals[slot].name);
        emit_bytes(OP_GET_LOCAL, static_cast<uint8_t>(slot));
        indexed = apply_narrowing(true, slot, current->locals[slot].type);
    } else if (global >= 0) {
        const GlobalEntry& entry = globals_table[global];
        if (g_symbol_index) symbol_note_use(name, entry.name);
        emit_bytes(OP_GET_GLOBAL, entry.slot);
        indexed = apply_narrowing(false, entry.slot, entry.type);
    } else {
        report_at(name, nullptr, "undeclared variable '%.*s'", static_cast<int>(name.length), name.start);
        return;
    }
    consume(TOKEN_LEFT_BRACKET, "Expect '[' after variable.");
    expression();
    StaticType index = pop_type();
    consume(TOKEN_RIGHT_BRACKET, "Expect ']' after index expression.");
    if (indexed.kind == TYPE_MAP) {
        map_element_statement(indexed, index, name);
    } else if (indexed.kind == TYPE_ARRAY) {
        array_element_statement(indexed, index, name);
    } else {
        report_at_previous("cannot index into %s; expected array<T> or map<K,V>", static_type_name(indexed));
    }
}
