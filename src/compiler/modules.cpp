// Modules: turning an import string into an absolute path, reading and
// compiling every module once with the importing module's compile context saved
// around it, the import pass, and the binding of names from `from` clauses.
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "compiler/compiler.h"
#include "compiler/compiler_internal.h"
#include "compiler/symbol_hooks.h"
#include "diagnostics/diag.h"
#include "library/std_module.h"
#include "runtime/memory.h"

namespace {

// Longest import string kept: it has to fit the path buffer with its NUL.
constexpr uint32_t IMPORT_STRING_MAX = MODULE_PATH_MAX - 1;
// Longest alias or imported name: the name buffers hold it with its NUL.
constexpr uint32_t IMPORT_NAME_MAX = MODULE_NAME_MAX - 1;
// The working directory plus a relative path are joined here before the dots
// are removed; anything longer could not give an absolute path that fits.
constexpr size_t JOIN_BUFFER_MAX = 2 * PATH_MAX + 2;
// Message buffers, NUL included; longer texts are cut.
constexpr size_t NOT_AVAILABLE_MESSAGE_MAX = 200;
constexpr size_t NOT_FOUND_MESSAGE_MAX = 256;
constexpr size_t CYCLE_TEXT_MAX = 256;
constexpr size_t CYCLE_MESSAGE_MAX = 320;
constexpr size_t CONFLICT_MESSAGE_MAX = 160;
constexpr size_t EXPORT_MESSAGE_MAX = 200;
constexpr size_t READ_MESSAGE_MAX = 320;
// Module sources above this are refused rather than measured wrongly.
constexpr long MODULE_SOURCE_MAX_BYTES = INT32_MAX - 1;

enum ResolveResult { RESOLVE_OK = 0, RESOLVE_NOT_FOUND = 1, RESOLVE_STD_UNAVAILABLE = 2 };

struct BufferFree {
    void operator()(char* buffer) const { mem_free(buffer); }
};
using SourceBuffer = std::unique_ptr<char, BufferFree>;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// Messages are cut at their buffer on purpose; the cut is not a fault.
__attribute__((format(printf, 3, 4))) void format_cut(char* out, size_t cap, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(out, cap, format, args);
    va_end(args);
}

bool is_separator(char c) { return c == '/' || c == '\\'; }

// Reports through the token reporter with a message already formatted (and cut).
void report_message(const Token& at, const char* message) { error_at_token(at, message); }

// The whole file as one NUL-terminated buffer, or null when it cannot be
// opened, measured or fully read. Only regular files count: a directory opens
// on some systems and then gives a nonsense length.
ModuleTextReader g_module_text_reader = nullptr;

SourceBuffer read_module_file(const char* path) {
    if (g_module_text_reader != nullptr) {
        if (char* text = g_module_text_reader(path)) return SourceBuffer(text);
    }
    FileHandle file(std::fopen(path, "rb"));
    if (!file) return nullptr;
    struct stat info;
    if (fstat(fileno(file.get()), &info) != 0 || !S_ISREG(info.st_mode)) return nullptr;
    if (std::fseek(file.get(), 0, SEEK_END) != 0) return nullptr;
    long length = std::ftell(file.get());
    if (length < 0 || length > MODULE_SOURCE_MAX_BYTES) return nullptr;
    std::rewind(file.get());
    SourceBuffer buffer(static_cast<char*>(mem_alloc(static_cast<size_t>(length) + 1)));
    size_t got = std::fread(buffer.get(), 1, static_cast<size_t>(length), file.get());
    if (got != static_cast<size_t>(length)) return nullptr;
    buffer.get()[got] = '\0';
    return buffer;
}

// The string between the quotes of a string literal token, cut to the path buffer.
void import_string_of(const Token& literal, const char** text, uint32_t* length) {
    *text = literal.start + 1;
    uint32_t n = literal.length >= 2 ? literal.length - 2 : 0;
    *length = n > IMPORT_STRING_MAX ? IMPORT_STRING_MAX : n;
}

// Appends text to a cut-at-capacity buffer; used is kept below cap.
void append_cut(char* out, size_t cap, size_t* used, const char* text) {
    size_t n = std::strlen(text);
    size_t room = cap - 1 - *used;
    if (n > room) n = room;
    std::memcpy(out + *used, text, n);
    *used += n;
    out[*used] = '\0';
}

int find_module_by_path(const char* path) {
    for (int i = 0; i < module_count; i++) {
        if (std::strcmp(module_table[i].path, path) == 0) return i;
    }
    return -1;
}

// Index in import_chain of the first module being compiled from this path, or -1.
int chain_position_of(const char* path) {
    for (int i = 0; i < import_chain_depth; i++) {
        int m = import_chain[i];
        if (m >= 0 && m < module_count && std::strcmp(module_table[m].path, path) == 0) return i;
    }
    return -1;
}

bool same_text(const char* a, uint32_t a_len, const char* b, uint32_t b_len) {
    return a_len == b_len && std::memcmp(a, b, a_len) == 0;
}

// resolve_import_path, and then the modules built into the interpreter: an
// import of one resolves to its own path "std/NAME" unless VESSRIN_STD_PATH
// holds a file of that name, which then takes its place.
int resolve_module_path(const char* dir, const char* text, uint32_t length, char* out) {
    int result = resolve_import_path(dir, text, length, out);
    const StdModule* builtin = std_module_for_import(text, length);
    if (builtin == nullptr) return result;
    struct stat info;
    if (result == RESOLVE_OK && stat(out, &info) == 0 && S_ISREG(info.st_mode)) return result;
    std::snprintf(out, MODULE_PATH_MAX, "std/%s", builtin->name);
    return RESOLVE_OK;
}

// Resolves, reports and tests for a cycle: the steps every import and from
// clause share. Returns the resolved path's module index (compiling the module
// when it is new), or -1 after a report. `path_token` is the string literal.
int import_module(const Token& path_token) {
    const char* text;
    uint32_t length;
    import_string_of(path_token, &text, &length);
    const ModuleEntry& importer = module_table[current_module_idx];
    char resolved[MODULE_PATH_MAX];
    int result = resolve_module_path(importer.dir, text, length, resolved);
    int n = static_cast<int>(length);
    if (result == RESOLVE_STD_UNAVAILABLE) {
        char message[NOT_AVAILABLE_MESSAGE_MAX];
        format_cut(message, sizeof message, "standard library module '%.*s' is not yet available", n, text);
        report_message(path_token, message);
        return -1;
    }
    if (result != RESOLVE_OK) {
        char message[NOT_FOUND_MESSAGE_MAX];
        format_cut(message, sizeof message, "cannot find module '%.*s' at %s/%.*s.vsr", n, text, importer.dir, n, text);
        report_message(path_token, message);
        return -1;
    }
    int chain_at = chain_position_of(resolved);
    if (chain_at >= 0) {
        char cycle[CYCLE_TEXT_MAX];
        format_import_cycle(chain_at, resolved, cycle, sizeof cycle);
        char message[CYCLE_MESSAGE_MAX];
        format_cut(message, sizeof message, "circular import detected: %s", cycle);
        report_message(path_token, message);
        return -1;
    }
    int m = find_module_by_path(resolved);
    if (m >= 0) return m;
    if (module_count >= MODULES_MAX) {
        report_message(path_token, "too many imported modules");
        return -1;
    }
    m = module_count++;
    ModuleEntry& entry = module_table[m];
    entry = ModuleEntry{};
    std::memcpy(entry.path, resolved, std::strlen(resolved) + 1);
    size_t full_name_length = 0;
    module_name_from_path(entry.path, entry.name, sizeof entry.name, &full_name_length);
    entry.name_len = static_cast<int32_t>(std::strlen(entry.name));
    dirname_of(entry.path, entry.dir, sizeof entry.dir);
    return compile_module_into(m) ? m : -1;
}

// Registers the alias of an import clause in the module being compiled; `at`
// is where a fault of the name is shown, `path_token` where a full table is.
void register_alias(int module_idx, const Token& at, const Token& path_token, const char* alias, uint32_t alias_len) {
    ModuleEntry& self = module_table[current_module_idx];
    int n = static_cast<int>(alias_len);
    if (alias_len > IMPORT_NAME_MAX) {
        char message[CONFLICT_MESSAGE_MAX];
        format_cut(message, sizeof message, "import name '%.*s' is longer than 63 characters", n, alias);
        report_message(at, message);
        return;
    }
    for (int i = 0; i < self.import_count; i++) {
        const ModuleImport& imp = self.imports[i];
        if (imp.module_idx == module_idx &&
            same_text(imp.alias, static_cast<uint32_t>(imp.alias_len), alias, alias_len)) {
            return;
        }
    }
    if (find_function(alias, alias_len) != nullptr || find_struct(alias, alias_len) >= 0 ||
        find_global(alias, alias_len) >= 0 || module_idx_for_name(alias, alias_len) >= 0) {
        char message[CONFLICT_MESSAGE_MAX];
        format_cut(message, sizeof message, "module name '%.*s' conflicts with existing definition", n, alias);
        report_message(at, message);
        return;
    }
    if (self.import_count >= MODULE_IMPORTS_MAX) {
        report_message(path_token, "too many imports in this module");
        return;
    }
    ModuleImport& imp = self.imports[self.import_count++];
    imp.module_idx = module_idx;
    std::memcpy(imp.alias, alias, alias_len);
    imp.alias[alias_len] = '\0';
    imp.alias_len = static_cast<int32_t>(alias_len);
    if (g_symbol_index) symbol_note_alias(imp, at);
}

// `import "path"` or `import "path" as alias`; current is `import`.
void import_clause() {
    advance();
    if (!check(TOKEN_STRING_LITERAL)) {
        error_at_current("Expect string literal after 'import'.");
        return;
    }
    advance();
    const Token path_token = parser.previous;
    Token alias_token{};
    bool has_alias = false;
    if (match(TOKEN_AS)) {
        if (!check(TOKEN_IDENTIFIER)) {
            error_at_current("Expect identifier after 'as'.");
            return;
        }
        advance();
        alias_token = parser.previous;
        has_alias = true;
    }
    int m = import_module(path_token);
    if (m < 0) return;
    if (has_alias) {
        register_alias(m, alias_token, path_token, alias_token.start, alias_token.length);
        return;
    }
    // Without `as` the alias is the module's own name, as long as the path gave it.
    char name[MODULE_PATH_MAX];
    size_t full_length = 0;
    module_name_from_path(module_table[m].path, name, sizeof name, &full_length);
    register_alias(m, path_token, path_token, name, static_cast<uint32_t>(std::strlen(name)));
}

void skip_imported_names() {
    while (match(TOKEN_IDENTIFIER) || match(TOKEN_COMMA) || match(TOKEN_AS)) {
    }
}

void skip_rest_of_line() {
    while (!check(TOKEN_NEWLINE) && !check(TOKEN_EOF)) advance();
}

// `from "path" import ...` in the import pass: the module is found or compiled;
// the names are bound by the declaration pass. A faulty clause is skipped to
// the end of its line so that none of its words is read as a clause of its own.
void from_clause_import() {
    advance();
    if (!check(TOKEN_STRING_LITERAL)) {
        error_at_current("Expect string literal after 'from'.");
        skip_rest_of_line();
        return;
    }
    advance();
    const Token path_token = parser.previous;
    if (!check(TOKEN_IMPORT)) {
        error_at_current("Expect 'import' after from-path.");
        skip_rest_of_line();
        return;
    }
    advance();
    if (import_module(path_token) < 0) {
        skip_rest_of_line();
        return;
    }
    skip_imported_names();
}

bool is_local_name_taken(const char* name, uint32_t length) {
    const ModuleEntry& self = module_table[current_module_idx];
    for (int i = 0; i < self.imported_name_count; i++) {
        const ImportedName& n = self.imported_names[i];
        if (same_text(n.name, static_cast<uint32_t>(n.name_len), name, length)) return true;
    }
    // Natives do not count: an imported name may hide one.
    for (int i = 0; i < function_count; i++) {
        const FunctionEntry& f = function_table[i];
        if (f.module_idx == current_module_idx && same_text(f.name, f.name_len, name, length)) return true;
    }
    for (int i = 0; i < struct_count; i++) {
        const StructEntry& s = struct_table[i];
        if (s.module_idx == current_module_idx && same_text(s.name, s.name_len, name, length)) return true;
    }
    return find_global(name, length) >= 0 || module_idx_for_name(name, length) >= 0;
}

// One name of a from clause: `name` as found in the module, bound as `local`.
void bind_imported_name(int module_idx, const Token& name, const Token& local) {
    const ModuleEntry& source = module_table[module_idx];
    int n = static_cast<int>(name.length);
    int32_t kind = IMPORTED_FUNCTION;
    int32_t index = -1;
    if (FunctionEntry* f = find_module_function(module_idx, name.start, name.length)) {
        index = static_cast<int32_t>(f - function_table);
    } else {
        index = find_module_struct(module_idx, name.start, name.length);
        kind = IMPORTED_STRUCT;
    }
    if (index < 0) {
        char message[EXPORT_MESSAGE_MAX];
        if (find_module_private_function(module_idx, name.start, name.length) != nullptr ||
            find_module_private_struct(module_idx, name.start, name.length) >= 0) {
            format_cut(message, sizeof message, "'%.*s' is not exported from module '%s'", n, name.start, source.name);
        } else {
            format_cut(message, sizeof message, "module '%s' has no export '%.*s'", source.name, n, name.start);
        }
        report_message(name, message);
        return;
    }
    int local_n = static_cast<int>(local.length);
    if (local.length > IMPORT_NAME_MAX) {
        char message[CONFLICT_MESSAGE_MAX];
        format_cut(message, sizeof message, "import name '%.*s' is longer than 63 characters", local_n, local.start);
        report_message(local, message);
        return;
    }
    if (is_local_name_taken(local.start, local.length)) {
        char message[CONFLICT_MESSAGE_MAX];
        format_cut(message, sizeof message, "imported name '%.*s' conflicts with existing definition", local_n,
                   local.start);
        report_message(name, message);
        return;
    }
    ModuleEntry& self = module_table[current_module_idx];
    if (self.imported_name_count >= MODULE_NAMES_MAX) {
        report_message(name, "too many imported names");
        return;
    }
    ImportedName& bound = self.imported_names[self.imported_name_count++];
    std::memcpy(bound.name, local.start, local.length);
    bound.name[local.length] = '\0';
    bound.name_len = static_cast<int32_t>(local.length);
    bound.kind = kind;
    bound.index = index;
    if (g_symbol_index) symbol_note_imported(bound, name, local);
}

// The compile context of the importing module, kept across a nested compile.
struct SavedContext {
    int module_idx;
    const char* diag_source;
    const char* diag_path;
    Scanner scanner;
    Parser parser;
    uint8_t pending_export;
    uint8_t repl_mode;
    Compiler* compiler;
    LoopContext* loop;
    int type_stack_top;
    int narrowing_count;
    int narrowing_base;
    int32_t inferring_lambda;
};

SavedContext save_context() {
    SavedContext s{};
    s.module_idx = current_module_idx;
    s.diag_source = diag_source();
    s.diag_path = diag_file_path();
    scanner_save(&s.scanner);
    s.parser = parser;
    s.pending_export = pass1_pending_export;
    s.repl_mode = g_repl_mode;
    s.compiler = current;
    s.loop = current_loop;
    s.type_stack_top = type_stack_top;
    s.narrowing_count = narrowing_count;
    s.narrowing_base = narrowing_base;
    s.inferring_lambda = inferring_lambda_func_idx;
    return s;
}

void restore_context(const SavedContext& s, bool nested_failed) {
    current_module_idx = s.module_idx;
    diag_init(s.diag_source, s.diag_path);
    scanner_restore(&s.scanner);
    parser = s.parser;
    // An error in an imported module fails every module that imports it.
    if (nested_failed) parser.had_error = 1;
    pass1_pending_export = s.pending_export;
    g_repl_mode = s.repl_mode;
    current = s.compiler;
    current_loop = s.loop;
    type_stack_top = s.type_stack_top;
    narrowing_count = s.narrowing_count;
    narrowing_base = s.narrowing_base;
    inferring_lambda_func_idx = s.inferring_lambda;
    // Imports are only compiled from the import pass, where nothing nests yet.
    compile_reset_nesting();
}

}  // namespace

