// Compiler states, block scopes, locals and captured variables, the lookups
// over the compile tables, and `variable`: what a bare name means and its read.
#include <cstring>
#include <new>

#include "compiler/compiler_internal.h"
#include "compiler/symbol_hooks.h"
#include "runtime/memory.h"

Compiler* current = nullptr;

static bool same_name(const char* a, uint32_t a_len, const char* b, uint32_t b_len) {
    return a_len == b_len && std::memcmp(a, b, a_len) == 0;
}

// ---------------------------------------------------------------------------
// Compiler states
// ---------------------------------------------------------------------------

void compiler_push(ObjFunction* function, bool is_top_level, bool is_lambda) {
    void* memory = mem_alloc(sizeof(Compiler));
    Compiler* c = new (memory) Compiler{};
    c->enclosing = current;
    c->function = function;
    c->is_top_level = is_top_level ? 1 : 0;
    c->is_lambda = is_lambda ? 1 : 0;
    c->has_return = 0;
    c->return_type = st_none();
    // Slot 0 holds the callee at run time; its empty name is never found.
    c->locals[0] = Local{"", 0, st_none(), 0, 0, LOCAL_PLAIN, 0};
    c->local_count = 1;
    c->scope_depth = 0;
    c->upvalue_count = 0;
    c->type_stack_base = type_stack_top;
    current = c;
}

void compiler_release(Compiler* compiler) {
    compiler->~Compiler();
    mem_free(compiler);
}

void compiler_pop() {
    Compiler* c = current;
    if (c == nullptr) return;
    current = c->enclosing;
    compiler_release(c);
}

// ---------------------------------------------------------------------------
// Scopes and locals
// ---------------------------------------------------------------------------

void begin_scope() { current->scope_depth++; }

static void emit_discard(const Local& local) { emit_byte(local.is_captured ? OP_CLOSE_UPVALUE : OP_POP); }

void end_scope() {
    Compiler* c = current;
    int depth = c->scope_depth;
    while (c->local_count > 1 && c->locals[c->local_count - 1].depth >= depth) {
        emit_discard(c->locals[c->local_count - 1]);
        c->local_count--;
    }
    c->scope_depth--;
}

void emit_discard_locals_above(int count) {
    for (int i = current->local_count - 1; i >= count && i >= 1; i--) emit_discard(current->locals[i]);
}

int declare_local(const char* name, uint32_t length, const StaticType& type) {
    Compiler* c = current;
    for (int i = c->local_count - 1; i >= 1; i--) {
        const Local& local = c->locals[i];
        if (local.depth < c->scope_depth) break;
        if (same_name(local.name, local.name_len, name, length)) {
            report_at_previous("variable '%.*s' already declared", static_cast<int>(length), name);
            return -1;
        }
    }
    if (c->local_count >= LOCALS_MAX) {
        error("Too many locals.");
        return -1;
    }
    c->locals[c->local_count] = Local{name, length, type, c->scope_depth, 0, LOCAL_PLAIN, 0};
    if (g_symbol_index) symbol_note_local(c->locals[c->local_count], c->scope_depth == 0 && !c->is_top_level);
    return c->local_count++;
}

int resolve_local(Compiler* compiler, const char* name, uint32_t length) {
    for (int i = compiler->local_count - 1; i >= 1; i--) {
        const Local& local = compiler->locals[i];
        if (same_name(local.name, local.name_len, name, length)) return i;
    }
    return -1;
}

static int add_upvalue(Compiler* compiler, int index, bool is_local, const StaticType& type, uint8_t read_only,
                       uint32_t kind) {
    uint8_t local_flag = is_local ? 1 : 0;
    for (int i = 0; i < compiler->upvalue_count; i++) {
        const Upvalue& u = compiler->upvalues[i];
        if (u.index == index && u.is_local == local_flag) return i;
    }
    if (compiler->upvalue_count >= UPVALUES_MAX) {
        error("Too many closure captures.");
        return 0;
    }
    compiler->upvalues[compiler->upvalue_count] =
        Upvalue{local_flag, static_cast<uint8_t>(index), type, read_only, kind};
    return compiler->upvalue_count++;
}

