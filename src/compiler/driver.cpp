// The compile driver: the compile tables, `compile` for a program, the REPL's
// per-line compilation with its rollback, the passes over one module's text,
// and what the collector and the machine ask of the compiler.
#include <cstring>

#include "compiler/compiler.h"
#include "compiler/compiler_internal.h"
#include "diagnostics/diag.h"
#include "vm/vm.h"

FunctionEntry function_table[FUNCTIONS_MAX];
int function_count = 0;
GlobalEntry globals_table[GLOBALS_MAX];
int global_count = 0;
StructEntry struct_table[STRUCTS_MAX];
int struct_count = 0;
ModuleEntry module_table[MODULES_MAX];
int module_count = 0;
int module_exec_order[MODULES_MAX];
int module_exec_count = 0;
int import_chain[IMPORT_DEPTH_MAX];
int import_chain_depth = 0;
int current_module_idx = 0;
uint8_t pass1_pending_export = 0;
uint8_t g_repl_mode = 0;
ObjNative* g_repl_println_native = nullptr;

ObjFunction* compiler_new_function() {
    ObjFunction* function = new_function();
    // Run-time errors render against the text the function came from.
    function->source = diag_source();
    function->path = diag_file_path();
    return function;
}

namespace {

void reset_tables() {
    function_count = 0;
    global_count = 0;
    struct_count = 0;
    func_sig_count = 0;
    pass1_pending_export = 0;
}

// Copies at most cap - 1 bytes and terminates.
void copy_cut(char* out, size_t cap, const char* text, size_t length) {
    if (length > cap - 1) length = cap - 1;
    std::memcpy(out, text, length);
    out[length] = '\0';
}

void set_main_module(const char* path) {
    ModuleEntry& m = module_table[0];
    m = ModuleEntry{};
    // The absolute path is the script's identity: a module that imports the
    // main script by any spelling of its path is caught as a cycle.
    if (path != nullptr && path[0] != '\0' && path[0] != '?' &&
        !module_absolute_path(path, m.path, sizeof m.path)) {
        copy_cut(m.path, sizeof m.path, path, std::strlen(path));
    }
    dirname_of(m.path, m.dir, sizeof m.dir);
    module_count = 1;
}

// ---------------------------------------------------------------------------
// Passes
// ---------------------------------------------------------------------------

void struct_name_pass(const char* source) {
    token_stream_prime(source);
    pass1_pending_export = 0;
    while (!check(TOKEN_EOF)) {
        if (match(TOKEN_EXPORT)) {
            pass1_pending_export = 1;
            continue;
        }
        if (!match(TOKEN_STRUCT)) {
            pass1_pending_export = 0;
            advance();
            continue;
        }
        if (check(TOKEN_IDENTIFIER)) {
            advance();
            const Token name = parser.previous;
            int n = static_cast<int>(name.length);
            if (find_struct(name.start, name.length) >= 0) {
                report_at(name, nullptr, "struct '%.*s' already defined", n, name.start);
            } else if (find_function(name.start, name.length) != nullptr) {
                report_at(name, nullptr, "name '%.*s' conflicts with a function", n, name.start);
            } else if (struct_count >= STRUCTS_MAX) {
                report_at(name, nullptr, "Too many structs.");
            } else {
                StructEntry& s = struct_table[struct_count++];
                s = StructEntry{};
                s.name = name.start;
                s.name_len = name.length;
                s.field_count = -1;
                s.module_idx = current_module_idx;
                s.exported = pass1_pending_export;
                // The row is in the table (a root) before the name is allocated.
                s.name_object = copy_string(name.start, n);
            }
        } else {
            error_at_current("Expect struct name after 'struct'.");
        }
        skip_brace_block();
        pass1_pending_export = 0;
        clear_panic();
    }
}

void declaration_pass(const char* source) {
    token_stream_prime(source);
    pass1_pending_export = 0;
    while (!check(TOKEN_EOF)) {
        switch (parser.current.type) {
            case TOKEN_EXPORT:
                advance();
                pass1_pending_export = 1;
                continue;
            case TOKEN_IMPORT:
                advance();
                match(TOKEN_STRING_LITERAL);
                if (match(TOKEN_AS)) match(TOKEN_IDENTIFIER);
                break;
            case TOKEN_FROM: module_bind_from_clause(); break;
            case TOKEN_STRUCT: struct_declaration_read(); break;
            case TOKEN_DEF: record_function_signature(); break;
            default:
                pass1_pending_export = 0;
                advance();
                continue;
        }
        pass1_pending_export = 0;
        clear_panic();
    }
}

ObjFunction* code_pass(const char* source) {
    token_stream_prime(source);
    ObjFunction* script = compiler_new_function();
    compiler_push(script, true, false);
    while (!check(TOKEN_EOF)) {
        if (match(TOKEN_NEWLINE)) continue;
        statement();
        clear_panic();
    }
    emit_byte(OP_RETURN_NO_VALUE);
    compiler_pop();
    return parser.had_error ? nullptr : script;
}

// What a REPL line may add to the tables; a line that fails is taken back out.
struct TableMarks {
    int functions;
    int globals;
    int structs;
    int sigs;
    int modules;
    int exec;
    int imports;
    int imported_names;
};

TableMarks mark_tables() {
    TableMarks m{function_count, global_count, struct_count, func_sig_count, module_count, module_exec_count, 0, 0};
    if (module_count > 0) {
        m.imports = module_table[0].import_count;
        m.imported_names = module_table[0].imported_name_count;
    }
    return m;
}

void restore_tables(const TableMarks& m) {
    function_count = m.functions;
    global_count = m.globals;
    struct_count = m.structs;
    func_sig_count = m.sigs;
    modules_release_sources(m.modules);
    module_count = m.modules;
    module_exec_count = m.exec;
    if (module_count > 0) {
        module_table[0].import_count = m.imports;
        module_table[0].imported_name_count = m.imported_names;
    }
}

}  // namespace

