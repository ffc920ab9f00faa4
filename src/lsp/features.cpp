// Hover, go to definition, document symbols and completion, answered from the
// symbol index of the document's latest analysis: the names and types the
// checker itself resolved, so the editor never disagrees with `vessrin check`.
#include <algorithm>
#include <array>
#include <set>
#include <string_view>

#include "compiler/compiler.h"
#include "lsp/protocol.h"

namespace {

// LSP symbol and completion kinds used here.
constexpr int SYMBOL_KIND_METHOD = 6;
constexpr int SYMBOL_KIND_FIELD = 8;
constexpr int SYMBOL_KIND_FUNCTION = 12;
constexpr int SYMBOL_KIND_VARIABLE = 13;
constexpr int SYMBOL_KIND_STRUCT = 23;
constexpr int COMPLETION_METHOD = 2;
constexpr int COMPLETION_FUNCTION = 3;
constexpr int COMPLETION_FIELD = 5;
constexpr int COMPLETION_VARIABLE = 6;
constexpr int COMPLETION_MODULE = 9;
constexpr int COMPLETION_PROPERTY = 10;
constexpr int COMPLETION_KEYWORD = 14;
constexpr int COMPLETION_STRUCT = 22;

const SymbolDecl& decl_at_index(const Analysis& a, int i) { return a.index.decls[static_cast<size_t>(i)]; }

// The use or declaration whose name covers offset in the document's file.
int resolve_at(const Analysis& a, size_t offset, SymbolPlace* where) {
    const std::vector<SymbolUse>& uses = a.index.uses;
    auto covers = [offset](const SymbolPlace& p) {
        return offset >= static_cast<size_t>(p.offset) && offset <= static_cast<size_t>(p.offset + p.length);
    };
    auto it = std::upper_bound(uses.begin(), uses.end(), offset, [&](size_t off, const SymbolUse& u) {
        return a.main_file != u.at.file ? a.main_file < u.at.file : off < static_cast<size_t>(u.at.offset);
    });
    if (it != uses.begin()) {
        const SymbolUse& u = *(it - 1);
        if (u.at.file == a.main_file && covers(u.at)) {
            *where = u.at;
            return u.decl;
        }
    }
    for (size_t i = 0; i < a.index.decls.size(); i++) {
        const SymbolDecl& d = a.index.decls[i];
        if (d.at.file == a.main_file && covers(d.at)) {
            *where = d.at;
            return static_cast<int>(i);
        }
    }
    return -1;
}

std::string uri_of_file(const Server& server, const Document& doc, int file) {
    const Analysis& a = doc.analysis;
    if (file == a.main_file) return doc.uri;
    const std::string& path = a.index.files[static_cast<size_t>(file)].path;
    for (const auto& [uri, open] : server.documents.by_uri) {
        if (open.path == path) return uri;
    }
    return path_to_uri(path);
}

json location_of(const Server& server, const Document& doc, const SymbolPlace& at) {
    const Analysis& a = doc.analysis;
    json range;
    if (at.file == a.main_file) {
        range = range_of(server, doc.text, doc.lines, static_cast<size_t>(at.offset),
                         static_cast<size_t>(at.offset + at.length));
    } else {
        const std::string& text = a.index.files[static_cast<size_t>(at.file)].text;
        range = range_of(server, text, line_table_of(text), static_cast<size_t>(at.offset),
                         static_cast<size_t>(at.offset + at.length));
    }
    return json{{"uri", uri_of_file(server, doc, at.file)}, {"range", range}};
}

std::string kind_text(const Analysis& a, const SymbolDecl& d) {
    std::string owner = d.container >= 0 ? " of `" + decl_at_index(a, d.container).name + "`" : "";
    switch (d.kind) {
        case SYMBOL_GLOBAL: return "global variable";
        case SYMBOL_FUNCTION: return "function";
        case SYMBOL_PARAMETER: return "parameter";
        case SYMBOL_LOCAL: return "local variable";
        case SYMBOL_STRUCT: return "struct";
        case SYMBOL_FIELD: return "field" + owner;
        case SYMBOL_METHOD: return "method" + owner;
        case SYMBOL_MODULE: return "imported module";
        case SYMBOL_IMPORTED: return "imported name";
        case SYMBOL_NATIVE: return "built-in function";
    }
    return "";
}

json completion_item(std::string_view name, int kind, const std::string& detail) {
    json item = {{"label", name}, {"kind", kind}};
    if (!detail.empty()) item["detail"] = detail;
    return item;
}

int completion_kind(const SymbolDecl& d) {
    switch (d.kind) {
        case SYMBOL_FUNCTION:
        case SYMBOL_NATIVE: return COMPLETION_FUNCTION;
        case SYMBOL_STRUCT: return COMPLETION_STRUCT;
        case SYMBOL_FIELD: return COMPLETION_FIELD;
        case SYMBOL_METHOD: return COMPLETION_METHOD;
        case SYMBOL_MODULE: return COMPLETION_MODULE;
        case SYMBOL_IMPORTED: return d.type.rfind("struct ", 0) == 0 ? COMPLETION_STRUCT : COMPLETION_FUNCTION;
        default: return COMPLETION_VARIABLE;
    }
}

void add_builtin(json& items, BuiltinReceiver receiver) {
    for (const BuiltinMember& m : compiler_builtin_members(receiver)) {
        items.push_back(completion_item(m.name, m.property ? COMPLETION_PROPERTY : COMPLETION_METHOD, ""));
    }
}

// The declaration a receiver name before "." stands for: the one the checker
// resolved there, else the nearest earlier declaration of that name in the
// file, else a top-level one.
int receiver_decl(const Analysis& a, const std::string& name, size_t at) {
    SymbolPlace where;
    int resolved = resolve_at(a, at, &where);
    if (resolved >= 0 && decl_at_index(a, resolved).name == name) return resolved;
    int best = -1;
    for (size_t i = 0; i < a.index.decls.size(); i++) {
        const SymbolDecl& d = a.index.decls[i];
        if (d.name != name || d.at.file != a.main_file) continue;
        if (d.kind == SYMBOL_FIELD || d.kind == SYMBOL_METHOD) continue;
        if (static_cast<size_t>(d.at.offset) < at && (best < 0 || d.at.offset > decl_at_index(a, best).at.offset)) {
            best = static_cast<int>(i);
        }
    }
    if (best >= 0) return best;
    for (size_t i = 0; i < a.index.decls.size(); i++) {
        const SymbolDecl& d = a.index.decls[i];
        if (d.name == name && d.at.file == a.main_file && d.top_level) return static_cast<int>(i);
    }
    return -1;
}

void add_struct_members(const Analysis& a, int struct_decl, json& items) {
    if (struct_decl < 0) return;
    for (const SymbolDecl& e : a.index.decls) {
        if (e.container == struct_decl) items.push_back(completion_item(e.name, completion_kind(e), e.type));
    }
}

// The struct whose method body holds offset: the one of the nearest method
// declared before it.
int struct_around(const Analysis& a, size_t at) {
    int method = -1;
    for (size_t i = 0; i < a.index.decls.size(); i++) {
        const SymbolDecl& d = a.index.decls[i];
        if (d.kind != SYMBOL_METHOD || d.at.file != a.main_file || static_cast<size_t>(d.at.offset) >= at) continue;
        if (method < 0 || d.at.offset > decl_at_index(a, method).at.offset) method = static_cast<int>(i);
    }
    return method >= 0 ? decl_at_index(a, method).container : -1;
}

bool member_items(const Analysis& a, const std::string& name, size_t at, json& items) {
    if (name == "self") {
        int s = struct_around(a, at);
        add_struct_members(a, s, items);
        return s >= 0;
    }
    int r = receiver_decl(a, name, at);
    if (r < 0) return false;
    const SymbolDecl& d = decl_at_index(a, r);
    if (d.kind == SYMBOL_MODULE) {
        for (const SymbolDecl& e : a.index.decls) {
            bool in_file = e.at.file == d.target_file && (e.kind == SYMBOL_FUNCTION || e.kind == SYMBOL_STRUCT);
            bool built_in = e.kind == SYMBOL_NATIVE && e.module_file == d.target_file;
            if (e.exported && d.target_file >= 0 && (in_file || built_in)) {
                items.push_back(completion_item(e.name, completion_kind(e), e.type));
            }
        }
        return true;
    }
    switch (d.members) {
        case MEMBERS_STRING: add_builtin(items, BUILTIN_STRING); break;
        case MEMBERS_ARRAY: add_builtin(items, BUILTIN_ARRAY); break;
        case MEMBERS_MAP: add_builtin(items, BUILTIN_MAP); break;
        case MEMBERS_RESULT: add_builtin(items, BUILTIN_RESULT); break;
        case MEMBERS_STRUCT: add_struct_members(a, d.members_struct, items); break;
        case MEMBERS_NONE: break;
    }
    return true;
}

bool is_word(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

}  // namespace

json feature_hover(Server& server, Document& doc, size_t offset) {
    const Analysis& a = doc.analysis;
    SymbolPlace where;
    int found = resolve_at(a, offset, &where);
    if (found < 0) return nullptr;
    const SymbolDecl& d = decl_at_index(a, found);
    std::string value = "```vessrin\n" + d.detail + "\n```\n" + kind_text(a, d);
    json range = range_of(server, doc.text, doc.lines, static_cast<size_t>(where.offset),
                          static_cast<size_t>(where.offset + where.length));
    return json{{"contents", {{"kind", "markdown"}, {"value", value}}}, {"range", range}};
}

json feature_definition(Server& server, Document& doc, size_t offset) {
    const Analysis& a = doc.analysis;
    SymbolPlace where;
    int found = resolve_at(a, offset, &where);
    if (found < 0) return nullptr;
    const SymbolDecl* d = &decl_at_index(a, found);
    if (d->kind == SYMBOL_MODULE) {
        // A built-in module has no file to go to.
        if (d->target_file < 0 || a.index.files[static_cast<size_t>(d->target_file)].path.rfind('/', 0) != 0) {
            return nullptr;
        }
        SymbolPlace start;
        start.file = d->target_file;
        return location_of(server, doc, start);
    }
    if (d->kind == SYMBOL_IMPORTED && d->target >= 0) d = &decl_at_index(a, d->target);
    if (d->at.file < 0) return nullptr;
    return location_of(server, doc, d->at);
}

json feature_document_symbols(Server& server, Document& doc) {
    const Analysis& a = doc.analysis;
    json symbols = json::array();
    auto symbol_of = [&](const SymbolDecl& d, int kind) {
        json range = location_of(server, doc, d.at)["range"];
        return json{{"name", d.name}, {"detail", d.type}, {"kind", kind}, {"range", range}, {"selectionRange", range}};
    };
    for (size_t i = 0; i < a.index.decls.size(); i++) {
        const SymbolDecl& d = a.index.decls[i];
        if (d.at.file != a.main_file || !d.top_level) continue;
        if (d.kind == SYMBOL_FUNCTION) symbols.push_back(symbol_of(d, SYMBOL_KIND_FUNCTION));
        if (d.kind == SYMBOL_GLOBAL) symbols.push_back(symbol_of(d, SYMBOL_KIND_VARIABLE));
        if (d.kind != SYMBOL_STRUCT) continue;
        json s = symbol_of(d, SYMBOL_KIND_STRUCT);
        json children = json::array();
        for (const SymbolDecl& m : a.index.decls) {
            if (m.container != static_cast<int>(i)) continue;
            children.push_back(symbol_of(m, m.kind == SYMBOL_FIELD ? SYMBOL_KIND_FIELD : SYMBOL_KIND_METHOD));
        }
        s["children"] = children;
        symbols.push_back(s);
    }
    return symbols;
}

json feature_completion(Server&, Document& doc, size_t offset) {
    const std::string& text = doc.text;
    json items = json::array();
    size_t start = offset;
    while (start > 0 && is_word(text[start - 1])) start--;
    if (start > 0 && text[start - 1] == '.') {
        size_t end = start - 1;
        size_t r = end;
        while (r > 0 && is_word(text[r - 1])) r--;
        if (r < end) {
            std::string name = text.substr(r, end - r);
            // While the text is broken mid-edit the analysis before may know more.
            if (!member_items(doc.analysis, name, r, items) && doc.previous) {
                member_items(*doc.previous, name, r, items);
            }
        }
        return json{{"isIncomplete", false}, {"items", items}};
    }
    for (std::string_view k : compiler_keywords()) items.push_back(completion_item(k, COMPLETION_KEYWORD, ""));
    std::set<std::string> seen;
    for (const SymbolDecl& d : doc.analysis.index.decls) {
        bool visible = d.top_level && (d.at.file == doc.analysis.main_file || d.kind == SYMBOL_NATIVE);
        if (!visible || !seen.insert(d.name).second) continue;
        items.push_back(completion_item(d.name, completion_kind(d), d.type));
    }
    return json{{"isIncomplete", false}, {"items", items}};
}