void compiler_set_module_text_reader(ModuleTextReader reader) { g_module_text_reader = reader; }

bool module_absolute_path(const char* path, char* out, size_t cap) {
    // Only "/" separates components here: on this system a backslash is an
    // ordinary character of a file name.
    char joined[JOIN_BUFFER_MAX];
    size_t used = 0;
    if (path[0] != '/') {
        if (getcwd(joined, PATH_MAX) == nullptr) return false;
        used = std::strlen(joined);
        joined[used++] = '/';
    }
    size_t length = std::strlen(path);
    if (length >= sizeof joined - used) return false;
    std::memcpy(joined + used, path, length + 1);
    // Every component then follows a "/", which is what lets it be moved down.
    if (joined[0] != '/') return false;

    // Components are copied down in place (the result is never longer than
    // the input); ".." takes the last one back out, and never climbs above "/".
    size_t result = 0;
    const char* p = joined;
    while (*p != '\0') {
        while (*p == '/') p++;
        const char* start = p;
        while (*p != '\0' && *p != '/') p++;
        size_t n = static_cast<size_t>(p - start);
        if (n == 0 || (n == 1 && start[0] == '.')) continue;
        if (n == 2 && start[0] == '.' && start[1] == '.') {
            while (result > 0 && joined[result - 1] != '/') result--;
            if (result > 0) result--;
            continue;
        }
        joined[result++] = '/';
        std::memmove(joined + result, start, n);
        result += n;
    }
    if (result == 0) joined[result++] = '/';
    if (result >= cap) return false;
    std::memcpy(out, joined, result);
    out[result] = '\0';
    return true;
}

