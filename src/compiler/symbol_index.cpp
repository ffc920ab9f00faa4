// Recording of the symbol index: declarations and uses are noted while the
// checker runs, keyed by the address of the declared name in its source text,
// and resolved into indexes and line/column places when the compilation ends.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <unordered_map>

#include "compiler/symbol_hooks.h"
#include "diagnostics/diag.h"

SymbolIndex* g_symbol_index = nullptr;

namespace {

struct PendingUse {
    SymbolPlace at;
    const void* key;
};

struct SourceFile {
    const char* text;
    size_t length;
    int file;
};

struct Recording {
    std::unordered_map<const void*, int> decl_by_key;
    std::vector<PendingUse> uses;
    std::vector<std::pair<int, const void*>> member_structs;  // declaration, its struct's key
    std::vector<std::pair<int, const void*>> targets;         // imported name, the key it names
    std::vector<std::pair<int, int>> alias_modules;           // alias declaration, module index
    std::vector<SourceFile> sources;
};

Recording g_recording;

int file_for_path(const char* path, const char* text) {
    SymbolIndex& index = *g_symbol_index;
    for (size_t i = 0; i < index.files.size(); i++) {
        if (index.files[i].path == path) return static_cast<int>(i);
    }
    index.files.push_back(SymbolFile{path, text != nullptr ? text : ""});
    return static_cast<int>(index.files.size()) - 1;
}

// The file of the text being compiled (the diagnostics context follows it).
const SourceFile* current_source() {
    const char* text = diag_source();
    if (text == nullptr) return nullptr;
    for (const SourceFile& s : g_recording.sources) {
        if (s.text == text) return &s;
    }
    const char* path = diag_file_path();
    if (current_module_idx >= 0 && current_module_idx < module_count && module_table[current_module_idx].path[0]) {
        path = module_table[current_module_idx].path;
    }
    int file = file_for_path(path, text);
    g_recording.sources.push_back(SourceFile{text, std::strlen(text), file});
    return &g_recording.sources.back();
}

// Where name lies in the text being compiled; file -1 for a name that is not
// in it (self, hidden locals, natives).
SymbolPlace place_of(const char* name, uint32_t length) {
    SymbolPlace place;
    const SourceFile* source = current_source();
    if (source == nullptr || name == nullptr) return place;
    auto p = reinterpret_cast<uintptr_t>(name);
    auto start = reinterpret_cast<uintptr_t>(source->text);
    if (p < start || p - start + length > source->length) return place;
    place.file = source->file;
    place.offset = static_cast<int>(p - start);
    place.length = static_cast<int>(length);
    return place;
}

int add_decl(const void* key, SymbolDecl decl) {
    auto found = g_recording.decl_by_key.find(key);
    if (found != g_recording.decl_by_key.end()) return found->second;
    int at = static_cast<int>(g_symbol_index->decls.size());
    g_symbol_index->decls.push_back(std::move(decl));
    g_recording.decl_by_key.emplace(key, at);
    return at;
}

std::string text_of(const char* name, uint32_t length) { return std::string(name, length); }

std::string signature_text(const StaticType* params, uint32_t count, bool has_return, const StaticType& result) {
    std::string out = "(";
    for (uint32_t i = 0; i < count && i < FUNC_MAX_PARAMS; i++) {
        if (i > 0) out += ", ";
        out += static_type_name(params[i]);
    }
    out += ") => ";
    out += has_return ? static_type_name(result) : "no-value";
    return out;
}

// A def's header as written: from its name to the "{" of its body.
std::string header_text(const char* name) {
    const char* end = name;
    while (*end != '\0' && *end != '{' && *end != '\n') end++;
    while (end > name && (end[-1] == ' ' || end[-1] == '\t' || end[-1] == '\r')) end--;
    return "def " + std::string(name, static_cast<size_t>(end - name));
}

void set_members(int decl, const StaticType& type) {
    SymbolDecl& d = g_symbol_index->decls[static_cast<size_t>(decl)];
    switch (type.kind) {
        case TYPE_BASE: d.members = type.base == BASE_STRING ? MEMBERS_STRING : MEMBERS_NONE; break;
        case TYPE_ARRAY:
        case TYPE_ARRAY_ANY: d.members = MEMBERS_ARRAY; break;
        case TYPE_MAP:
        case TYPE_MAP_ANY: d.members = MEMBERS_MAP; break;
        case TYPE_RESULT:
        case TYPE_RESULT_ANY: d.members = MEMBERS_RESULT; break;
        case TYPE_STRUCT:
            if (type.index >= 0 && type.index < struct_count) {
                d.members = MEMBERS_STRUCT;
                g_recording.member_structs.emplace_back(decl, struct_table[type.index].name);
            }
            break;
        default: break;
    }
}

int note_variable(const char* name, uint32_t length, const StaticType& type, SymbolKind kind, bool top_level) {
    SymbolPlace at = place_of(name, length);
    if (at.file < 0) return -1;
    SymbolDecl d;
    d.name = text_of(name, length);
    d.kind = kind;
    d.at = at;
    d.type = static_type_name(type);
    d.detail = d.type + " " + d.name;
    d.top_level = top_level;
    int decl = add_decl(name, std::move(d));
    set_members(decl, type);
    return decl;
}

// A function or method: its type is its signature, its detail the header as written.
SymbolDecl* note_def(const char* name, uint32_t length, SymbolKind kind, const StaticType* params, uint32_t count,
                     bool has_return, const StaticType& result) {
    SymbolPlace at = place_of(name, length);
    if (at.file < 0) return nullptr;
    SymbolDecl d;
    d.name = text_of(name, length);
    d.kind = kind;
    d.at = at;
    d.type = signature_text(params, count, has_return, result);
    d.detail = header_text(name);
    return &g_symbol_index->decls[static_cast<size_t>(add_decl(name, std::move(d)))];
}

// Lines and columns of every place, from the byte offsets.
void fill_lines() {
    SymbolIndex& index = *g_symbol_index;
    std::vector<std::vector<int>> starts(index.files.size());
    for (size_t f = 0; f < index.files.size(); f++) {
        const std::string& text = index.files[f].text;
        starts[f].push_back(0);
        for (size_t i = 0; i < text.size(); i++) {
            if (text[i] == '\n') starts[f].push_back(static_cast<int>(i) + 1);
        }
    }
    auto fill = [&](SymbolPlace& p) {
        if (p.file < 0 || static_cast<size_t>(p.file) >= starts.size()) return;
        const std::vector<int>& s = starts[static_cast<size_t>(p.file)];
        auto line = std::upper_bound(s.begin(), s.end(), p.offset) - 1;
        p.line = static_cast<int>(line - s.begin());
        p.column = p.offset - *line;
    };
    for (SymbolDecl& d : index.decls) fill(d.at);
    for (SymbolUse& u : index.uses) fill(u.at);
}

}  // namespace

