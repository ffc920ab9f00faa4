// Statements and control flow: dispatch by the leading tokens, blocks, if/else,
// while, break, continue and return, the always-returns flag, recovery at the
// end of a statement. Conditions and narrowing are in narrowing.cpp.
#include "compiler/compiler_internal.h"
#include "runtime/memory.h"

LoopContext* current_loop = nullptr;

// ---------------------------------------------------------------------------
// Blocks and recovery
// ---------------------------------------------------------------------------

void end_of_statement() {
    if (!parser.panic_mode) {
        match(TOKEN_NEWLINE);
        return;
    }
    for (;;) {
        uint32_t t = parser.current.type;
        if (t == TOKEN_NEWLINE) {
            advance();
            return;
        }
        if (t == TOKEN_RIGHT_BRACE || t == TOKEN_EOF) return;
        advance();
    }
}

bool block() {
    if (!nesting_enter()) return false;
    bool returns = false;
    while (!check(TOKEN_RIGHT_BRACE) && !check(TOKEN_EOF)) {
        if (match(TOKEN_NEWLINE)) continue;
        returns = statement();
        clear_panic();
    }
    consume(TOKEN_RIGHT_BRACE, "Expect '}' after block.");
    nesting_leave();
    return returns;
}

void skip_brace_block() {
    if (!check(TOKEN_LEFT_BRACE)) {
        error_at_current("Expect '{' before function body.");
        return;
    }
    advance();
    int depth = 1;
    while (depth > 0) {
        if (check(TOKEN_EOF)) {
            error("Unterminated function body.");
            return;
        }
        if (check(TOKEN_LEFT_BRACE)) depth++;
        if (check(TOKEN_RIGHT_BRACE)) depth--;
        advance();
    }
}

// ---------------------------------------------------------------------------
// if / else
// ---------------------------------------------------------------------------

namespace {

// Offsets of the jumps that leave an else-if chain, kept on the heap: a chain
// of thousands of branches is ordinary in generated code and is compiled by a
// loop rather than by recursion.
struct JumpList {
    int* items = nullptr;
    int count = 0;
    int capacity = 0;

