// Static types: the type stack, the function-signature table, type names,
// assignability, and the parser of type annotations (int?, Result<int, E>,
// array<T>, map<K, V>, (T, U) => R and struct names).
#include "compiler/types.h"

#include <cstdio>
#include <cstring>

#include "compiler/compiler_internal.h"
#include "compiler/symbol_hooks.h"

FuncSig func_sig_table[FUNC_SIG_MAX];
int func_sig_count = 0;

StaticType type_stack[TYPE_STACK_MAX];
int type_stack_top = 0;

// ---------------------------------------------------------------------------
// Type stack
// ---------------------------------------------------------------------------

void push_type(const StaticType& type) {
    if (type_stack_top >= TYPE_STACK_MAX) {
        compile_abandon_nesting();
        return;
    }
    type_stack[type_stack_top++] = type;
}

StaticType pop_type() {
    // Types below the base belong to the expression that encloses the function
    // being compiled; an error path that pops too much must not take them.
    int floor = current != nullptr ? current->type_stack_base : 0;
    if (type_stack_top <= floor) return st_int();
    return type_stack[--type_stack_top];
}

// ---------------------------------------------------------------------------
// Signatures
// ---------------------------------------------------------------------------

static bool st_identical(const StaticType& a, const StaticType& b) {
    return a.kind == b.kind && a.base == b.base && a.nullable == b.nullable && a.result_state == b.result_state &&
           a.value_base == b.value_base && a.value_nullable == b.value_nullable && a.index == b.index;
}

static bool sig_identical(const FuncSig& a, const FuncSig& b) {
    if (a.param_count != b.param_count || a.has_return != b.has_return) return false;
    for (uint32_t i = 0; i < a.param_count && i < FUNC_MAX_PARAMS; i++) {
        if (!st_identical(a.params[i], b.params[i])) return false;
    }
    return st_identical(a.return_type, b.return_type);
}

int func_sig_add(const FuncSig& sig) {
    // Assignability of function types is structural, so sharing a row between
    // identical signatures changes nothing a program can see, and keeps the
    // table from filling up with copies.
    for (int i = 0; i < func_sig_count; i++) {
        if (sig_identical(func_sig_table[i], sig)) return i;
    }
    if (func_sig_count >= FUNC_SIG_MAX) {
        error_at_current("Too many function signatures.");
        return -1;
    }
    FuncSig& row = func_sig_table[func_sig_count];
    row = FuncSig{};
    row.param_count = sig.param_count > FUNC_MAX_PARAMS ? FUNC_MAX_PARAMS : sig.param_count;
    for (uint32_t i = 0; i < row.param_count; i++) row.params[i] = sig.params[i];
    row.has_return = sig.has_return;
    row.return_type = sig.return_type;
    return func_sig_count++;
}

StaticType func_type_of(const FuncSig& sig) {
    int index = func_sig_add(sig);
    if (index < 0) return st_of_kind(TYPE_STRUCT, BASE_NONE, -1);
    return st_of_kind(TYPE_FUNC, BASE_NONE, index);
}

// ---------------------------------------------------------------------------
// Assignability
// ---------------------------------------------------------------------------

static bool sig_valid(int32_t index) { return index >= 0 && index < func_sig_count; }

static bool sig_assignable(int32_t to_index, int32_t from_index) {
    if (!sig_valid(to_index) || !sig_valid(from_index)) return false;
    const FuncSig& to = func_sig_table[to_index];
    const FuncSig& from = func_sig_table[from_index];
    if (to.param_count != from.param_count || to.has_return != from.has_return) return false;
    if (to.has_return && !st_assignable(to.return_type, from.return_type)) return false;
    for (uint32_t i = 0; i < to.param_count && i < FUNC_MAX_PARAMS; i++) {
        if (!st_assignable(to.params[i], from.params[i])) return false;
        if (!st_assignable(from.params[i], to.params[i])) return false;
    }
    return true;
}

