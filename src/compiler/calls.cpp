// Calls and lambdas: value calls through a function type, direct calls of
// declared functions and natives (checked against their table rows), calls of
// a module's exported functions, and lambdas with their captures.
#include <cstdio>

#include "compiler/compiler_internal.h"
#include "compiler/symbol_hooks.h"
#include "vm/vm.h"

int32_t inferring_lambda_func_idx = -1;

namespace {

struct CallArguments {
    int count;
    StaticType types[FUNC_MAX_PARAMS];  // the first arguments only; the rest are counted
};

// Compiles the arguments up to (not including) ")". An argument passed to a
// parameter of function type may be a lambda whose parameter types come from it.
CallArguments compile_arguments(const StaticType* params, uint32_t param_count) {
    CallArguments args{};
    if (check(TOKEN_RIGHT_PAREN)) return args;
    do {
        int32_t saved = inferring_lambda_func_idx;
        bool takes_function = static_cast<uint32_t>(args.count) < param_count && params[args.count].kind == TYPE_FUNC;
        inferring_lambda_func_idx = takes_function ? params[args.count].index : -1;
        expression();
        inferring_lambda_func_idx = saved;
        StaticType t = pop_type();
        // Structs are values: the callee gets its own copy.
        if (t.kind == TYPE_STRUCT) emit_copy_struct();
        if (args.count < FUNC_MAX_PARAMS) args.types[args.count] = t;
        args.count++;
    } while (match(TOKEN_COMMA));
    return args;
}

uint8_t call_operand(int count) { return static_cast<uint8_t>(count > 255 ? 255 : count); }

// The value a call leaves, by its declared result.
void push_call_result(bool has_return, const StaticType& return_type) {
    if (!has_return) {
        push_type(st_none());
        return;
    }
    if (st_is_none(return_type)) {
        emit_byte(OP_POP);
        push_type(st_none());
        return;
    }
    push_type(return_type);
}

void direct_call_in(const FunctionEntry* entry, const Token& name, const char* module_name) {
    consume(TOKEN_LEFT_PAREN, "Expect '(' after function name.");
    // The row is copied: it must not change under the arguments' compilation.
    FunctionEntry f = *entry;
    emit_constant(obj_val(f.callee));
    CallArguments args = compile_arguments(f.params, f.checker != nullptr ? 0 : f.param_count);
    consume(TOKEN_RIGHT_PAREN, "Expect ')' after arguments.");
    int n = static_cast<int>(name.length);
    if (f.checker != nullptr) {
        // A native's messages name it as the call wrote it: "math.sqrt"
        // through a module alias, the local name after a from-import.
        char shown[2 * MODULE_NAME_MAX];
        if (module_name != nullptr) {
            std::snprintf(shown, sizeof shown, "%s.%.*s", module_name, n, name.start);
        } else {
            std::snprintf(shown, sizeof shown, "%.*s", n, name.start);
        }
        f.name = shown;
        SigCheckResult result = f.checker(&f, args.count, args.types);
        if (!result.ok) report_at(name, nullptr, "%s", result.message);
        emit_bytes(OP_CALL, call_operand(args.count));
        // A native without a result still leaves null behind.
        if (st_is_none(result.result_type)) {
            emit_byte(OP_POP);
            push_type(st_none());
        } else {
            push_type(result.result_type);
        }
        return;
    }
    int expected = static_cast<int>(f.param_count);
    if (args.count != expected) {
        if (module_name != nullptr) {
            report_at(name, nullptr, "function '%s.%.*s' expects %d arguments, got %d", module_name, n, name.start,
                      expected, args.count);
        } else {
            report_at(name, nullptr, "function '%.*s' expects %d arguments, got %d", n, name.start, expected,
                      args.count);
        }
    } else {
        for (int i = 0; i < args.count && i < FUNC_MAX_PARAMS; i++) {
            if (st_assignable(f.params[i], args.types[i])) continue;
            const char* want = static_type_name(f.params[i]);
            const char* got = static_type_name(args.types[i]);
            if (module_name != nullptr) {
                report_at(name, nullptr, "argument %d of '%s.%.*s' expects %s, got %s", i + 1, module_name, n,
                          name.start, want, got);
            } else {
                report_at(name, nullptr, "argument %d of '%.*s' expects %s, got %s", i + 1, n, name.start, want, got);
            }
            break;
        }
    }
    emit_bytes(OP_CALL, call_operand(args.count));
    push_call_result(f.has_return != 0, f.return_type);
}

bool is_lambda_type_keyword(uint32_t type) {
    return (type >= TOKEN_INT && type <= TOKEN_STRING) || type == TOKEN_RESULT || type == TOKEN_ARRAY ||
           type == TOKEN_MAP;
}

}  // namespace