int resolve_upvalue(Compiler* compiler, const char* name, uint32_t length) {
    // Only lambdas capture: a named function or method is called without a
    // closure, so it must not reach into the code around it.
    if (compiler->enclosing == nullptr || !compiler->is_lambda) return -1;
    Compiler* outer = compiler->enclosing;
    int local = resolve_local(outer, name, length);
    if (local >= 0) {
        Local& l = outer->locals[local];
        if (l.kind == LOCAL_SELF) {
            error("lambda cannot capture 'self' (struct method capture not supported)");
            return -1;
        }
        l.is_captured = 1;
        return add_upvalue(compiler, local, true, l.type, l.read_only, l.kind);
    }
    int up = resolve_upvalue(outer, name, length);
    if (up < 0) return -1;
    const Upvalue& u = outer->upvalues[up];
    return add_upvalue(compiler, up, false, u.type, u.read_only, u.kind);
}

// ---------------------------------------------------------------------------
// Table lookups
// ---------------------------------------------------------------------------

static ModuleEntry* current_module() {
    if (current_module_idx < 0 || current_module_idx >= module_count) return nullptr;
    return &module_table[current_module_idx];
}

FunctionEntry* find_function(const char* name, uint32_t length) {
    if (ModuleEntry* m = current_module()) {
        for (int i = 0; i < m->imported_name_count; i++) {
            const ImportedName& n = m->imported_names[i];
            if (n.kind == IMPORTED_FUNCTION && same_name(n.name, static_cast<uint32_t>(n.name_len), name, length) &&
                n.index >= 0 && n.index < function_count) {
                return &function_table[n.index];
            }
        }
    }
    for (int i = function_count - 1; i >= 0; i--) {
        FunctionEntry& f = function_table[i];
        if ((f.module_idx == -1 || f.module_idx == current_module_idx) && same_name(f.name, f.name_len, name, length)) {
            return &f;
        }
    }
    return nullptr;
}

int find_struct(const char* name, uint32_t length) {
    if (ModuleEntry* m = current_module()) {
        for (int i = 0; i < m->imported_name_count; i++) {
            const ImportedName& n = m->imported_names[i];
            if (n.kind == IMPORTED_STRUCT && same_name(n.name, static_cast<uint32_t>(n.name_len), name, length) &&
                n.index >= 0 && n.index < struct_count) {
                return n.index;
            }
        }
    }
    for (int i = 0; i < struct_count; i++) {
        const StructEntry& s = struct_table[i];
        if (s.module_idx == current_module_idx && same_name(s.name, s.name_len, name, length)) return i;
    }
    return -1;
}

int find_global(const char* name, uint32_t length) {
    for (int i = global_count - 1; i >= 0; i--) {
        const GlobalEntry& g = globals_table[i];
        if (g.module_idx == current_module_idx && same_name(g.name, g.name_len, name, length)) return i;
    }
    return -1;
}

int module_idx_for_name(const char* name, uint32_t length) {
    ModuleEntry* m = current_module();
    if (m == nullptr) return -1;
    for (int i = 0; i < m->import_count; i++) {
        const ModuleImport& imp = m->imports[i];
        if (same_name(imp.alias, static_cast<uint32_t>(imp.alias_len), name, length)) return imp.module_idx;
    }
    return -1;
}

static FunctionEntry* find_module_function_with(int module, const char* name, uint32_t length, bool exported) {
    for (int i = function_count - 1; i >= 0; i--) {
        FunctionEntry& f = function_table[i];
        if (f.module_idx == module && (f.exported != 0) == exported && same_name(f.name, f.name_len, name, length)) {
            return &f;
        }
    }
    return nullptr;
}

static int find_module_struct_with(int module, const char* name, uint32_t length, bool exported) {
    for (int i = 0; i < struct_count; i++) {
        const StructEntry& s = struct_table[i];
        if (s.module_idx == module && (s.exported != 0) == exported && same_name(s.name, s.name_len, name, length)) {
            return i;
        }
    }
    return -1;
}