bool st_assignable(const StaticType& to, const StaticType& from) {
    if (st_is_none(from)) return false;
    switch (to.kind) {
        case TYPE_BASE:
            if (to.base == BASE_NONE || to.base == BASE_NULL || from.kind != TYPE_BASE) return false;
            if (from.base == BASE_NULL) return to.nullable != 0;
            return to.base == from.base && (!from.nullable || to.nullable);
        case TYPE_RESULT:
            if (from.kind == TYPE_RESULT_ANY) return from.index == RESULT_ERROR_OPEN || from.index == to.index;
            if (from.kind == TYPE_RESULT) {
                return to.base == from.base && (from.index == RESULT_ERROR_OPEN || from.index == to.index);
            }
            return false;
        case TYPE_RESULT_ANY:
        case TYPE_ARRAY_ANY:
        case TYPE_MAP_ANY:
            return false;
        case TYPE_ARRAY:
            if (from.kind == TYPE_ARRAY_ANY) return true;
            if (from.kind != TYPE_ARRAY) return false;
            if (to.base != from.base || to.nullable != from.nullable) return false;
            if (to.base == BASE_FUNC) return sig_assignable(to.index, from.index);
            return true;
        case TYPE_MAP:
            if (from.kind == TYPE_MAP_ANY) return true;
            return from.kind == TYPE_MAP && to.base == from.base && to.value_base == from.value_base &&
                   to.value_nullable == from.value_nullable;
        case TYPE_STRUCT:
            return from.kind == TYPE_STRUCT && from.index == to.index;
        case TYPE_FUNC:
            return from.kind == TYPE_FUNC && sig_assignable(to.index, from.index);
        default:
            return false;
    }
}

bool st_same(const StaticType& a, const StaticType& b) { return st_assignable(a, b) && st_assignable(b, a); }

// ---------------------------------------------------------------------------
// Names
// ---------------------------------------------------------------------------

namespace {

// Appends into a fixed buffer, cutting what does not fit.
struct NameBuilder {
    char* out;
    size_t cap;
    size_t len;

    void add(const char* text, size_t n) {
        if (len + 1 >= cap) return;
        size_t room = cap - 1 - len;
        if (n > room) n = room;
        std::memcpy(out + len, text, n);
        len += n;
        out[len] = '\0';
    }
    void add(const char* text) { add(text, std::strlen(text)); }
};

const char* base_name(uint32_t base) {
    switch (base) {
        case BASE_NONE: return "no-value";
        case BASE_NULL: return "null";
        case BASE_INT: return "int";
        case BASE_FLOAT: return "float";
        case BASE_BOOL: return "bool";
        case BASE_STRING: return "string";
        case BASE_FUNC: return "function";
        default: return "<unknown>";
    }
}

// Element, value and key names print only the four value bases; anything else is "?".
const char* element_name(uint32_t base) {
    switch (base) {
        case BASE_INT: return "int";
        case BASE_FLOAT: return "float";
        case BASE_BOOL: return "bool";
        case BASE_STRING: return "string";
        default: return "?";
    }
}

const char* key_name(uint32_t base) {
    switch (base) {
        case BASE_INT: return "int";
        case BASE_BOOL: return "bool";
        case BASE_STRING: return "string";
        default: return "?";
    }
}

bool struct_valid(int32_t index) { return index >= 0 && index < struct_count; }

void add_struct_name(NameBuilder& b, int32_t index) {
    const StructEntry& s = struct_table[index];
    size_t n = s.name_len > STRUCT_NAME_SHOWN ? STRUCT_NAME_SHOWN : s.name_len;
    b.add(s.name, n);
}

void add_type_name(NameBuilder& b, const StaticType& t);

void add_func_name(NameBuilder& b, int32_t index) {
    if (!sig_valid(index)) {
        b.add("(...) => ?");
        return;
    }
    const FuncSig& sig = func_sig_table[index];
    b.add("(");
    for (uint32_t i = 0; i < sig.param_count && i < FUNC_MAX_PARAMS; i++) {
        if (i > 0) b.add(", ");
        add_type_name(b, sig.params[i]);
    }
    b.add(") => ");
    if (sig.has_return) {
        add_type_name(b, sig.return_type);
    } else {
        b.add("no-value");
    }
}

void add_base_name(NameBuilder& b, const StaticType& t) {
    b.add(base_name(t.base));
    if (t.nullable && t.base >= BASE_INT && t.base <= BASE_STRING) b.add("?");
}

// Writes the whole name into one buffer, so nested function types never read
// a rotating buffer that a deeper call has already reused.
void add_type_name(NameBuilder& b, const StaticType& t) {
    switch (t.kind) {
        case TYPE_ARRAY:
            b.add("array<");
            if (t.base == BASE_FUNC) {
                add_func_name(b, t.index);
            } else {
                b.add(element_name(t.base));
                if (t.nullable) b.add("?");
            }
            b.add(">");
            return;
        case TYPE_ARRAY_ANY: b.add("array<?>"); return;
        case TYPE_MAP:
            b.add("map<");
            b.add(key_name(t.base));
            b.add(", ");
            b.add(element_name(t.value_base));
            if (t.value_nullable) b.add("?");
            b.add(">");
            return;
        case TYPE_MAP_ANY: b.add("map<?, ?>"); return;
        case TYPE_RESULT:
        case TYPE_RESULT_ANY:
            b.add("Result<");
            b.add(t.kind == TYPE_RESULT ? base_name(t.base) : "?");
            if (struct_valid(t.index)) {
                b.add(", ");
                add_struct_name(b, t.index);
            }
            b.add(">");
            return;
        case TYPE_STRUCT:
            if (struct_valid(t.index)) {
                add_struct_name(b, t.index);
            } else {
                b.add("<struct>");
            }
            return;
        case TYPE_FUNC: add_func_name(b, t.index); return;
        default: add_base_name(b, t); return;
    }
}

char name_buffers[TYPE_NAME_BUFFERS][TYPE_NAME_MAX];
int name_buffer_next = 0;

}  // namespace