void module_name_from_path(const char* path, char* out, size_t cap, size_t* full_length) {
    const char* base = path;
    for (const char* p = path; *p != '\0'; p++) {
        if (is_separator(*p)) base = p + 1;
    }
    size_t n = std::strlen(base);
    if (n >= 5 && std::strcmp(base + n - 4, ".vsr") == 0) n -= 4;
    *full_length = n;
    if (n > cap - 1) n = cap - 1;
    std::memcpy(out, base, n);
    out[n] = '\0';
}

void dirname_of(const char* path, char* out, size_t cap) {
    const char* last = nullptr;
    for (const char* p = path; *p != '\0'; p++) {
        if (is_separator(*p)) last = p;
    }
    if (last == nullptr) {
        std::snprintf(out, cap, ".");
        return;
    }
    size_t n = static_cast<size_t>(last - path);
    if (n > cap - 1) n = cap - 1;
    std::memcpy(out, path, n);
    out[n] = '\0';
}

int resolve_import_path(const char* dir, const char* text, uint32_t length, char* out) {
    char candidate[MODULE_PATH_MAX];
    int n = static_cast<int>(length);
    bool has_extension = length > 3 && std::memcmp(text + length - 4, ".vsr", 4) == 0;
    bool absolute = length > 0 && text[0] == '/';
    int written;
    bool standard = length > 3 && std::memcmp(text, "std/", 4) == 0;
    if (standard) {
        const char* root = std::getenv("VESSRIN_STD_PATH");
        if (root == nullptr || root[0] == '\0') return RESOLVE_STD_UNAVAILABLE;
        written =
            std::snprintf(candidate, sizeof candidate, "%s/%.*s%s", root, n - 4, text + 4, has_extension ? "" : ".vsr");
    } else if (has_extension) {
        written = absolute ? std::snprintf(candidate, sizeof candidate, "%.*s", n, text)
                           : std::snprintf(candidate, sizeof candidate, "%s/%.*s", dir, n, text);
    } else {
        written = absolute ? std::snprintf(candidate, sizeof candidate, "%.*s.vsr", n, text)
                           : std::snprintf(candidate, sizeof candidate, "%s/%.*s.vsr", dir, n, text);
    }
    if (written < 0 || static_cast<size_t>(written) >= sizeof candidate) return RESOLVE_NOT_FOUND;
    if (!module_absolute_path(candidate, out, MODULE_PATH_MAX)) {
        return standard ? RESOLVE_STD_UNAVAILABLE : RESOLVE_NOT_FOUND;
    }
    return RESOLVE_OK;
}

