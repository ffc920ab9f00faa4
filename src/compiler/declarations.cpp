// Variable declarations (typed and auto, globals and locals) and assignment to
// variables: plain and augmented, to locals, globals and captured variables.
#include <cstdio>

#include "compiler/compiler_internal.h"
#include "compiler/symbol_hooks.h"

namespace {

int name_len(const Token& t) { return static_cast<int>(t.length); }

bool is_plain_value_base(const StaticType& t) {
    return t.kind == TYPE_BASE && !t.nullable &&
           (t.base == BASE_INT || t.base == BASE_FLOAT || t.base == BASE_BOOL || t.base == BASE_STRING);
}

bool is_result(const StaticType& t) { return t.kind == TYPE_RESULT || t.kind == TYPE_RESULT_ANY; }

// The checks of a value stored into a variable of type `to`; reports at the name.
bool check_store(const StaticType& to, const StaticType& value, const Token& name) {
    if (st_assignable(to, value)) return true;
    if (value.base == BASE_NULL) {
        report_at(name, nullptr, "cannot assign null to non-nullable variable '%.*s' of type %s", name_len(name),
                  name.start, static_type_name(to));
        return false;
    }
    char help[160];
    const char* h = nullptr;
    if (is_plain_value_base(to) && is_result(value)) {
        std::snprintf(help, sizeof help,
                      "this value can fail; receive it as Result<%s> and unwrap with if (r is ok) { r.value }",
                      static_type_name(to));
        h = help;
    }
    report_at(name, h, "cannot assign %s to %s variable '%.*s'", static_type_name(value), static_type_name(to),
              name_len(name), name.start);
    return false;
}

// Reasons an auto declaration cannot take the initialiser's type, or null.
const char* cannot_infer(const StaticType& v) {
    bool null_base = v.base == BASE_NULL || (v.kind == TYPE_MAP && v.value_base == BASE_NULL);
    if (null_base) return "cannot infer type from null; use an explicit nullable type like int?";
    if (v.kind == TYPE_RESULT_ANY) return "cannot infer success type of err(...); use an explicit Result<T> context";
    if (v.kind == TYPE_ARRAY_ANY) return "cannot infer element type of empty array; use an explicit type like array<int>";
    if (v.kind == TYPE_MAP_ANY) return "cannot infer K/V of empty map; use an explicit type like map<string, int>";
    return nullptr;
}

void declare_global(const Token& name, const StaticType& type) {
    int existing = find_global(name.start, name.length);
    if (existing >= 0) {
        if (!g_repl_mode) {
            report_at(name, nullptr, "name '%.*s' already in use", name_len(name), name.start);
            return;
        }
        // At the prompt a later line may redeclare a global. With the same type
        // it keeps its slot; with another type it gets a new one, so that
        // functions compiled earlier keep reading the variable they knew.
        if (st_same(globals_table[existing].type, type)) {
            emit_bytes(OP_SET_GLOBAL, globals_table[existing].slot);
            return;
        }
    } else if (find_function(name.start, name.length) != nullptr) {
        report_at(name, nullptr, "name '%.*s' already in use", name_len(name), name.start);
        return;
    }
    if (global_count >= GLOBALS_MAX) {
        report_at(name, nullptr, "Too many globals.");
        return;
    }
    GlobalEntry& g = globals_table[global_count];
    g = GlobalEntry{name.start, name.length, type, static_cast<uint8_t>(global_count), current_module_idx};
    global_count++;
    if (g_symbol_index) symbol_note_global(g);
    emit_bytes(OP_SET_GLOBAL, g.slot);
}

const char* upvalue_kind_text(uint32_t kind) {
    switch (kind) {
        case LOCAL_FOR_VARIABLE: return "for-loop variable";
        case LOCAL_MATCH_BINDING: return "match binding";
        case LOCAL_SELF: return "self";
        default: return "captured variable";
    }
}

// Where an assignment stores: resolved in the order reads use, so that a
// write always reaches the variable a read of the same name would see.
enum class Target { NONE, LOCAL, GLOBAL, UPVALUE };

struct Resolved {
    Target target;
    int index;  // local slot, globals_table row, or upvalue index
    StaticType declared;
};

Resolved resolve_target(const Token& name) {
    int slot = resolve_local(current, name.start, name.length);
    if (slot >= 0 && g_symbol_index) symbol_note_use(name, current->locals[slot].name);
    if (slot >= 0) return Resolved{Target::LOCAL, slot, current->locals[slot].type};
    int g = find_global(name.start, name.length);
    if (g >= 0 && g_symbol_index) symbol_note_use(name, globals_table[g].name);
    if (g >= 0) return Resolved{Target::GLOBAL, g, globals_table[g].type};
    int up = resolve_upvalue(current, name.start, name.length);
    if (up >= 0 && g_symbol_index) symbol_note_upvalue_use(name);
    if (up >= 0) return Resolved{Target::UPVALUE, up, current->upvalues[up].type};
    return Resolved{Target::NONE, -1, st_int()};
}

// Reports a store into a read-only variable; true when it is one.
bool refuse_read_only(const Resolved& r, const Token& name) {
    if (r.target == Target::LOCAL) {
        const Local& local = current->locals[r.index];
        if (!local.read_only) return false;
        if (local.kind == LOCAL_MATCH_BINDING) {
            report_at(name, nullptr, "cannot assign to match binding '%.*s'", name_len(name), name.start);
        } else if (local.kind == LOCAL_SELF) {
            report_at(name, nullptr, "cannot reassign self (struct receiver is implicit)");
        } else {
            report_at(name, nullptr, "cannot assign to for-loop variable '%.*s'", name_len(name), name.start);
        }
        return true;
    }
    if (r.target == Target::UPVALUE) {
        const Upvalue& u = current->upvalues[r.index];
        if (!u.read_only) return false;
        report_at(name, nullptr, "cannot assign to %s '%.*s'", upvalue_kind_text(u.kind), name_len(name), name.start);
        return true;
    }
    return false;
}

void emit_store(const Resolved& r) {
    if (r.declared.kind == TYPE_STRUCT) emit_copy_struct();
    switch (r.target) {
        case Target::LOCAL:
            emit_bytes(OP_SET_LOCAL, static_cast<uint8_t>(r.index));
            narrowing_invalidate(true, r.index);
            break;
        case Target::GLOBAL:
            emit_bytes(OP_SET_GLOBAL, globals_table[r.index].slot);
            narrowing_invalidate(false, globals_table[r.index].slot);
            break;
        case Target::UPVALUE: emit_bytes(OP_SET_UPVALUE, static_cast<uint8_t>(r.index)); break;
        case Target::NONE: break;
    }
}


}  // namespace

