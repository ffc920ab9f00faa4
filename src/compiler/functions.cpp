// Named functions: the signature a `def` records in the declaration pass, the
// compilation of its body in the code pass, and the printing of struct
// instances by their declared field names.
#include <cstdio>
#include <cstring>

#include "compiler/compiler_internal.h"
#include "compiler/symbol_hooks.h"

namespace {

int name_len(const Token& t) { return static_cast<int>(t.length); }

// Steps from a `def` that cannot be compiled to past its body.
void skip_definition() {
    while (!check(TOKEN_LEFT_BRACE) && !check(TOKEN_NEWLINE) && !check(TOKEN_EOF)) advance();
    if (check(TOKEN_LEFT_BRACE)) skip_brace_block();
}

}  // namespace

void read_signature(SignatureRead* out, bool trailing_comma, const char* type_message, const char* too_many_message,
                    const char* close_message) {
    out->count = 0;
    if (!check(TOKEN_RIGHT_PAREN)) {
        for (;;) {
            if (!is_type_start_now()) {
                error_at_current(type_message);
                break;
            }
            StaticType t = parse_type();
            consume(TOKEN_IDENTIFIER, "Expect parameter name.");
            out->params[out->count++] = t;
            if (!match(TOKEN_COMMA)) break;
            if (trailing_comma && check(TOKEN_RIGHT_PAREN)) break;
            if (out->count >= FUNC_MAX_PARAMS) {
                error(too_many_message);
                break;
            }
        }
    }
    consume(TOKEN_RIGHT_PAREN, close_message);
    out->has_return = is_type_start_now();
    out->return_type = out->has_return ? parse_type() : st_none();
}

void record_function_signature() {
    advance();  // def
    if (!check(TOKEN_IDENTIFIER)) {
        error_at_current("Expect function name after 'def'.");
        return;
    }
    advance();
    const Token name = parser.previous;
    FunctionEntry* entry = nullptr;
    if (find_function(name.start, name.length) != nullptr) {
        report_at(name, nullptr, "function '%.*s' already defined", name_len(name), name.start);
    } else if (find_struct(name.start, name.length) >= 0 && find_global(name.start, name.length) < 0) {
        report_at(name, nullptr, "name '%.*s' conflicts with a struct", name_len(name), name.start);
    } else {
        if (find_global(name.start, name.length) >= 0) {
            report_at(name, nullptr, "name '%.*s' conflicts with a variable", name_len(name), name.start);
        }
        if (function_count >= FUNCTIONS_MAX) {
            report_at(name, nullptr, "Too many functions.");
        } else {
            ObjFunction* function = compiler_new_function();
            // The row roots the function before its name is allocated.
            entry = &function_table[function_count++];
            *entry = FunctionEntry{};
            entry->name = name.start;
            entry->name_len = name.length;
            entry->callee = &function->obj;
            entry->return_type = st_none();
            entry->module_idx = current_module_idx;
            entry->exported = pass1_pending_export;
            function->name = copy_string(name.start, static_cast<int>(name.length));
        }
    }

    consume(TOKEN_LEFT_PAREN, "Expect '(' after function name.");
    SignatureRead signature;
    read_signature(&signature, false, "Expect parameter type (int/float/bool/string, optionally with '?').",
                   "Too many parameters.", "Expect ')' after parameters.");
    if (entry != nullptr) {
        entry->param_count = signature.count;
        for (uint32_t i = 0; i < signature.count; i++) entry->params[i] = signature.params[i];
        entry->has_return = signature.has_return ? 1 : 0;
        entry->return_type = signature.return_type;
        reinterpret_cast<ObjFunction*>(entry->callee)->arity = static_cast<int32_t>(signature.count);
        if (g_symbol_index) symbol_note_function(*entry);
    }
    skip_brace_block();
}

