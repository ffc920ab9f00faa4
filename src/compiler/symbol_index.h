// The symbol index an editor asks about: every declaration the checker saw
// (with its type as the language writes it) and every use of a name with the
// declaration it resolved to. Recorded only while a caller has turned it on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum SymbolKind : uint8_t {
    SYMBOL_GLOBAL,
    SYMBOL_FUNCTION,
    SYMBOL_PARAMETER,
    SYMBOL_LOCAL,
    SYMBOL_STRUCT,
    SYMBOL_FIELD,
    SYMBOL_METHOD,
    SYMBOL_MODULE,    // an import alias
    SYMBOL_IMPORTED,  // a name bound by a from clause
    SYMBOL_NATIVE,    // a built-in function, global or of a built-in module; in no file
};

// What `name.` offers for a value of the declaration's type.
enum MemberSet : uint8_t {
    MEMBERS_NONE,
    MEMBERS_STRING,
    MEMBERS_ARRAY,
    MEMBERS_MAP,
    MEMBERS_RESULT,
    MEMBERS_STRUCT,
};

// A name's place: file index, byte offset, and 0-based line and byte column.
struct SymbolPlace {
    int file = -1;
    int offset = 0;
    int length = 0;
    int line = 0;
    int column = 0;
};

struct SymbolDecl {
    std::string name;
    SymbolKind kind = SYMBOL_LOCAL;
    SymbolPlace at;
    std::string type;    // "int", "(int, string) => bool?", "struct Point"
    std::string detail;  // the declaration as written, for hover
    int container = -1;  // a field's or method's struct
    int target = -1;     // an imported name: the declaration it names
    int target_file = -1;  // an import alias: the imported file
    int module_file = -1;  // a built-in module's function: that module
    MemberSet members = MEMBERS_NONE;
    int members_struct = -1;  // MEMBERS_STRUCT: the struct's declaration
    bool top_level = false;
    bool exported = false;
};

struct SymbolUse {
    SymbolPlace at;
    int decl = -1;
};

struct SymbolFile {
    std::string path;  // absolute, as the compiler resolved it
    std::string text;
};

struct SymbolIndex {
    std::vector<SymbolFile> files;
    std::vector<SymbolDecl> decls;
    std::vector<SymbolUse> uses;  // sorted by file and offset
};

// Non-null while a compilation records into it.
extern SymbolIndex* g_symbol_index;

// Starts recording into index (emptied first) for the next compilation.
void symbol_index_begin(SymbolIndex* index);
// Resolves the uses and stops recording; returns the main script's file. Call
// after the compilation and before the next one: the compile tables it reads
// are still those of this one.
int symbol_index_end();
// The file of index with this path, or -1.
int symbol_index_file(const SymbolIndex& index, const std::string& path);