FunctionEntry* find_module_function(int module, const char* name, uint32_t length) {
    return find_module_function_with(module, name, length, true);
}
FunctionEntry* find_module_private_function(int module, const char* name, uint32_t length) {
    return find_module_function_with(module, name, length, false);
}
int find_module_struct(int module, const char* name, uint32_t length) {
    return find_module_struct_with(module, name, length, true);
}
int find_module_private_struct(int module, const char* name, uint32_t length) {
    return find_module_struct_with(module, name, length, false);
}

// ---------------------------------------------------------------------------
// Names in expressions
// ---------------------------------------------------------------------------

static void struct_used_as_value(const Token& name, int struct_idx) {
    report_at(name, nullptr, "struct name '%.*s' used as a value; construct it as %.*s { \xe2\x80\xa6 }",
              static_cast<int>(name.length), name.start, static_cast<int>(name.length), name.start);
    push_type(st_of_kind(TYPE_STRUCT, BASE_NONE, struct_idx));
}

static void function_as_value(const FunctionEntry& f) {
    emit_constant(obj_val(f.callee));
    FuncSig sig{};
    sig.param_count = f.param_count;
    for (uint32_t i = 0; i < f.param_count && i < FUNC_MAX_PARAMS; i++) sig.params[i] = f.params[i];
    sig.has_return = f.has_return;
    sig.return_type = f.has_return ? f.return_type : st_none();
    push_type(func_type_of(sig));
}

void variable() {
    const Token name = parser.previous;
    int alias = module_idx_for_name(name.start, name.length);
    if (alias >= 0 && check(TOKEN_DOT)) {
        if (g_symbol_index) symbol_note_alias_use(name);
        module_qualified_name(alias);
        return;
    }
    FunctionEntry* f = find_function(name.start, name.length);
    int s = find_struct(name.start, name.length);
    if (g_symbol_index && f != nullptr && (check(TOKEN_LEFT_PAREN) || f->checker == nullptr)) {
        symbol_note_use(name, f->name);
    } else if (g_symbol_index && s >= 0) {
        symbol_note_use(name, struct_table[s].name);
    }
    if (check(TOKEN_LEFT_PAREN)) {
        if (f != nullptr) {
            direct_call(f, name);
            return;
        }
        if (s >= 0) {
            struct_used_as_value(name, s);
            return;
        }
    } else {
        if (f != nullptr && f->checker == nullptr) {
            function_as_value(*f);
            return;
        }
        if (s >= 0) {
            if (check(TOKEN_LEFT_BRACE)) {
                struct_construction(s, name);
                return;
            }
            struct_used_as_value(name, s);
            return;
        }
    }
    int slot = resolve_local(current, name.start, name.length);
    if (slot >= 0) {
        if (g_symbol_index) symbol_note_use(name, current->locals[slot].name);
        StaticType t = apply_narrowing(true, slot, current->locals[slot].type);
        emit_bytes(OP_GET_LOCAL, static_cast<uint8_t>(slot));
        push_type(t);
        return;
    }
    int g = find_global(name.start, name.length);
    if (g >= 0) {
        const GlobalEntry& entry = globals_table[g];
        if (g_symbol_index) symbol_note_use(name, entry.name);
        StaticType t = apply_narrowing(false, entry.slot, entry.type);
        emit_bytes(OP_GET_GLOBAL, entry.slot);
        push_type(t);
        return;
    }
    int up = resolve_upvalue(current, name.start, name.length);
    if (up >= 0) {
        if (g_symbol_index) symbol_note_upvalue_use(name);
        // Captured variables are read with their declared type: another
        // function may change them at any time.
        emit_bytes(OP_GET_UPVALUE, static_cast<uint8_t>(up));
        push_type(current->upvalues[up].type);
        return;
    }
    report_at(name, nullptr, "undeclared variable '%.*s'", static_cast<int>(name.length), name.start);
    push_type(st_int());
}