void declaration_statement() {
    bool is_auto = match(TOKEN_AUTO);
    StaticType declared = is_auto ? st_none() : parse_type();
    consume(TOKEN_IDENTIFIER, "Expected variable name after type keyword.");
    const Token name = parser.previous;
    consume(TOKEN_EQUAL, "Expected '=' after variable name.");
    expression();
    if (parser.panic_mode) return;
    StaticType value = pop_type();
    if (st_is_none(value)) {
        report_at(name, nullptr, "cannot assign no-value (no-return function result) to variable '%.*s'",
                  name_len(name), name.start);
        return;
    }
    StaticType type;
    if (is_auto) {
        if (const char* why = cannot_infer(value)) {
            error(why);
            return;
        }
        type = value;
        // What a test proved about this value says nothing about the values
        // the new variable will hold later.
        type.result_state = 0;
    } else {
        if (!check_store(declared, value, name)) return;
        type = declared;
    }
    if (type.kind == TYPE_STRUCT) emit_copy_struct();
    if (current->is_top_level && current->scope_depth == 0) {
        declare_global(name, type);
        return;
    }
    if (declare_local(name.start, name.length, type) < 0) emit_byte(OP_POP);
}

void assignment_statement() {
    consume(TOKEN_IDENTIFIER, "Expected variable name.");
    const Token name = parser.previous;
    uint32_t op = parser.current.type;
    if (op == TOKEN_EQUAL) {
        consume(TOKEN_EQUAL, "Expected '=' in assignment.");
        expression();
        if (parser.panic_mode) return;
        StaticType value = pop_type();
        if (st_is_none(value)) {
            report_at(name, nullptr, "cannot assign no-value to variable '%.*s'", name_len(name), name.start);
            return;
        }
        Resolved r = resolve_target(name);
        if (r.target == Target::NONE) {
            report_at(name, nullptr, "undeclared variable '%.*s'", name_len(name), name.start);
            return;
        }
        if (refuse_read_only(r, name)) return;
        if (r.target == Target::UPVALUE) {
            if (!st_assignable(r.declared, value)) {
                report_at(name, nullptr, "cannot assign %s to %s variable '%.*s'", static_type_name(value),
                          static_type_name(r.declared), name_len(name), name.start);
                return;
            }
        } else if (!check_store(r.declared, value, name)) {
            return;
        }
        if (r.target == Target::LOCAL && narrowing_loop_refuses(true, r.index, value, name)) return;
        if (r.target == Target::GLOBAL && narrowing_loop_refuses(false, globals_table[r.index].slot, value, name)) {
            return;
        }
        emit_store(r);
        return;
    }

    advance();  // the compound operator
    Resolved r = resolve_target(name);
    if (r.target == Target::NONE) {
        report_at(name, nullptr, "undeclared variable '%.*s'", name_len(name), name.start);
        return;
    }
    if (refuse_read_only(r, name)) return;
    switch (r.target) {
        case Target::LOCAL:
            emit_bytes(OP_GET_LOCAL, static_cast<uint8_t>(r.index));
            push_type(apply_narrowing(true, r.index, r.declared));
            break;
        case Target::GLOBAL:
            emit_bytes(OP_GET_GLOBAL, globals_table[r.index].slot);
            push_type(apply_narrowing(false, globals_table[r.index].slot, r.declared));
            break;
        default:
            emit_bytes(OP_GET_UPVALUE, static_cast<uint8_t>(r.index));
            push_type(r.declared);
            break;
    }
    expression();
    if (parser.panic_mode) return;
    compile_augmented_op(binary_of_compound(op));
    StaticType result = pop_type();
    if (!st_assignable(r.declared, result)) {
        report_at(name, nullptr, "cannot assign %s to %s variable '%.*s'", static_type_name(result),
                  static_type_name(r.declared), name_len(name), name.start);
        return;
    }
    emit_store(r);
}