const char* static_type_name(const StaticType& type) {
    char* out = name_buffers[name_buffer_next];
    name_buffer_next = (name_buffer_next + 1) % TYPE_NAME_BUFFERS;
    out[0] = '\0';
    NameBuilder b{out, TYPE_NAME_MAX, 0};
    add_type_name(b, type);
    return out;
}

// ---------------------------------------------------------------------------
// Annotations
// ---------------------------------------------------------------------------

static bool is_base_keyword(uint32_t type) { return type >= TOKEN_INT && type <= TOKEN_STRING; }

static uint32_t base_of_keyword(uint32_t type) {
    switch (type) {
        case TOKEN_INT: return BASE_INT;
        case TOKEN_FLOAT: return BASE_FLOAT;
        case TOKEN_BOOL: return BASE_BOOL;
        default: return BASE_STRING;
    }
}

static bool is_type_keyword(uint32_t type) {
    return is_base_keyword(type) || type == TOKEN_RESULT || type == TOKEN_ARRAY || type == TOKEN_MAP;
}

static bool names_struct(const Token& token) {
    return token.type == TOKEN_IDENTIFIER && find_struct(token.start, token.length) >= 0;
}

// "(alias.S," or "(alias.S)" with S a struct the module exports. The struct
// name lies beyond the token window, so it is read from the text; between the
// tokens of one line the scanner skips only blanks.
static bool module_struct_ends_list(const Token& alias, const Token& dot) {
    if (alias.type != TOKEN_IDENTIFIER || dot.type != TOKEN_DOT) return false;
    int module = module_idx_for_name(alias.start, alias.length);
    if (module < 0) return false;
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    auto word = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'; };
    const char* p = dot.start + dot.length;
    while (blank(*p)) p++;
    const char* name = p;
    while (word(*p)) p++;
    if (p == name || find_module_struct(module, name, static_cast<uint32_t>(p - name)) < 0) return false;
    while (blank(*p)) p++;
    return *p == ',' || *p == ')';
}

bool is_func_type_decl_start() {
    if (parser.current.type != TOKEN_LEFT_PAREN) return false;
    if (parser.next.type == TOKEN_RIGHT_PAREN && parser.next2.type == TOKEN_FAT_ARROW) return true;
    if (module_struct_ends_list(parser.next, parser.next2)) return true;
    if (is_type_keyword(parser.next.type) || names_struct(parser.next)) {
        return parser.next2.type == TOKEN_COMMA || parser.next2.type == TOKEN_RIGHT_PAREN;
    }
    return false;
}

// alias.S where S is a struct that the aliased module exports.
static bool names_module_struct(const Token& alias, const Token& dot, const Token& name) {
    if (alias.type != TOKEN_IDENTIFIER || dot.type != TOKEN_DOT || name.type != TOKEN_IDENTIFIER) return false;
    int module = module_idx_for_name(alias.start, alias.length);
    return module >= 0 && find_module_struct(module, name.start, name.length) >= 0;
}

