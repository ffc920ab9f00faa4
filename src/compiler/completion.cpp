// Names for completion at the REPL prompt and in editors, read from the
// compiler's own tables: the keyword rows of the token list, the natives, the
// prompt's globals, functions, structs and imports, and the members of a
// receiver's static type, so no second list of names can drift from them.
#include <algorithm>

#include "compiler/compiler.h"
#include "compiler/compiler_internal.h"

namespace {

// The prompt compiles as module 0.
constexpr int PROMPT_MODULE = 0;

struct Collector {
    std::string_view prefix;
    std::vector<std::string> names;

    void add(std::string_view name) {
        // Hidden names ("$iter_idx", "$map_capacity") are the compiler's own.
        if (name.empty() || name[0] == '$') return;
        if (name.substr(0, prefix.size()) == prefix) names.emplace_back(name);
    }
    void add(const char* name, uint32_t length) { add(std::string_view(name, length)); }
    void add_all(const std::vector<std::string_view>& list) {
        for (std::string_view name : list) add(name);
    }
};

bool same(std::string_view a, const char* name, uint32_t length) { return a == std::string_view(name, length); }

const ModuleEntry* prompt_module() { return module_count > PROMPT_MODULE ? &module_table[PROMPT_MODULE] : nullptr; }

void add_top_level_names(Collector& out) {
    for (std::string_view keyword : compiler_keywords()) out.add(keyword);
    for (int i = 0; i < function_count; i++) {
        const FunctionEntry& f = function_table[i];
        if (f.module_idx == -1 || f.module_idx == PROMPT_MODULE) out.add(f.name, f.name_len);
    }
    for (int i = 0; i < global_count; i++) {
        if (globals_table[i].module_idx == PROMPT_MODULE) out.add(globals_table[i].name, globals_table[i].name_len);
    }
    for (int i = 0; i < struct_count; i++) {
        if (struct_table[i].module_idx == PROMPT_MODULE) out.add(struct_table[i].name, struct_table[i].name_len);
    }
    if (const ModuleEntry* m = prompt_module()) {
        for (int i = 0; i < m->import_count; i++) out.add(m->imports[i].alias, static_cast<uint32_t>(m->imports[i].alias_len));
        for (int i = 0; i < m->imported_name_count; i++) {
            out.add(m->imported_names[i].name, static_cast<uint32_t>(m->imported_names[i].name_len));
        }
    }
}

void add_module_exports(Collector& out, int module) {
    for (int i = 0; i < function_count; i++) {
        const FunctionEntry& f = function_table[i];
        if (f.module_idx == module && f.exported) out.add(f.name, f.name_len);
    }
    for (int i = 0; i < struct_count; i++) {
        const StructEntry& s = struct_table[i];
        if (s.module_idx == module && s.exported) out.add(s.name, s.name_len);
    }
}

void add_members_of(Collector& out, const StaticType& type) {
    switch (type.kind) {
        case TYPE_BASE:
            if (type.base == BASE_STRING) out.add_all(string_member_names());
            break;
        case TYPE_ARRAY:
        case TYPE_ARRAY_ANY: out.add_all(array_member_names()); break;
        case TYPE_MAP:
        case TYPE_MAP_ANY: out.add_all(map_member_names()); break;
        case TYPE_RESULT: out.add_all(result_member_names()); break;
        case TYPE_STRUCT:
            if (type.index >= 0 && type.index < struct_count) {
                const StructEntry& s = struct_table[type.index];
                for (int i = 0; i < s.field_count && i < STRUCT_FIELDS_MAX; i++) {
                    out.add(s.fields[i].name, s.fields[i].name_len);
                }
                for (int i = 0; i < s.method_count && i < STRUCT_METHODS_MAX; i++) {
                    out.add(s.methods[i].name, s.methods[i].name_len);
                }
            }
            break;
        default: break;
    }
}

void add_members(Collector& out, std::string_view receiver) {
    if (const ModuleEntry* m = prompt_module()) {
        for (int i = 0; i < m->import_count; i++) {
            const ModuleImport& imp = m->imports[i];
            if (same(receiver, imp.alias, static_cast<uint32_t>(imp.alias_len))) return add_module_exports(out, imp.module_idx);
        }
    }
    // The latest declaration of a name is the one the prompt sees.
    for (int i = global_count - 1; i >= 0; i--) {
        const GlobalEntry& g = globals_table[i];
        if (g.module_idx == PROMPT_MODULE && same(receiver, g.name, g.name_len)) return add_members_of(out, g.type);
    }
}

}  // namespace

std::vector<std::string> compiler_completions(std::string_view receiver, std::string_view prefix) {
    Collector out{prefix, {}};
    if (receiver.empty()) {
        add_top_level_names(out);
    } else {
        add_members(out, receiver);
    }
    std::sort(out.names.begin(), out.names.end());
    out.names.erase(std::unique(out.names.begin(), out.names.end()), out.names.end());
    return out.names;
}

std::vector<std::string_view> compiler_keywords() {
    std::vector<std::string_view> keywords;
    for (uint32_t type = 0; type < static_cast<uint32_t>(TOKEN_TYPE_COUNT); type++) {
        if (token_is_keyword(static_cast<TokenType>(type))) keywords.emplace_back(token_type_name(static_cast<TokenType>(type)));
    }
    return keywords;
}

std::vector<BuiltinMember> compiler_builtin_members(BuiltinReceiver receiver) {
    std::vector<std::string_view> names;
    switch (receiver) {
        case BUILTIN_STRING: names = string_member_names(); break;
        case BUILTIN_ARRAY: names = array_member_names(); break;
        case BUILTIN_MAP: names = map_member_names(); break;
        case BUILTIN_RESULT: names = result_member_names(); break;
    }
    // `length` and a Result's `value` and `error` are the only properties.
    std::vector<BuiltinMember> members;
    for (std::string_view name : names) members.push_back({name, receiver == BUILTIN_RESULT || name == "length"});
    return members;
}