void compile_augmented_op(uint32_t op) {
    StaticType r = pop_type();
    StaticType l = pop_type();
    const char* sym = op_symbol_str(op);
    if (l.kind != TYPE_BASE || r.kind != TYPE_BASE) {
        report_at_previous("cannot apply '%s' to %s and %s", sym, static_type_name(l), static_type_name(r));
        push_type(st_int());
        return;
    }
    bool l_nullable = l.base == BASE_NULL || l.nullable;
    bool r_nullable = r.base == BASE_NULL || r.nullable;
    if (l_nullable || r_nullable) {
        report_at(parser.previous, "check it first, e.g. if (<var> != null) { ... }",
                  "operand of '%s' is %s; narrowing required (added in 8b)", sym,
                  static_type_name(l_nullable ? l : r));
        push_type(st_int());
        return;
    }
    uint8_t opcode;
    bool bitwise = false;
    switch (op) {
        case TOKEN_PLUS: opcode = OP_ADD; break;
        case TOKEN_MINUS: opcode = OP_SUBTRACT; break;
        case TOKEN_STAR: opcode = OP_MULTIPLY; break;
        case TOKEN_SLASH: opcode = OP_DIVIDE; break;
        case TOKEN_PERCENT: opcode = OP_MODULO; break;
        case TOKEN_STAR_STAR: opcode = OP_POWER; break;
        case TOKEN_AMP: opcode = OP_BIT_AND; bitwise = true; break;
        case TOKEN_PIPE: opcode = OP_BIT_OR; bitwise = true; break;
        case TOKEN_CARET: opcode = OP_BIT_XOR; bitwise = true; break;
        case TOKEN_LESS_LESS: opcode = OP_SHIFT_LEFT; bitwise = true; break;
        default: opcode = OP_SHIFT_RIGHT; bitwise = true; break;
    }
    if (bitwise) {
        if (l.base == BASE_INT && r.base == BASE_INT) {
            emit_binary_op(opcode, BASE_INT);
        } else {
            report_at_previous("bitwise '%s' requires int operands, got %s and %s", sym, static_type_name(l),
                               static_type_name(r));
        }
        push_type(st_int());
        return;
    }
    bool numeric = l.base == r.base && (l.base == BASE_INT || l.base == BASE_FLOAT);
    bool strings = op == TOKEN_PLUS && l.base == BASE_STRING && r.base == BASE_STRING;
    if (numeric || strings) {
        emit_binary_op(opcode, l.base);
    } else {
        report_at_previous("cannot apply '%s' to %s and %s", sym, static_type_name(l), static_type_name(r));
    }
    push_type(l);
}