bool compile_parameters_and_body(const StaticType* params, uint32_t param_count, bool trailing_comma,
                                 const char* close_message, const char* body_message) {
    // Narrowings and loops of the enclosing code do not reach into the body.
    int saved_narrowing_count = narrowing_count;
    int saved_narrowing_base = narrowing_base;
    narrowing_base = narrowing_count;
    LoopContext* saved_loop = current_loop;
    current_loop = nullptr;

    // The declaration pass checked the signature and recorded its types; here
    // only the names are declared, with those types.
    uint32_t index = 0;
    if (!check(TOKEN_RIGHT_PAREN)) {
        for (;;) {
            if (!is_type_start_now()) {
                error_at_current("Expect parameter type.");
                break;
            }
            skip_type_token();
            consume(TOKEN_IDENTIFIER, "Expect parameter name.");
            if (index < param_count) declare_local(parser.previous.start, parser.previous.length, params[index]);
            index++;
            if (!match(TOKEN_COMMA)) break;
            if (trailing_comma && check(TOKEN_RIGHT_PAREN)) break;
            if (index >= FUNC_MAX_PARAMS) {
                error("Too many parameters.");
                break;
            }
        }
    }
    consume(TOKEN_RIGHT_PAREN, close_message);
    if (is_type_start_now()) skip_type_token();
    consume(TOKEN_LEFT_BRACE, body_message);
    begin_scope();
    bool returns = block();
    end_scope();

    narrowing_count = saved_narrowing_count;
    narrowing_base = saved_narrowing_base;
    current_loop = saved_loop;
    return returns;
}

void function_definition() {
    const Token keyword = parser.previous;
    if (!current->is_top_level) {
        // The declaration pass never saw this body, so it has no function
        // object to be compiled into: it is stepped over.
        report_at(keyword, nullptr, "Functions can only be defined at top level.");
        skip_definition();
        return;
    }
    consume(TOKEN_IDENTIFIER, "Expect function name after 'def'.");
    const Token name = parser.previous;
    FunctionEntry* found = find_function(name.start, name.length);
    if (name.type != TOKEN_IDENTIFIER || found == nullptr || found->checker != nullptr ||
        found->callee == nullptr || found->callee->kind != OBJ_FUNCTION) {
        skip_definition();
        return;
    }
    const FunctionEntry entry = *found;
    compiler_push(reinterpret_cast<ObjFunction*>(entry.callee), false, false);
    current->has_return = entry.has_return;
    current->return_type = entry.has_return ? entry.return_type : st_none();
    consume(TOKEN_LEFT_PAREN, "Expect '(' after function name.");
    bool returns = compile_parameters_and_body(entry.params, entry.param_count, false,
                                               "Expect ')' after parameters.", "Expect '{' before function body.");
    if (entry.has_return && !returns) {
        report_at(name, nullptr, "function '%.*s' may not return a value on all paths", name_len(name), name.start);
    }
    emit_byte(entry.has_return ? OP_MISSING_RETURN : OP_RETURN_NO_VALUE);
    compiler_pop();
}

void compiler_print_struct(ObjStruct* instance, std::FILE* out) {
    if (instance->name != nullptr) {
        std::fwrite(instance->name->chars, 1, static_cast<size_t>(instance->name->length), out);
    } else {
        std::fputs("<struct>", out);
    }
    const StructEntry* entry = nullptr;
    for (int i = 0; i < struct_count; i++) {
        if (instance->name != nullptr && struct_table[i].name_object == instance->name) {
            entry = &struct_table[i];
            break;
        }
    }
    if (entry == nullptr || entry->field_count < 0) {
        std::fputs(" { ... }", out);
        return;
    }
    std::fputs(" { ", out);
    for (int i = 0; i < entry->field_count && i < instance->field_count; i++) {
        if (i > 0) std::fputs(", ", out);
        std::fprintf(out, "%.*s: ", static_cast<int>(entry->fields[i].name_len), entry->fields[i].name);
        value_print(instance->fields[i], out);
    }
    std::fputs(" }", out);
}