bool is_type_start_now() {
    uint32_t t = parser.current.type;
    if (is_type_keyword(t)) return true;
    if (t == TOKEN_IDENTIFIER) {
        return names_struct(parser.current) || names_module_struct(parser.current, parser.next, parser.next2);
    }
    if (t == TOKEN_LEFT_PAREN) return is_func_type_decl_start();
    return false;
}

// After an error inside <...>: skip to a ">" (consumed), or stop before "{",
// a line break or the end.
static StaticType type_recover() {
    for (;;) {
        uint32_t t = parser.current.type;
        if (t == TOKEN_GREATER) {
            advance();
            break;
        }
        if (t == TOKEN_LEFT_BRACE || t == TOKEN_NEWLINE || t == TOKEN_EOF) break;
        advance();
    }
    return st_none();
}

static StaticType parse_result_type() {
    advance();  // Result
    if (!match(TOKEN_LESS)) {
        error_at_current("Result requires a type parameter, e.g. Result<int>.");
        return type_recover();
    }
    if (!is_base_keyword(parser.current.type)) {
        error_at_current("Expect base type inside Result<...> (int/float/bool/string).");
        return type_recover();
    }
    advance();
    uint32_t base = base_of_keyword(parser.previous.type);
    if (check(TOKEN_QUESTION)) {
        error("nullable inside Result<...> is not supported in 9a.");
        advance();
    }
    int32_t index = -1;
    if (match(TOKEN_COMMA)) {
        if (parser.current.type == TOKEN_IDENTIFIER) {
            int s = find_struct(parser.current.start, parser.current.length);
            if (s >= 0) {
                if (g_symbol_index) symbol_note_use(parser.current, struct_table[s].name);
                index = s;
            } else {
                report_at_current("Result<T, E>: '%.*s' is not a struct (16c)", static_cast<int>(parser.current.length),
                                  parser.current.start);
            }
            advance();
        } else {
            error_at_current("Result<T, E>: E must be a struct type (16c).");
            while (!check(TOKEN_GREATER) && !check(TOKEN_LEFT_BRACE) && !check(TOKEN_NEWLINE) && !check(TOKEN_EOF)) {
                advance();
            }
        }
    }
    if (!match(TOKEN_GREATER)) {
        error_at_current("Expect '>' to close Result<...>.");
        return type_recover();
    }
    return st_of_kind(TYPE_RESULT, base, index);
}

static StaticType parse_array_type() {
    advance();  // array
    if (!match(TOKEN_LESS)) {
        error_at_current("array requires an element type, e.g. array<int>.");
        return type_recover();
    }
    StaticType t = st_of_kind(TYPE_ARRAY, BASE_NONE, -1);
    if (is_base_keyword(parser.current.type)) {
        advance();
        t.base = base_of_keyword(parser.previous.type);
        t.nullable = match(TOKEN_QUESTION) ? 1 : 0;
    } else if (is_func_type_decl_start()) {
        StaticType f = parse_type();
        t.base = BASE_FUNC;
        t.index = f.kind == TYPE_FUNC ? f.index : -1;
    } else {
        error_at_current("Expect base type inside array<...> (int/float/bool/string, optionally '?').");
        return type_recover();
    }
    if (!match(TOKEN_GREATER)) {
        error_at_current("Expect '>' to close array<...>.");
        return type_recover();
    }
    return t;
}

static StaticType parse_map_type() {
    advance();  // map
    if (!match(TOKEN_LESS)) {
        error_at_current("map requires key and value types, e.g. map<string, int>.");
        return type_recover();
    }
    uint32_t k = parser.current.type;
    if (k != TOKEN_STRING && k != TOKEN_INT && k != TOKEN_BOOL) {
        error_at_current("map key type must be string / int / bool (non-nullable).");
        return type_recover();
    }
    advance();
    StaticType t = st_of_kind(TYPE_MAP, base_of_keyword(k), 0);
    if (check(TOKEN_QUESTION)) {
        error("nullable map keys are not allowed.");
        advance();
    }
    if (!match(TOKEN_COMMA)) {
        error_at_current("Expect ',' between map key and value types.");
        return type_recover();
    }
    if (!is_base_keyword(parser.current.type)) {
        error_at_current("map value type must be int / float / bool / string (optionally '?').");
        return type_recover();
    }
    advance();
    t.value_base = base_of_keyword(parser.previous.type);
    t.value_nullable = match(TOKEN_QUESTION) ? 1 : 0;
    if (!match(TOKEN_GREATER)) {
        error_at_current("Expect '>' to close map<...>.");
        return type_recover();
    }
    return t;
}