void format_import_cycle(int chain_start, const char* resolved, char* out, size_t cap) {
    size_t used = 0;
    out[0] = '\0';
    for (int i = chain_start; i < import_chain_depth; i++) {
        const ModuleEntry& m = module_table[import_chain[i]];
        append_cut(out, cap, &used, m.name[0] != '\0' ? m.name : "<main>");
        append_cut(out, cap, &used, " \xe2\x86\x92 ");
    }
    char name[MODULE_NAME_MAX];
    size_t full_length = 0;
    module_name_from_path(resolved, name, sizeof name, &full_length);
    append_cut(out, cap, &used, name);
}

bool compile_module_into(int module_idx) {
    ModuleEntry& module = module_table[module_idx];
    const Token at = parser.previous;
    // A built-in module has no text: its natives become its exports, and it
    // has no top-level code to run.
    if (const StdModule* builtin = std_module_for_path(module.path)) {
        if (!std_module_register(*builtin, module_idx)) {
            report_message(at, "Too many functions.");
            return false;
        }
        module.compiled = 1;
        return true;
    }
    SourceBuffer source = read_module_file(module.path);
    if (!source) {
        char message[READ_MESSAGE_MAX];
        format_cut(message, sizeof message, "failed to read module source at %s", module.path);
        report_message(at, message);
        return false;
    }
    if (import_chain_depth >= IMPORT_DEPTH_MAX) {
        report_message(at, "import depth exceeded");
        return false;
    }
    module.source = source.release();

    SavedContext saved = save_context();
    current_module_idx = module_idx;
    diag_init(module.source, module.path);
    import_chain[import_chain_depth++] = module_idx;
    // A module means the same whether a file or the prompt imports it.
    g_repl_mode = 0;

    ObjFunction* script = compile_passes(module.source);
    bool failed = parser.had_error || script == nullptr;
    module.script = script;
    module.compiled = failed ? 0 : 1;
    if (module_exec_count < MODULES_MAX) module_exec_order[module_exec_count++] = module_idx;

    import_chain_depth--;
    restore_context(saved, failed);
    return !failed;
}