void symbol_index_begin(SymbolIndex* index) {
    *index = SymbolIndex{};
    g_recording = Recording{};
    g_symbol_index = index;
}

int symbol_index_end() {
    if (g_symbol_index == nullptr) return -1;
    SymbolIndex& index = *g_symbol_index;
    // The built-in functions, global ones and those of imported built-in
    // modules, before the uses that name them are resolved.
    for (int i = 0; i < function_count; i++) {
        const FunctionEntry& f = function_table[i];
        // Declared functions are in already; the objects rows name may be freed.
        if (f.name == nullptr || f.name_len == 0 || f.name[0] == '$' || g_recording.decl_by_key.count(f.name) != 0) {
            continue;
        }
        SymbolDecl d;
        d.name = text_of(f.name, f.name_len);
        d.kind = SYMBOL_NATIVE;
        bool fixed = f.module_idx >= 0 || f.checker == nullptr;
        d.type = fixed ? signature_text(f.params, f.param_count, f.has_return, f.return_type) : "built-in function";
        d.detail = d.name + ": " + d.type;
        d.top_level = f.module_idx == -1;
        d.exported = f.module_idx >= 0;
        if (f.module_idx >= 0 && f.module_idx < module_count) {
            d.module_file = file_for_path(module_table[f.module_idx].path, nullptr);
        }
        add_decl(f.name, std::move(d));
    }
    auto decl_of = [](const void* key) {
        auto found = g_recording.decl_by_key.find(key);
        return found == g_recording.decl_by_key.end() ? -1 : found->second;
    };
    for (const auto& [decl, key] : g_recording.member_structs) {
        index.decls[static_cast<size_t>(decl)].members_struct = decl_of(key);
    }
    // An imported name shows what it names.
    for (const auto& [decl, key] : g_recording.targets) {
        int target = decl_of(key);
        if (target < 0) continue;
        SymbolDecl& d = index.decls[static_cast<size_t>(decl)];
        const SymbolDecl& t = index.decls[static_cast<size_t>(target)];
        d.target = target;
        d.type = t.type;
        d.detail = t.detail;
        d.members = t.members;
        d.members_struct = t.members_struct;
    }
    for (const auto& [decl, module] : g_recording.alias_modules) {
        if (module < 0 || module >= module_count) continue;
        index.decls[static_cast<size_t>(decl)].target_file =
            file_for_path(module_table[module].path, module_table[module].source);
    }
    for (const PendingUse& use : g_recording.uses) {
        int decl = decl_of(use.key);
        if (decl >= 0) index.uses.push_back(SymbolUse{use.at, decl});
    }
    std::sort(index.uses.begin(), index.uses.end(), [](const SymbolUse& a, const SymbolUse& b) {
        return a.at.file != b.at.file ? a.at.file < b.at.file : a.at.offset < b.at.offset;
    });
    index.uses.erase(std::unique(index.uses.begin(), index.uses.end(),
                                 [](const SymbolUse& a, const SymbolUse& b) {
                                     return a.at.file == b.at.file && a.at.offset == b.at.offset;
                                 }),
                     index.uses.end());
    int main_file = module_count > 0 ? file_for_path(module_table[0].path, nullptr) : -1;
    fill_lines();
    g_recording = Recording{};
    g_symbol_index = nullptr;
    return main_file;
}

