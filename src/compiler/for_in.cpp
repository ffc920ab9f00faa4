// For-in loops over arrays and maps. There is no iterator object: each loop is
// lowered to hidden locals (the collection, an index, a map's capacity), calls
// of the array length native or the hidden map slot natives, and jumps.
#include "compiler/compiler_internal.h"

namespace {

struct LoopVariables {
    Token first;
    Token second;
    bool two = false;
};

// Hidden locals cannot be named in source ("$" starts no identifier) and are
// never assigned by the program.
int declare_hidden(const char* name, uint32_t length, const StaticType& type) {
    int slot = declare_local(name, length, type);
    if (slot < 0) return 0;
    current->locals[slot].read_only = 1;
    return slot;
}

// Loop variables name the value on top of the stack; assigning to one is refused.
void declare_loop_variable(const Token& name, const StaticType& type) {
    int slot = declare_local(name.start, name.length, type);
    if (slot < 0) return;
    current->locals[slot].read_only = 1;
    current->locals[slot].kind = LOCAL_FOR_VARIABLE;
}

void emit_get_local(int slot) { emit_bytes(OP_GET_LOCAL, static_cast<uint8_t>(slot)); }
void emit_set_local(int slot) { emit_bytes(OP_SET_LOCAL, static_cast<uint8_t>(slot)); }

LoopVariables loop_header_variables() {
    LoopVariables vars{};
    if (match(TOKEN_LEFT_PAREN)) {
        vars.two = true;
        consume(TOKEN_IDENTIFIER, "Expect key variable name in 'for (k, v) in ...'.");
        vars.first = parser.previous;
        consume(TOKEN_COMMA, "Expect ',' between key and value variables.");
        consume(TOKEN_IDENTIFIER, "Expect value variable name in 'for (k, v) in ...'.");
        vars.second = parser.previous;
        consume(TOKEN_RIGHT_PAREN, "Expect ')' after for-loop variables.");
    } else {
        consume(TOKEN_IDENTIFIER, "Expect variable name after 'for'.");
        vars.first = parser.previous;
    }
    return vars;
}

// The body of a loop that cannot be compiled is stepped over, so that its
// statements are not compiled (and reported) as code of the enclosing block.
void skip_loop_body() {
    while (!check(TOKEN_LEFT_BRACE) && !check(TOKEN_NEWLINE) && !check(TOKEN_EOF)) advance();
    if (check(TOKEN_LEFT_BRACE)) skip_brace_block();
}

// A header without "{" has no body to compile: the body that may follow (on the
// same line, or on the next line as a brace block) is stepped over rather than
// compiled as outer code without its loop variables.
bool open_loop_body() {
    if (match(TOKEN_LEFT_BRACE)) return true;
    error_at_current("Expect '{' before for-loop body.");
    skip_loop_body();
    if (check(TOKEN_NEWLINE) && parser.next.type == TOKEN_LEFT_BRACE) {
        advance();
        skip_brace_block();
    }
    return false;
}

void begin_loop(LoopContext& loop) {
    loop.enclosing = current_loop;
    loop.local_count_at_entry = current->local_count;
    loop.loop_start = -1;  // continue jumps forward, to the increment
    current_loop = &loop;
}

// Continue lands on the increment; the false condition is popped on exit.
void end_loop(LoopContext& loop, int loop_start, int exit_jump, int index_slot) {
    for (int i = 0; i < loop.continue_count; i++) patch_jump(loop.continue_jumps[i]);
    emit_get_local(index_slot);
    emit_constant(int_val(1));
    emit_binary_op(OP_ADD, BASE_INT);
    emit_set_local(index_slot);
    emit_loop(loop_start);
    patch_jump(exit_jump);
    emit_byte(OP_POP);
    for (int i = 0; i < loop.break_count; i++) patch_jump(loop.break_jumps[i]);
    current_loop = loop.enclosing;
}

StaticType element_type_of(const StaticType& array) {
    if (array.base == BASE_FUNC) return StaticType{TYPE_FUNC, BASE_FUNC, 0, 0, 0, 0, array.index};
    return st_base(array.base, array.nullable != 0);
}

void array_loop(const LoopVariables& vars, const StaticType& array_type) {
    static constexpr char array_name[] = "$iter_array";
    static constexpr char idx_name[] = "$iter_idx";
    int array_slot = declare_hidden(array_name, sizeof array_name - 1, array_type);
    emit_constant(int_val(0));
    int idx_slot = declare_hidden(idx_name, sizeof idx_name - 1, st_int());

    // The length is read before every iteration: elements pushed by the body
    // are visited too.
    int loop_start = current_chunk()->count;
    emit_get_local(idx_slot);
    emit_get_local(array_slot);
    emit_constant(obj_val(g_array_length_native));
    emit_byte(OP_SWAP);
    emit_bytes(OP_CALL, 1);
    emit_binary_op(OP_LESS, BASE_INT);
    int exit_jump = emit_jump(OP_JUMP_IF_FALSE);
    emit_byte(OP_POP);

    if (!open_loop_body()) return;
    LoopContext loop{};
    begin_loop(loop);
    begin_scope();
    if (vars.two) {
        emit_get_local(idx_slot);
        declare_loop_variable(vars.first, st_int());
    }
    emit_get_local(array_slot);
    emit_get_local(idx_slot);
    emit_index_get();
    declare_loop_variable(vars.two ? vars.second : vars.first, element_type_of(array_type));
    block();
    end_scope();
    end_loop(loop, loop_start, exit_jump, idx_slot);
}

void map_loop(const LoopVariables& vars, const StaticType& map_type) {
    static constexpr char map_name[] = "$iter_map";
    static constexpr char cap_name[] = "$iter_cap";
    static constexpr char idx_name[] = "$iter_idx";
    int map_slot = declare_hidden(map_name, sizeof map_name - 1, map_type);
    // The capacity is read once: slots added by growth during the loop are not
    // visited.
    emit_constant(obj_val(g_map_capacity_native));
    emit_get_local(map_slot);
    emit_bytes(OP_CALL, 1);
    int cap_slot = declare_hidden(cap_name, sizeof cap_name - 1, st_int());
    emit_constant(int_val(0));
    int idx_slot = declare_hidden(idx_name, sizeof idx_name - 1, st_int());

    int loop_start = current_chunk()->count;
    emit_get_local(idx_slot);
    emit_get_local(cap_slot);
    emit_binary_op(OP_LESS, BASE_INT);
    int exit_jump = emit_jump(OP_JUMP_IF_FALSE);
    emit_byte(OP_POP);

    emit_constant(obj_val(g_map_slot_is_live_native));
    emit_get_local(map_slot);
    emit_get_local(idx_slot);
    emit_bytes(OP_CALL, 2);
    int skip_jump = emit_jump(OP_JUMP_IF_FALSE);
    emit_byte(OP_POP);

    emit_constant(obj_val(g_map_slot_key_native));
    emit_get_local(map_slot);
    emit_get_local(idx_slot);
    emit_bytes(OP_CALL, 2);

    if (!open_loop_body()) return;
    LoopContext loop{};
    begin_loop(loop);
    begin_scope();
    declare_loop_variable(vars.first, st_base(map_type.base));
    if (vars.two) {
        emit_constant(obj_val(g_map_slot_value_native));
        emit_get_local(map_slot);
        emit_get_local(idx_slot);
        emit_bytes(OP_CALL, 2);
        // Read like m[k]: nullable whatever the map's value type says.
        declare_loop_variable(vars.second, st_base(map_type.value_base, true));
    }
    block();
    end_scope();

    int over_jump = emit_jump(OP_JUMP);
    patch_jump(skip_jump);
    emit_byte(OP_POP);  // the false liveness test
    patch_jump(over_jump);
    end_loop(loop, loop_start, exit_jump, idx_slot);
}

}  // namespace

void for_statement() {
    begin_scope();  // the loop scope: it holds the hidden locals
    LoopVariables vars = loop_header_variables();
    consume(TOKEN_IN, "Expect 'in' after for-loop variable.");
    expression();
    StaticType iterable = pop_type();
    if (iterable.kind == TYPE_ARRAY) {
        array_loop(vars, iterable);
    } else if (iterable.kind == TYPE_MAP) {
        map_loop(vars, iterable);
    } else {
        report_at_previous("'for' requires an array<T> or map<K,V> to iterate, got %s", static_type_name(iterable));
        skip_loop_body();
    }
    end_scope();
}