void module_import_pass(const char* source) {
    token_stream_prime(source);
    while (!check(TOKEN_EOF)) {
        if (check(TOKEN_IMPORT)) {
            import_clause();
            clear_panic();
        } else if (check(TOKEN_FROM)) {
            from_clause_import();
            clear_panic();
        } else {
            advance();
        }
    }
}

void module_bind_from_clause() {
    advance();  // from
    if (!match(TOKEN_STRING_LITERAL)) return skip_imported_names();
    const Token path_token = parser.previous;
    if (!match(TOKEN_IMPORT)) return skip_imported_names();
    // The import pass reported any fault of the path; here it only has to be found.
    const char* text;
    uint32_t length;
    import_string_of(path_token, &text, &length);
    char resolved[MODULE_PATH_MAX];
    if (resolve_module_path(module_table[current_module_idx].dir, text, length, resolved) != RESOLVE_OK) {
        return skip_imported_names();
    }
    int m = find_module_by_path(resolved);
    if (m < 0) return skip_imported_names();
    if (!check(TOKEN_IDENTIFIER)) {
        error_at_current("Expect imported name.");
        return;
    }
    for (;;) {
        advance();
        const Token name = parser.previous;
        Token local = name;
        if (match(TOKEN_AS)) {
            if (!check(TOKEN_IDENTIFIER)) {
                error_at_current("Expect alias after 'as'.");
                return;
            }
            advance();
            local = parser.previous;
        }
        bind_imported_name(m, name, local);
        if (!match(TOKEN_COMMA)) return;
        if (!check(TOKEN_IDENTIFIER)) {
            error_at_current("Expect imported name.");
            return;
        }
    }
}

bool brace_follows_on_line(const Token& token) {
    // The scanner skips only these between tokens of one line, so the next
    // token is "{" exactly when the first other character is.
    const char* p = token.start + token.length;
    while (*p == ' ' || *p == '\t' || *p == '\r') p++;
    return *p == '{';
}

void modules_release_sources(int first) {
    if (first < 1) first = 1;  // the main script's text belongs to its reader
    for (int i = first; i < module_count; i++) {
        if (module_table[i].source != nullptr) mem_free(const_cast<char*>(module_table[i].source));
        module_table[i].source = nullptr;
    }
}