void direct_call(const FunctionEntry* entry, const Token& name) { direct_call_in(entry, name, nullptr); }

void call_infix() {
    StaticType callee = pop_type();
    if (callee.kind != TYPE_FUNC || callee.index < 0 || callee.index >= func_sig_count) {
        error("value is not callable (expected a function)");
        while (!check(TOKEN_RIGHT_PAREN) && !check(TOKEN_NEWLINE) && !check(TOKEN_EOF)) advance();
        match(TOKEN_RIGHT_PAREN);
        push_type(st_int());
        return;
    }
    const FuncSig sig = func_sig_table[callee.index];
    CallArguments args = compile_arguments(sig.params, sig.param_count);
    consume(TOKEN_RIGHT_PAREN, "Expect ')' after arguments.");
    int expected = static_cast<int>(sig.param_count);
    if (args.count != expected) {
        report_at_previous("function expects %d argument%s, got %d", expected, expected == 1 ? "" : "s", args.count);
    } else {
        for (int i = 0; i < args.count && i < FUNC_MAX_PARAMS; i++) {
            if (st_assignable(sig.params[i], args.types[i])) continue;
            report_at_previous("argument %d expects %s, got %s", i + 1, static_type_name(sig.params[i]),
                               static_type_name(args.types[i]));
            break;
        }
    }
    emit_bytes(OP_CALL, call_operand(args.count));
    push_call_result(sig.has_return != 0, sig.return_type);
}

void module_qualified_name(int module_idx) {
    advance();  // .
    // A module may export a function named like a type keyword (std/random's
    // `float`); after an alias's dot such a name can only be a member.
    if (!consume_member_name(TOKEN_FLOAT)) return;
    const Token member = parser.previous;
    int n = static_cast<int>(member.length);
    const char* module_name = module_table[module_idx].name;
    if (FunctionEntry* f = find_module_function(module_idx, member.start, member.length)) {
        if (g_symbol_index) symbol_note_use(member, f->name);
        direct_call_in(f, member, module_name);
        return;
    }
    int s = find_module_struct(module_idx, member.start, member.length);
    if (s >= 0) {
        if (g_symbol_index) symbol_note_use(member, struct_table[s].name);
        if (check(TOKEN_LEFT_BRACE)) {
            struct_construction(s, member);
            return;
        }
        report_at(member, nullptr, "struct name '%s.%.*s' used as a value; construct it as %s.%.*s { \xe2\x80\xa6 }",
                  module_name, n, member.start, module_name, n, member.start);
        push_type(st_of_kind(TYPE_STRUCT, BASE_NONE, s));
        return;
    }
    if (find_module_private_function(module_idx, member.start, member.length) != nullptr ||
        find_module_private_struct(module_idx, member.start, member.length) >= 0) {
        report_at(member, nullptr, "'%.*s' is not exported from module '%s'", n, member.start, module_name);
    } else {
        report_at(member, nullptr, "module '%s' has no export '%.*s'", module_name, n, member.start);
    }
    push_type(st_int());
}

bool grouping_is_lambda() {
    const Token& cur = parser.current;
    const Token& next = parser.next;
    if (cur.type == TOKEN_RIGHT_PAREN && next.type == TOKEN_FAT_ARROW) return true;
    if (is_lambda_type_keyword(cur.type) && next.type == TOKEN_IDENTIFIER) return true;
    if (cur.type == TOKEN_IDENTIFIER) {
        if (next.type == TOKEN_IDENTIFIER && find_struct(cur.start, cur.length) >= 0) return true;
        // (alias.S name) => ...; a "{" after the name makes it a struct literal.
        const Token& next2 = parser.next2;
        if (next.type == TOKEN_DOT && next2.type == TOKEN_IDENTIFIER && !brace_follows_on_line(next2)) {
            int module = module_idx_for_name(cur.start, cur.length);
            if (module >= 0 && find_module_struct(module, next2.start, next2.length) >= 0) return true;
        }
        if (inferring_lambda_func_idx != -1 && (next.type == TOKEN_COMMA || next.type == TOKEN_RIGHT_PAREN)) {
            return true;
        }
    }
    return false;
}