    void add(int offset) {
        if (count == capacity) {
            capacity = capacity < 8 ? 8 : capacity * 2;
            items = static_cast<int*>(mem_realloc(items, sizeof(int) * static_cast<size_t>(capacity)));
        }
        items[count++] = offset;
    }
    ~JumpList() { mem_free(items); }
};

bool branch_block(const PendingNarrowing& pending, bool then_branch) {
    bool pushed = narrowing_push_branch(pending, then_branch);
    int row = narrowing_count - 1;
    begin_scope();
    bool returns = block();
    end_scope();
    // Narrowing never outlives its block. Rows above it (none normally) go too.
    if (pushed && row >= 0 && row < narrowing_count) narrowing_count = row;
    return returns;
}

bool if_statement() {
    JumpList exits;
    bool all_return = true;
    bool has_else = false;
    for (;;) {
        condition("if");
        PendingNarrowing pending = pending_narrowing;
        int then_jump = emit_jump(OP_JUMP_IF_FALSE);
        emit_byte(OP_POP);
        consume(TOKEN_LEFT_BRACE, "Expect '{' before then block.");
        all_return = branch_block(pending, true) && all_return;
        exits.add(emit_jump(OP_JUMP));
        patch_jump(then_jump);
        emit_byte(OP_POP);
        if (!match(TOKEN_ELSE)) break;
        // `else if` is a nested if statement: the same code, compiled in a loop.
        if (match(TOKEN_IF)) continue;
        consume(TOKEN_LEFT_BRACE, "Expect '{' before else block.");
        all_return = branch_block(pending, false) && all_return;
        has_else = true;
        break;
    }
    for (int i = exits.count - 1; i >= 0; i--) patch_jump(exits.items[i]);
    return has_else && all_return;
}

// ---------------------------------------------------------------------------
// Loops
// ---------------------------------------------------------------------------

void while_statement() {
    int loop_start = current_chunk()->count;
    condition("while");
    int exit_jump = emit_jump(OP_JUMP_IF_FALSE);
    emit_byte(OP_POP);
    consume(TOKEN_LEFT_BRACE, "Expect '{' before while body.");
    LoopContext loop{};
    loop.enclosing = current_loop;
    loop.local_count_at_entry = current->local_count;
    loop.loop_start = loop_start;
    current_loop = &loop;
    begin_scope();
    block();
    end_scope();
    emit_loop(loop_start);
    patch_jump(exit_jump);
    emit_byte(OP_POP);
    for (int i = 0; i < loop.break_count; i++) patch_jump(loop.break_jumps[i]);
    current_loop = loop.enclosing;
}

void break_statement() {
    const Token keyword = parser.previous;
    if (current_loop == nullptr) {
        report_at(keyword, nullptr, "'break' outside of a loop.");
        return;
    }
    emit_discard_locals_above(current_loop->local_count_at_entry);
    int jump = emit_jump(OP_JUMP);
    if (current_loop->break_count >= LOOP_JUMPS_MAX) {
        report_at(keyword, nullptr, "too many 'break's in this loop.");
        return;
    }
    current_loop->break_jumps[current_loop->break_count++] = jump;
}

void continue_statement() {
    const Token keyword = parser.previous;
    if (current_loop == nullptr) {
        report_at(keyword, nullptr, "'continue' outside of a loop.");
        return;
    }
    emit_discard_locals_above(current_loop->local_count_at_entry);
    if (current_loop->loop_start >= 0) {
        emit_loop(current_loop->loop_start);
        return;
    }
    int jump = emit_jump(OP_JUMP);
    if (current_loop->continue_count >= LOOP_JUMPS_MAX) {
        report_at(keyword, nullptr, "too many 'continue's in this loop.");
        return;
    }
    current_loop->continue_jumps[current_loop->continue_count++] = jump;
}

// ---------------------------------------------------------------------------
// return
// ---------------------------------------------------------------------------

bool at_statement_end() { return check(TOKEN_RIGHT_BRACE) || check(TOKEN_NEWLINE) || check(TOKEN_EOF); }

// A return that leaves no value. A lambda whose return type is not known yet
// remembers it: should a later return give the lambda a value, this one is wrong.
void bare_return(const Token& keyword) {
    if (current->has_return) {
        report_at(keyword, nullptr, "missing return value");
    } else if (current->is_lambda && !current->bare_return_seen) {
        current->bare_return_seen = 1;
        current->bare_return_token = keyword;
    }
    emit_byte(OP_RETURN_NO_VALUE);
}

void return_statement() {
    const Token keyword = parser.previous;
    if (current->is_top_level) {
        report_at(keyword, nullptr, "'return' outside function.");
        if (at_statement_end()) return;
        expression();
        pop_type();
        emit_byte(OP_POP);
        return;
    }
    if (at_statement_end()) {
        bare_return(keyword);
        return;
    }
    expression();
    if (parser.panic_mode) return;
    StaticType t = pop_type();
    if (current->is_lambda && !current->has_return) {
        if (st_is_none(t)) {
            // The call left nothing to return: the lambda returns no value,
            // exactly as its expression-bodied form would.
            bare_return(keyword);
            return;
        }
        current->has_return = 1;
        current->return_type = t;
        if (t.kind == TYPE_STRUCT) emit_copy_struct();
        emit_return();
        return;
    }
    if (!current->has_return) {
        error("no-return function cannot return a value");
        emit_byte(OP_POP);
        emit_byte(OP_RETURN_NO_VALUE);
        return;
    }
    if (st_assignable(current->return_type, t)) {
        if (current->return_type.kind == TYPE_STRUCT) emit_copy_struct();
    } else {
        report_at_previous("return type mismatch: expected %s, got %s", static_type_name(current->return_type),
                           static_type_name(t));
    }
    emit_return();
}

// ---------------------------------------------------------------------------
// Dispatch
// ---------------------------------------------------------------------------

bool is_declaration_keyword(uint32_t type) {
    return (type >= TOKEN_INT && type <= TOKEN_AUTO) || type == TOKEN_RESULT || type == TOKEN_ARRAY ||
           type == TOKEN_MAP;
}

bool is_assignment_operator(uint32_t type) {
    return type == TOKEN_EQUAL || (type >= TOKEN_PLUS_EQUAL && type <= TOKEN_GREATER_GREATER_EQUAL);
}

void skip_import_clause() {
    advance();  // import
    match(TOKEN_STRING_LITERAL);
    if (match(TOKEN_AS)) match(TOKEN_IDENTIFIER);
}

void skip_from_clause() {
    advance();  // from
    match(TOKEN_STRING_LITERAL);
    if (!match(TOKEN_IMPORT)) return;
    while (match(TOKEN_IDENTIFIER)) {
        if (match(TOKEN_AS)) match(TOKEN_IDENTIFIER);
        if (!match(TOKEN_COMMA)) break;
    }
}

// An identifier starts the statement: what follows decides its form.
bool identifier_statement() {
    const Token& first = parser.current;
    uint32_t next = parser.next.type;
    if (next == TOKEN_IDENTIFIER && find_struct(first.start, first.length) >= 0) {
        declaration_statement();
        return false;
    }
    if (next == TOKEN_DOT) {
        int alias = module_idx_for_name(first.start, first.length);
        if (alias >= 0 && parser.next2.type == TOKEN_IDENTIFIER &&
            find_module_struct(alias, parser.next2.start, parser.next2.length) >= 0 &&
            !brace_follows_on_line(parser.next2)) {
            declaration_statement();
            return false;
        }
        if (alias >= 0) {
            expression_statement();
        } else {
            field_assign_or_expression_statement();
        }
        return false;
    }
    if (is_assignment_operator(next)) {
        assignment_statement();
        return false;
    }
    if (next == TOKEN_LEFT_BRACKET) {
        index_assign_or_expression_statement();
        return false;
    }
    expression_statement();
    return false;
}

}  // namespace