static StaticType parse_function_type() {
    advance();  // (
    FuncSig sig{};
    if (!check(TOKEN_RIGHT_PAREN)) {
        for (;;) {
            StaticType p = parse_type();
            if (sig.param_count < FUNC_MAX_PARAMS) sig.params[sig.param_count++] = p;
            if (!match(TOKEN_COMMA)) break;
            if (sig.param_count >= FUNC_MAX_PARAMS) {
                error("Too many function-type parameters.");
                break;
            }
        }
    }
    consume(TOKEN_RIGHT_PAREN, "Expect ')' to close function-type parameters.");
    consume(TOKEN_FAT_ARROW, "Expect '=>' in function type.");
    StaticType r = parse_type();
    if (st_is_none(r)) {
        sig.has_return = 0;
        sig.return_type = st_none();
    } else {
        sig.has_return = 1;
        sig.return_type = r;
    }
    return func_type_of(sig);
}

StaticType parse_type() {
    uint32_t t = parser.current.type;
    if (is_base_keyword(t)) {
        advance();
        bool nullable = match(TOKEN_QUESTION);
        return st_base(base_of_keyword(t), nullable);
    }
    if (t == TOKEN_IDENTIFIER) {
        const Token name = parser.current;
        int alias = module_idx_for_name(name.start, name.length);
        if (alias >= 0 && parser.next.type == TOKEN_DOT && parser.next2.type == TOKEN_IDENTIFIER) {
            int s = find_module_struct(alias, parser.next2.start, parser.next2.length);
            if (s >= 0) {
                if (g_symbol_index) symbol_note_alias_use(name);
                if (g_symbol_index) symbol_note_use(parser.next2, struct_table[s].name);
                advance();
                advance();
                advance();
                return st_of_kind(TYPE_STRUCT, BASE_NONE, s);
            }
        }
        int s = find_struct(name.start, name.length);
        if (s >= 0) {
            if (g_symbol_index) symbol_note_use(name, struct_table[s].name);
            advance();
            return st_of_kind(TYPE_STRUCT, BASE_NONE, s);
        }
    }
    if (t == TOKEN_RESULT) return parse_result_type();
    if (t == TOKEN_ARRAY) return parse_array_type();
    if (t == TOKEN_MAP) return parse_map_type();
    if (t == TOKEN_LEFT_PAREN) {
        // Function types nest through their parameter and return types.
        if (!nesting_enter()) return st_none();
        StaticType f = parse_function_type();
        nesting_leave();
        return f;
    }
    error_at_current("Expect type (int/float/bool/string/Result<...>/array<...>/map<...,...>/StructName).");
    return st_none();
}

void skip_type_token() {
    uint32_t t = parser.current.type;
    if (t == TOKEN_LEFT_PAREN) {
        parse_type();
        return;
    }
    if (is_base_keyword(t)) {
        advance();
        match(TOKEN_QUESTION);
        return;
    }
    if (t == TOKEN_IDENTIFIER) {
        advance();
        if (check(TOKEN_DOT) && parser.next.type == TOKEN_IDENTIFIER) {
            advance();
            advance();
        }
        return;
    }
    if (t == TOKEN_RESULT || t == TOKEN_ARRAY || t == TOKEN_MAP) {
        advance();
        if (!match(TOKEN_LESS)) return;
        int depth = 1;
        while (depth > 0) {
            uint32_t c = parser.current.type;
            if (c == TOKEN_NEWLINE || c == TOKEN_EOF || c == TOKEN_LEFT_BRACE) return;
            if (c == TOKEN_LESS) depth++;
            if (c == TOKEN_GREATER) depth--;
            if (c == TOKEN_GREATER_GREATER) depth -= 2;
            advance();
        }
    }
}