int symbol_index_file(const SymbolIndex& index, const std::string& path) {
    for (size_t i = 0; i < index.files.size(); i++) {
        if (index.files[i].path == path) return static_cast<int>(i);
    }
    return -1;
}

void symbol_note_local(const Local& local, bool parameter) {
    if (local.name_len == 0 || local.name[0] == '$') return;
    note_variable(local.name, local.name_len, local.type, parameter ? SYMBOL_PARAMETER : SYMBOL_LOCAL, false);
}

void symbol_note_global(const GlobalEntry& global) {
    note_variable(global.name, global.name_len, global.type, SYMBOL_GLOBAL, true);
}

void symbol_note_function(const FunctionEntry& function) {
    SymbolDecl* d = note_def(function.name, function.name_len, SYMBOL_FUNCTION, function.params, function.param_count,
                             function.has_return != 0, function.return_type);
    if (d == nullptr) return;
    d->top_level = true;
    d->exported = function.exported != 0;
}

void symbol_note_struct(int struct_idx) {
    if (struct_idx < 0 || struct_idx >= struct_count) return;
    const StructEntry& s = struct_table[struct_idx];
    SymbolPlace at = place_of(s.name, s.name_len);
    if (at.file < 0) return;
    SymbolDecl d;
    d.name = text_of(s.name, s.name_len);
    d.kind = SYMBOL_STRUCT;
    d.at = at;
    d.type = "struct " + d.name;
    d.detail = d.type + " {\n";
    for (int i = 0; i < s.field_count && i < STRUCT_FIELDS_MAX; i++) {
        d.detail += "    " + std::string(static_type_name(s.fields[i].type)) + " " +
                    text_of(s.fields[i].name, s.fields[i].name_len) + "\n";
    }
    for (int i = 0; i < s.method_count && i < STRUCT_METHODS_MAX; i++) {
        d.detail += "    " + header_text(s.methods[i].name) + "\n";
    }
    d.detail += "}";
    d.top_level = true;
    d.exported = s.exported != 0;
    int decl = add_decl(s.name, std::move(d));
    for (int i = 0; i < s.field_count && i < STRUCT_FIELDS_MAX; i++) {
        const StructField& f = s.fields[i];
        int field = note_variable(f.name, f.name_len, f.type, SYMBOL_FIELD, false);
        if (field >= 0) g_symbol_index->decls[static_cast<size_t>(field)].container = decl;
    }
    for (int i = 0; i < s.method_count && i < STRUCT_METHODS_MAX; i++) {
        const StructMethod& m = s.methods[i];
        SymbolDecl* d = note_def(m.name, m.name_len, SYMBOL_METHOD, m.params, m.param_count, m.has_return != 0,
                                 m.return_type);
        if (d != nullptr) d->container = decl;
    }
}

