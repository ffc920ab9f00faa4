// Struct declarations: the declaration pass reads a struct's fields and method
// signatures; the code pass compiles the method bodies where the struct stands.
// Methods receive their instance in slot 1 as the read-only local `self`.
#include <cstdio>
#include <cstring>

#include "compiler/compiler_internal.h"
#include "compiler/symbol_hooks.h"

namespace {

// A method's function is named "Struct::method", cut to this many characters.
constexpr size_t METHOD_NAME_MAX = 256;

int tlen(const Token& t) { return static_cast<int>(t.length); }

bool same(const char* a, uint32_t a_len, const Token& t) {
    return a_len == t.length && std::memcmp(a, t.start, a_len) == 0;
}

int field_named(const StructEntry& s, const Token& name) {
    for (int i = 0; i < s.field_count && i < STRUCT_FIELDS_MAX; i++) {
        if (same(s.fields[i].name, s.fields[i].name_len, name)) return i;
    }
    return -1;
}

int method_named(const StructEntry& s, const Token& name) {
    for (int i = 0; i < s.method_count && i < STRUCT_METHODS_MAX; i++) {
        if (same(s.methods[i].name, s.methods[i].name_len, name)) return i;
    }
    return -1;
}

// After a member that failed (already reported): on to the next line break or
// comma (consumed), or to the closing brace or the end (not consumed), so the
// member loop always moves forward.
void skip_member() {
    for (;;) {
        uint32_t t = parser.current.type;
        if (t == TOKEN_NEWLINE || t == TOKEN_COMMA) {
            advance();
            return;
        }
        if (t == TOKEN_RIGHT_BRACE || t == TOKEN_EOF) return;
        advance();
    }
}

// Skips to the matching "}" of the brace already consumed, leaving it current.
void skip_to_closing_brace() {
    int depth = 1;
    while (!check(TOKEN_EOF)) {
        if (check(TOKEN_LEFT_BRACE)) depth++;
        if (check(TOKEN_RIGHT_BRACE) && --depth == 0) return;
        advance();
    }
}

// Declaration pass: a method signature, at `def`.
void read_method_signature(int struct_idx) {
    StructEntry& s = struct_table[struct_idx];
    advance();  // def
    consume(TOKEN_IDENTIFIER, "Expect method name after 'def'.");
    const Token name = parser.previous;
    StructMethod* method = nullptr;
    if (name.type == TOKEN_IDENTIFIER) {
        if (method_named(s, name) >= 0) {
            report_at(name, nullptr, "duplicate method '%.*s' in struct '%.*s'", tlen(name), name.start,
                      static_cast<int>(s.name_len), s.name);
        } else if (field_named(s, name) >= 0) {
            report_at(name, nullptr, "method '%.*s' collides with a field of struct '%.*s'", tlen(name), name.start,
                      static_cast<int>(s.name_len), s.name);
        } else if (s.method_count >= STRUCT_METHODS_MAX) {
            report_at(name, nullptr, "Too many methods in one struct.");
        } else {
            ObjFunction* function = compiler_new_function();
            // The row roots the function before its name is allocated.
            method = &s.methods[s.method_count++];
            *method = StructMethod{};
            method->name = name.start;
            method->name_len = name.length;
            method->return_type = st_none();
            method->function = function;
            char full[METHOD_NAME_MAX + 1];
            int n = std::snprintf(full, sizeof full, "%.*s::%.*s", static_cast<int>(s.name_len), s.name, tlen(name),
                                  name.start);
            if (n < 0) n = 0;
            if (static_cast<size_t>(n) > METHOD_NAME_MAX) n = static_cast<int>(METHOD_NAME_MAX);
            function->name = copy_string(full, n);
        }
    }
    consume(TOKEN_LEFT_PAREN, "Expect '(' after method name.");
    SignatureRead signature;
    // A trailing comma is accepted.
    read_signature(&signature, true, "Expect parameter type.", "Too many method parameters.",
                   "Expect ')' after method parameters.");
    if (method != nullptr) {
        method->param_count = signature.count;
        for (uint32_t i = 0; i < signature.count; i++) method->params[i] = signature.params[i];
        method->has_return = signature.has_return ? 1 : 0;
        method->return_type = signature.return_type;
        // The receiver is the first argument.
        method->function->arity = static_cast<int32_t>(signature.count) + 1;
    }
    if (parser.panic_mode) {
        // The signature failed: find its body without reading the rest of
        // the line as members.
        while (!check(TOKEN_LEFT_BRACE) && !check(TOKEN_NEWLINE) && !check(TOKEN_RIGHT_BRACE) && !check(TOKEN_EOF)) {
            advance();
        }
        if (check(TOKEN_LEFT_BRACE)) skip_brace_block();
    } else {
        skip_brace_block();
    }
    clear_panic();
}

// Declaration pass: a field, at its type. False ends the member loop.
bool read_field(int struct_idx) {
    StructEntry& s = struct_table[struct_idx];
    if (s.field_count >= STRUCT_FIELDS_MAX) {
        error_at_current("Too many struct fields.");
        skip_to_closing_brace();
        return false;
    }
    // A type that failed (parse_type has reported it) reads as no-value,
    // which no written type can be.
    StaticType type = parse_type();
    if (st_is_none(type)) {
        skip_member();
        return true;
    }
    if (!check(TOKEN_IDENTIFIER)) {
        error_at_current("Expect field name after type.");
        skip_member();
        return true;
    }
    advance();
    const Token name = parser.previous;
    if (field_named(s, name) >= 0) {
        report_at(name, nullptr, "duplicate field '%.*s' in struct '%.*s'", tlen(name), name.start,
                  static_cast<int>(s.name_len), s.name);
    } else if (method_named(s, name) >= 0) {
        report_at(name, nullptr, "field '%.*s' collides with a method of struct '%.*s'", tlen(name), name.start,
                  static_cast<int>(s.name_len), s.name);
    } else {
        StructField& f = s.fields[s.field_count];
        f = StructField{name.start, name.length, type};
        s.field_count++;
    }
    match(TOKEN_COMMA);
    return true;
}

// Code pass: steps over a field (its type, its name and a comma). The comma is
// optional, so the next member (a field or a method) may follow on the line.
void skip_field() {
    const char* at = parser.current.start;
    if (is_type_start_now()) skip_type_token();
    if (check(TOKEN_IDENTIFIER)) advance();
    if (match(TOKEN_COMMA)) return;
    // Anything that is not a field was reported by the declaration pass;
    // never stand still.
    if (parser.current.start == at) skip_member();
}

// Steps from a method that cannot be compiled to past its body.
void skip_method() {
    while (!check(TOKEN_LEFT_BRACE) && !check(TOKEN_NEWLINE) && !check(TOKEN_RIGHT_BRACE) && !check(TOKEN_EOF)) {
        advance();
    }
    if (check(TOKEN_LEFT_BRACE)) skip_brace_block();
}

}  // namespace