bool statement() {
    type_stack_top = current->type_stack_base;
    bool returns = false;
    for (;;) {
        switch (parser.current.type) {
            case TOKEN_IMPORT: skip_import_clause(); break;
            case TOKEN_FROM: skip_from_clause(); break;
            case TOKEN_EXPORT: {
                advance();
                const Token keyword = parser.previous;
                if (!current->is_top_level) {
                    report_at(keyword, nullptr, "export must be at top level");
                    if (!check(TOKEN_EOF)) advance();
                    break;
                }
                // A lone `export` at the end of a line exports nothing.
                if (check(TOKEN_NEWLINE) || check(TOKEN_EOF)) break;
                continue;
            }
            case TOKEN_IF: advance(); returns = if_statement(); break;
            case TOKEN_WHILE: advance(); while_statement(); break;
            case TOKEN_FOR: advance(); for_statement(); break;
            case TOKEN_DEF: advance(); function_definition(); break;
            case TOKEN_RETURN: advance(); return_statement(); returns = true; break;
            case TOKEN_BREAK: advance(); break_statement(); break;
            case TOKEN_CONTINUE: advance(); continue_statement(); break;
            case TOKEN_MATCH: advance(); returns = match_statement(); break;
            case TOKEN_STRUCT: advance(); struct_code_statement(); break;
            case TOKEN_LEFT_BRACE:
                advance();
                begin_scope();
                returns = block();
                end_scope();
                break;
            case TOKEN_IDENTIFIER: returns = identifier_statement(); break;
            case TOKEN_LEFT_PAREN:
                if (is_func_type_decl_start()) {
                    declaration_statement();
                } else {
                    expression_statement();
                }
                break;
            default:
                if (is_declaration_keyword(parser.current.type)) {
                    declaration_statement();
                } else {
                    expression_statement();
                }
                break;
        }
        break;
    }
    end_of_statement();
    return returns;
}
