// The compiler's public face: what the VM and the printer call.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/object.h"

// Returns the main script's top-level function, or null after any compile error.
ObjFunction* compile(const char* source, const char* path);
void compile_repl_begin();
ObjFunction* compile_repl_line(const char* line);
// Completion at the prompt: the names beginning with prefix, sorted, without
// repeats. With no receiver: keywords, natives and what the entries so far
// declared (globals, functions, structs, import aliases, imported names). With
// a receiver (the name before a '.'): the members of that global's static type,
// or the exports of the module it is an import alias of.
std::vector<std::string> compiler_completions(std::string_view receiver, std::string_view prefix);
// For editors: the language's keywords, and the members of the built-in types
// as the checker accepts them; a property is read without parentheses.
enum BuiltinReceiver { BUILTIN_STRING, BUILTIN_ARRAY, BUILTIN_MAP, BUILTIN_RESULT };
struct BuiltinMember {
    std::string_view name;
    bool property;
};
std::vector<std::string_view> compiler_keywords();
std::vector<BuiltinMember> compiler_builtin_members(BuiltinReceiver receiver);
// Imported modules' top-level scripts in the order they must run (each after
// the modules it imports); null for a module that failed to compile.
int compiler_imported_module_count();
ObjFunction* compiler_imported_module_script(int index);
void compiler_mark_compile_roots();
// Empties the compile tables, so that they stop naming objects: for callers
// that free every object between compilations (tests, embedders).
void compiler_forget_tables();
// Name of the global in a VM slot, for the read-before-declaration error.
const char* compiler_global_name(int slot, int* length);
void compiler_print_struct(ObjStruct* instance, std::FILE* out);
// Supplies an imported module's text instead of its file (an editor's unsaved
// buffer): a NUL-terminated buffer from mem_alloc, or null to read the file.
using ModuleTextReader = char* (*)(const char* absolute_path);
void compiler_set_module_text_reader(ModuleTextReader reader);