void lambda_compile() {
    ObjFunction* function = compiler_new_function();
    compiler_push(function, false, true);
    int saved_narrowing_count = narrowing_count;
    int saved_narrowing_base = narrowing_base;
    narrowing_base = narrowing_count;
    LoopContext* saved_loop = current_loop;
    current_loop = nullptr;

    bool has_expected = inferring_lambda_func_idx >= 0 && inferring_lambda_func_idx < func_sig_count;
    FuncSig expected = has_expected ? func_sig_table[inferring_lambda_func_idx] : FuncSig{};
    inferring_lambda_func_idx = -1;

    FuncSig sig{};
    if (!check(TOKEN_RIGHT_PAREN)) {
        for (;;) {
            uint32_t i = sig.param_count;
            bool expected_here = has_expected && i < expected.param_count;
            StaticType t;
            if (is_type_start_now()) {
                t = parse_type();
                if (expected_here && !st_assignable(expected.params[i], t)) {
                    report_at_previous("lambda param %d type mismatch: expected %s, got %s", static_cast<int>(i) + 1,
                                       static_type_name(expected.params[i]), static_type_name(t));
                }
            } else if (expected_here) {
                t = expected.params[i];
            } else {
                error_at_current("cannot infer lambda param type; add explicit type annotation");
                break;
            }
            if (!check(TOKEN_IDENTIFIER)) {
                error_at_current("Expect parameter name after type.");
                break;
            }
            advance();
            declare_local(parser.previous.start, parser.previous.length, t);
            sig.params[sig.param_count++] = t;
            function->arity = static_cast<int32_t>(sig.param_count);
            if (!match(TOKEN_COMMA)) break;
            if (sig.param_count >= FUNC_MAX_PARAMS) {
                error("Too many lambda parameters.");
                break;
            }
        }
    }
    consume(TOKEN_RIGHT_PAREN, "Expect ')' after lambda parameters.");
    consume(TOKEN_FAT_ARROW, "Expect '=>' after lambda parameters.");

    if (!check(TOKEN_LEFT_BRACE)) {
        expression();
        StaticType t = pop_type();
        if (st_is_none(t)) {
            emit_byte(OP_RETURN_NO_VALUE);
        } else {
            emit_return();
            current->has_return = 1;
            current->return_type = t;
        }
    } else {
        advance();
        begin_scope();
        bool returns = block();
        end_scope();
        if (current->has_return) {
            if (current->bare_return_seen) {
                // The caller expects a value, which that return would not leave.
                report_at(current->bare_return_token, nullptr, "missing return value");
            }
            if (!returns) error("lambda may not return a value on all paths");
            emit_byte(OP_MISSING_RETURN);
        } else {
            emit_byte(OP_RETURN_NO_VALUE);
        }
    }

    narrowing_count = saved_narrowing_count;
    narrowing_base = saved_narrowing_base;
    current_loop = saved_loop;

    sig.has_return = current->has_return;
    sig.return_type = current->has_return ? current->return_type : st_none();
    // Detached from the chain, the function is held as a root while the
    // enclosing pool may grow; its capture list is still read from the state.
    Compiler* inner = current;
    current = inner->enclosing;
    vm_push_transient(&function->obj);
    int index = chunk_add_constant(current_chunk(), obj_val(function));
    vm_pop_transient();
    if (index >= CHUNK_MAX_CONSTANTS) {
        compiler_release(inner);
        error("too many constants in this chunk (lambda overflow).");
        push_type(st_none());
        return;
    }
    emit_bytes(OP_CLOSURE, static_cast<uint8_t>(index));
    emit_byte(static_cast<uint8_t>(inner->upvalue_count));
    // Byte by byte: emit_bytes takes its first byte for an opcode (a capture
    // pair's 0 would read as OP_CONSTANT to the load fusion).
    for (int i = 0; i < inner->upvalue_count; i++) {
        emit_byte(inner->upvalues[i].is_local);
        emit_byte(inner->upvalues[i].index);
    }
    compiler_release(inner);
    push_type(func_type_of(sig));
}
