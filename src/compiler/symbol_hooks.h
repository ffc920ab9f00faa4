// The checker's side of the symbol index: the hooks its files call where a name
// is declared or resolved, each behind `if (g_symbol_index)` so that a normal
// compilation pays one test of a null pointer.
#pragma once

#include "compiler/compiler_internal.h"
#include "compiler/symbol_index.h"

// Declarations.
void symbol_note_local(const Local& local, bool parameter);
void symbol_note_global(const GlobalEntry& global);
void symbol_note_function(const FunctionEntry& function);
// A struct with its fields and methods, after the declaration pass read it.
void symbol_note_struct(int struct_idx);
// An import alias of the module being compiled; at is where it is written.
void symbol_note_alias(const ModuleImport& alias, const Token& at);
// A from-clause name: bound as local, naming name in the imported module.
void symbol_note_imported(const ImportedName& bound, const Token& name, const Token& local);

// Uses: the name at `at` means the declaration whose name text starts at key
// (declared names point into the source, so the pointer identifies them).
void symbol_note_use(const Token& at, const char* key);
// A name read through a capture: the local of an enclosing function.
void symbol_note_upvalue_use(const Token& at);
// An import alias of the module being compiled, written at `at`.
void symbol_note_alias_use(const Token& at);