ObjFunction* compile_passes(const char* source) {
    type_stack_top = 0;
    parser.had_error = 0;
    parser.panic_mode = 0;
    current = nullptr;
    current_loop = nullptr;
    narrowing_count = 0;
    narrowing_base = 0;
    inferring_lambda_func_idx = -1;
    compile_reset_nesting();
    // Files may start with an interpreter line; a REPL entry is code throughout.
    if (!g_repl_mode) source = scanner_skip_interpreter_line(source);

    module_import_pass(source);
    if (parser.had_error) return nullptr;
    struct_name_pass(source);
    if (parser.had_error) return nullptr;
    declaration_pass(source);
    if (parser.had_error) return nullptr;
    return code_pass(source);
}

// Empties the tables and registers the natives, the start of a program's
// compilation and of a REPL session alike.
static void begin_compilation() {
    reset_tables();
    modules_release_sources(1);
    module_count = 0;
    module_exec_count = 0;
    import_chain_depth = 0;
    register_all_builtins();
    // Member natives follow in a fixed order: array, string, map.
    register_array_methods();
    register_string_methods();
    register_map_methods();
}

ObjFunction* compile(const char* source, const char* path) {
    diag_init(source, path);
    begin_compilation();
    set_main_module(path);
    current_module_idx = 0;
    g_repl_mode = 0;
    g_repl_println_native = nullptr;
    import_chain[import_chain_depth++] = 0;
    ObjFunction* script = compile_passes(source);
    module_table[0].script = script;
    module_table[0].compiled = script != nullptr ? 1 : 0;
    import_chain_depth--;
    return script;
}

void compile_repl_begin() {
    begin_compilation();
    // The prompt has a module of its own, whose imports resolve against the
    // working directory.
    set_main_module(nullptr);
    current_module_idx = 0;
    g_repl_mode = 1;
    FunctionEntry* println = find_function("println", 7);
    g_repl_println_native = nullptr;
    if (println != nullptr && println->callee != nullptr && println->callee->kind == OBJ_NATIVE) {
        g_repl_println_native = reinterpret_cast<ObjNative*>(println->callee);
    }
}

ObjFunction* compile_repl_line(const char* line) {
    diag_init(line, "<repl>");
    TableMarks marks = mark_tables();
    current_module_idx = 0;
    import_chain_depth = 0;
    import_chain[import_chain_depth++] = 0;
    ObjFunction* script = compile_passes(line);
    import_chain_depth--;
    if (script == nullptr) restore_tables(marks);
    return script;
}

void compiler_forget_tables() {
    reset_tables();
    modules_release_sources(1);
    module_count = 0;
    module_exec_count = 0;
    import_chain_depth = 0;
    current = nullptr;
    g_repl_println_native = nullptr;
}

int compiler_imported_module_count() { return module_exec_count; }

ObjFunction* compiler_imported_module_script(int index) {
    if (index < 0 || index >= module_exec_count) return nullptr;
    int m = module_exec_order[index];
    if (m < 0 || m >= module_count) return nullptr;
    return module_table[m].script;
}

void compiler_mark_compile_roots() {
    for (Compiler* c = current; c != nullptr; c = c->enclosing) {
        if (c->function != nullptr) mark_object(&c->function->obj);
    }
    for (int i = 0; i < function_count; i++) {
        if (function_table[i].callee != nullptr) mark_object(function_table[i].callee);
    }
    for (int i = 0; i < module_count; i++) {
        if (module_table[i].script != nullptr) mark_object(&module_table[i].script->obj);
    }
    for (int i = 0; i < struct_count; i++) {
        const StructEntry& s = struct_table[i];
        if (s.name_object != nullptr) mark_object(&s.name_object->obj);
        for (int j = 0; j < s.method_count && j < STRUCT_METHODS_MAX; j++) {
            if (s.methods[j].function != nullptr) mark_object(&s.methods[j].function->obj);
        }
    }
}

const char* compiler_global_name(int slot, int* length) {
    for (int i = 0; i < global_count; i++) {
        if (globals_table[i].slot == slot) {
            *length = static_cast<int>(globals_table[i].name_len);
            return globals_table[i].name;
        }
    }
    *length = 1;
    return "?";
}