void struct_declaration_read() {
    advance();  // struct
    consume(TOKEN_IDENTIFIER, "Expect struct name after 'struct'.");
    const Token name = parser.previous;
    int s = name.type == TOKEN_IDENTIFIER ? find_struct(name.start, name.length) : -1;
    if (s < 0 || struct_table[s].module_idx != current_module_idx || struct_table[s].field_count >= 0) {
        if (check(TOKEN_LEFT_BRACE)) skip_brace_block();
        return;
    }
    consume(TOKEN_LEFT_BRACE, "Expect '{' after struct name.");
    struct_table[s].field_count = 0;
    while (!check(TOKEN_RIGHT_BRACE) && !check(TOKEN_EOF)) {
        if (match(TOKEN_NEWLINE)) continue;
        if (check(TOKEN_DEF)) {
            read_method_signature(s);
            continue;
        }
        if (!read_field(s)) break;
    }
    if (g_symbol_index) symbol_note_struct(s);
    consume(TOKEN_RIGHT_BRACE, "Expect '}' after struct body.");
}

void struct_code_statement() {
    consume(TOKEN_IDENTIFIER, "Expect struct name after 'struct'.");
    const Token name = parser.previous;
    int s = name.type == TOKEN_IDENTIFIER ? find_struct(name.start, name.length) : -1;
    if (s < 0 || struct_table[s].field_count < 0) {
        // A struct inside a function body was registered by name only: its
        // body, methods included, is stepped over without compiling anything.
        if (check(TOKEN_LEFT_BRACE)) {
            skip_brace_block();
        } else {
            error_at_current("Expect '{' after struct name.");
        }
        return;
    }
    consume(TOKEN_LEFT_BRACE, "Expect '{' after struct name.");
    while (!check(TOKEN_RIGHT_BRACE) && !check(TOKEN_EOF)) {
        if (match(TOKEN_NEWLINE)) continue;
        if (match(TOKEN_DEF)) {
            struct_method_compile(s);
            clear_panic();
            continue;
        }
        skip_field();
    }
    consume(TOKEN_RIGHT_BRACE, "Expect '}' after struct body.");
}

void struct_method_compile(int struct_idx) {
    consume(TOKEN_IDENTIFIER, "Expect method name after 'def'.");
    const Token name = parser.previous;
    const StructEntry& s = struct_table[struct_idx];
    int m = name.type == TOKEN_IDENTIFIER ? method_named(s, name) : -1;
    if (m < 0 || s.methods[m].function == nullptr) {
        skip_method();
        return;
    }
    const StructMethod method = s.methods[m];
    compiler_push(method.function, false, false);
    current->has_return = method.has_return;
    current->return_type = method.has_return ? method.return_type : st_none();
    current->locals[1] = Local{"self", 4, st_of_kind(TYPE_STRUCT, BASE_NONE, struct_idx), 0, 1, LOCAL_SELF, 0};
    current->local_count = 2;
    consume(TOKEN_LEFT_PAREN, "Expect '(' after method name.");
    // A trailing comma is accepted, as in the signature.
    bool returns = compile_parameters_and_body(method.params, method.param_count, true,
                                               "Expect ')' after method parameters.", "Expect '{' before method body.");
    if (method.has_return && !returns) {
        report_at(name, nullptr, "method '%.*s::%.*s' may not return a value on all paths",
                  static_cast<int>(s.name_len), s.name, tlen(name), name.start);
    }
    emit_byte(method.has_return ? OP_MISSING_RETURN : OP_RETURN_NO_VALUE);
    compiler_pop();
}