void symbol_note_alias(const ModuleImport& alias, const Token& at) {
    SymbolPlace place = place_of(at.start, at.length);
    if (place.file < 0) return;
    SymbolDecl d;
    d.name = alias.alias;
    d.kind = SYMBOL_MODULE;
    d.at = place;
    if (alias.module_idx >= 0 && alias.module_idx < module_count) {
        d.type = std::string("module ") + module_table[alias.module_idx].name;
        d.detail = d.type + " (" + module_table[alias.module_idx].path + ")";
    }
    d.top_level = true;
    int decl = add_decl(&alias, std::move(d));
    g_recording.alias_modules.emplace_back(decl, alias.module_idx);
}

void symbol_note_imported(const ImportedName& bound, const Token& name, const Token& local) {
    SymbolPlace place = place_of(local.start, local.length);
    if (place.file < 0) return;
    const char* key = nullptr;
    if (bound.kind == IMPORTED_FUNCTION && bound.index >= 0 && bound.index < function_count) {
        key = function_table[bound.index].name;
    } else if (bound.kind == IMPORTED_STRUCT && bound.index >= 0 && bound.index < struct_count) {
        key = struct_table[bound.index].name;
    }
    SymbolDecl d;
    d.name = bound.name;
    d.kind = SYMBOL_IMPORTED;
    d.at = place;
    d.top_level = true;
    int decl = add_decl(local.start, std::move(d));
    if (key == nullptr) return;
    g_recording.targets.emplace_back(decl, key);
    if (name.start != local.start) symbol_note_use(name, key);
}

void symbol_note_use(const Token& at, const char* key) {
    if (key == nullptr) return;
    SymbolPlace place = place_of(at.start, at.length);
    if (place.file < 0) return;
    g_recording.uses.push_back(PendingUse{place, key});
}

void symbol_note_upvalue_use(const Token& at) {
    if (current == nullptr) return;
    for (Compiler* c = current->enclosing; c != nullptr; c = c->enclosing) {
        int slot = resolve_local(c, at.start, at.length);
        if (slot >= 0) {
            symbol_note_use(at, c->locals[slot].name);
            return;
        }
    }
}

void symbol_note_alias_use(const Token& at) {
    if (current_module_idx < 0 || current_module_idx >= module_count) return;
    const ModuleEntry& m = module_table[current_module_idx];
    for (int i = 0; i < m.import_count; i++) {
        const ModuleImport& imp = m.imports[i];
        if (static_cast<uint32_t>(imp.alias_len) == at.length && std::memcmp(imp.alias, at.start, at.length) == 0) {
            SymbolPlace place = place_of(at.start, at.length);
            if (place.file >= 0) g_recording.uses.push_back(PendingUse{place, &imp});
            return;
        }
    }
}
