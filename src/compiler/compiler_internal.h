// The compiler's internal contract: the compiler states of the functions being
// compiled, the compile tables (functions, structs, globals, modules), the
// narrowing table, the parse rules, and the entry points the compiler's source
// files call in one another. Only compiler sources include this header.
#pragma once

#include <cstdint>

#include "frontend/scanner.h"
#include "frontend/token_stream.h"
#include "frontend/types.h"
#include "runtime/chunk.h"
#include "runtime/object.h"

// ---------------------------------------------------------------------------
// Limits
// ---------------------------------------------------------------------------

inline constexpr int LOCALS_MAX = 256;        // one frame slot each, addressed by a u8 operand
inline constexpr int UPVALUES_MAX = 255;      // the capture count is OP_CLOSURE's one-byte operand
inline constexpr int FUNCTIONS_MAX = 256;     // natives and declared functions of one compilation
inline constexpr int GLOBALS_MAX = 256;       // one VM slot each, addressed by a u8 operand
inline constexpr int STRUCTS_MAX = 64;        // struct types of one compilation
inline constexpr int STRUCT_FIELDS_MAX = 16;  // fields per struct
inline constexpr int STRUCT_METHODS_MAX = 16; // methods per struct
inline constexpr int MODULES_MAX = 32;        // modules of one program, the main script included
inline constexpr int MODULE_IMPORTS_MAX = 32; // import aliases per module
inline constexpr int MODULE_NAMES_MAX = 64;   // names bound by from-clauses per module
inline constexpr int MODULE_PATH_MAX = 512;   // absolute path of a module, NUL included
inline constexpr int MODULE_NAME_MAX = 64;    // module names and aliases, NUL included
inline constexpr int IMPORT_DEPTH_MAX = 16;   // modules whose compilation is in progress
inline constexpr int LOOP_JUMPS_MAX = 64;     // break (and continue) jumps recorded per loop
inline constexpr int NARROWING_MAX = 64;      // narrowings active at once
// Expressions, blocks and function bodies nest by recursion of the parser; this
// bound keeps the C stack safe (also under the sanitizers, whose frames are
// large) while being far beyond what a person writes.
inline constexpr int NESTING_MAX = 256;
inline constexpr int SIG_MESSAGE_MAX = 160;   // signature-check message, NUL included

// ---------------------------------------------------------------------------
// Compiler states
// ---------------------------------------------------------------------------

enum LocalKind : uint32_t {
    LOCAL_PLAIN = 0,
    LOCAL_FOR_VARIABLE = 1,
    LOCAL_MATCH_BINDING = 2,
    LOCAL_SELF = 3,
};

struct Local {
    const char* name;  // points into the source text, not owned
    uint32_t name_len;
    StaticType type;
    int32_t depth;
    uint8_t read_only;
    uint32_t kind;
    uint8_t is_captured;
};

struct Upvalue {
    uint8_t is_local;  // 1: a local of the directly enclosing function; 0: one of its upvalues
    uint8_t index;
    StaticType type;
    uint8_t read_only;
    uint32_t kind;
};

// One per function being compiled. These records are large (every local and
// capture slot), so they live on the heap: nested lambdas must not spend the
// C stack on them.
struct Compiler {
    Compiler* enclosing;
    ObjFunction* function;
    uint8_t is_top_level;
    uint8_t has_return;
    StaticType return_type;
    Local locals[LOCALS_MAX];
    int32_t local_count;
    int32_t scope_depth;
    uint8_t is_lambda;
    Upvalue upvalues[UPVALUES_MAX];
    int32_t upvalue_count;
    // Types below this mark belong to the expression the function is nested in;
    // a statement of this function empties the type stack only down to it.
    int32_t type_stack_base;
    // First bare `return` of a lambda, remembered until the lambda's return
    // type is known: a lambda that returns a value cannot also return nothing.
    uint8_t bare_return_seen;
    Token bare_return_token;
};

extern Compiler* current;

struct LoopContext {
    LoopContext* enclosing;
    int32_t local_count_at_entry;
    int32_t loop_start;  // -1: continue jumps forward to a target after the body
    int32_t continue_jumps[LOOP_JUMPS_MAX];
    int32_t continue_count;
    int32_t break_jumps[LOOP_JUMPS_MAX];
    int32_t break_count;
};

extern LoopContext* current_loop;

// ---------------------------------------------------------------------------
// Compile tables
// ---------------------------------------------------------------------------

struct FunctionEntry;

struct SigCheckResult {
    bool ok;
    StaticType result_type;
    char message[SIG_MESSAGE_MAX];
};

// Compile-time argument rules of a global native: (its row, argument count,
// types of the first FUNC_MAX_PARAMS arguments).
using SigCheckFn = SigCheckResult (*)(const FunctionEntry* entry, int arg_count, const StaticType* arg_types);

struct FunctionEntry {
    const char* name;  // into the source, or a native's static name
    uint32_t name_len;
    Obj* callee;       // the ObjFunction of a declared function or the ObjNative of a native
    uint32_t param_count;
    uint8_t has_return;
    StaticType return_type;
    StaticType params[FUNC_MAX_PARAMS];
    SigCheckFn checker;  // natives only
    int32_t module_idx;  // -1: a builtin, visible from every module
    uint8_t exported;
};

struct GlobalEntry {
    const char* name;
    uint32_t name_len;
    StaticType type;
    uint8_t slot;
    int32_t module_idx;
};

struct StructField {
    const char* name;
    uint32_t name_len;
    StaticType type;
};

struct StructMethod {
    const char* name;
    uint32_t name_len;
    uint32_t param_count;  // without the receiver
    StaticType params[FUNC_MAX_PARAMS];
    uint8_t has_return;
    StaticType return_type;
    ObjFunction* function;
};

struct StructEntry {
    const char* name;
    uint32_t name_len;
    int32_t field_count;  // -1 until the declaration pass has read the body
    StructField fields[STRUCT_FIELDS_MAX];
    int32_t method_count;
    StructMethod methods[STRUCT_METHODS_MAX];
    ObjString* name_object;  // every instance refers to this object
    int32_t module_idx;
    uint8_t exported;
};

struct ModuleImport {
    int32_t module_idx;
    char alias[MODULE_NAME_MAX];
    int32_t alias_len;
};

enum ImportedKind : int32_t {
    IMPORTED_FUNCTION = 0,
    IMPORTED_STRUCT = 1,
};

struct ImportedName {
    char name[MODULE_NAME_MAX];
    int32_t name_len;
    int32_t kind;
    int32_t index;
};

struct ModuleEntry {
    char path[MODULE_PATH_MAX];
    char name[MODULE_NAME_MAX];
    int32_t name_len;
    char dir[MODULE_PATH_MAX];
    uint8_t compiled;
    const char* source;
    ObjFunction* script;
    ModuleImport imports[MODULE_IMPORTS_MAX];
    int32_t import_count;
    ImportedName imported_names[MODULE_NAMES_MAX];
    int32_t imported_name_count;
};

extern FunctionEntry function_table[FUNCTIONS_MAX];
extern int function_count;
extern GlobalEntry globals_table[GLOBALS_MAX];
extern int global_count;
extern StructEntry struct_table[STRUCTS_MAX];
extern int struct_count;
extern ModuleEntry module_table[MODULES_MAX];
extern int module_count;
extern int module_exec_order[MODULES_MAX];
extern int module_exec_count;
extern int import_chain[IMPORT_DEPTH_MAX];
extern int import_chain_depth;
extern int current_module_idx;
extern uint8_t pass1_pending_export;
extern uint8_t g_repl_mode;
extern ObjNative* g_repl_println_native;

// ---------------------------------------------------------------------------
// Narrowing of nullable variables and Results
// ---------------------------------------------------------------------------

struct Narrowing {
    uint8_t is_local;
    int32_t slot;
    StaticType type;
    uint8_t active;
};

struct PendingNarrowing {
    uint8_t has;
    uint8_t is_local;
    int32_t slot;
    uint8_t then_valid;
    StaticType then_type;
    uint8_t else_valid;
    StaticType else_type;
};

extern Narrowing narrowings[NARROWING_MAX];
extern int narrowing_count;
// Rows below the base belong to the functions enclosing the one being compiled:
// a nested body appends above them and looks only at its own rows.
extern int narrowing_base;
extern PendingNarrowing pending_narrowing;

// The narrowed type of a variable, or its declared type.
StaticType apply_narrowing(bool is_local, int slot, const StaticType& declared);
// An assignment ends every narrowing of the variable.
void narrowing_invalidate(bool is_local, int slot);

// ---------------------------------------------------------------------------
// Parser core and emitters
// ---------------------------------------------------------------------------

enum Precedence : uint32_t {
    PREC_NONE = 0,
    PREC_OR,
    PREC_AND,
    PREC_BIT_OR,
    PREC_BIT_XOR,
    PREC_BIT_AND,
    PREC_EQUALITY,
    PREC_COMPARISON,
    PREC_SHIFT,
    PREC_TERM,
    PREC_FACTOR,
    PREC_POWER,
    PREC_UNARY,
    PREC_CALL,
};

using ParseFn = void (*)();

struct ParseRule {
    ParseFn prefix;
    ParseFn infix;
    Precedence precedence;
};

const ParseRule* get_rule(uint32_t type);
void parse_precedence(Precedence precedence);
void expression();
// Compiles an expression statement: the value is dropped, or shown at the REPL.
void expression_statement();
// After a statement form turned out to be an expression with type already popped.
void emit_tail_display_or_pop();

Chunk* current_chunk();
void emit_byte(uint8_t byte);
void emit_bytes(uint8_t a, uint8_t b);
// False (after "Too many constants in one chunk.") when the pool is full.
bool emit_constant(Value value);
int emit_jump(uint8_t op);
void patch_jump(int offset);
void emit_loop(int loop_start);
const char* op_symbol_str(uint32_t token_type);

// Formats into a message buffer and reports at a token; a no-op in panic mode.
void report_at(const Token& token, const char* help, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void report_at_previous(const char* format, ...) __attribute__((format(printf, 1, 2)));
void report_at_current(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Nesting of expressions, blocks and function bodies. nesting_enter returns
// false, after reporting "Nesting too deep." once and abandoning the rest of
// the text, when the bound is passed; only a true return is paired with a leave.
bool nesting_enter();
void nesting_leave();
// Reports "Nesting too deep." at current and abandons the rest of the text:
// every enclosing construct then unwinds without further messages.
void compile_abandon_nesting();
// Clears panic mode between statements, unless the text was abandoned.
void clear_panic();
extern bool g_compile_abandoned;
// Resets the nesting bound for a new module text.
void compile_reset_nesting();

// ---------------------------------------------------------------------------
// Scopes, locals and name resolution
// ---------------------------------------------------------------------------

// Makes a new compiler state for function current; slot 0 reserved.
void compiler_push(ObjFunction* function, bool is_top_level, bool is_lambda);
// Drops the innermost compiler state.
void compiler_pop();
// Frees a state already unlinked from the chain.
void compiler_release(Compiler* compiler);
void begin_scope();
void end_scope();
// Emits the pops and upvalue closings for the locals above count, innermost first,
// without forgetting them (break and continue leave the scope only at run time).
void emit_discard_locals_above(int count);
int declare_local(const char* name, uint32_t length, const StaticType& type);
int resolve_local(Compiler* compiler, const char* name, uint32_t length);
int resolve_upvalue(Compiler* compiler, const char* name, uint32_t length);
FunctionEntry* find_function(const char* name, uint32_t length);
int find_struct(const char* name, uint32_t length);
int find_global(const char* name, uint32_t length);
int module_idx_for_name(const char* name, uint32_t length);
FunctionEntry* find_module_function(int module, const char* name, uint32_t length);
int find_module_struct(int module, const char* name, uint32_t length);
FunctionEntry* find_module_private_function(int module, const char* name, uint32_t length);
int find_module_private_struct(int module, const char* name, uint32_t length);
void variable();

// ---------------------------------------------------------------------------
// Calls and lambdas
// ---------------------------------------------------------------------------

extern int32_t inferring_lambda_func_idx;
void call_infix();
// previous is the function's name and current its "(" (not yet consumed).
void direct_call(const FunctionEntry* entry, const Token& name);
void lambda_compile();
// An import alias followed by "." (previous is the alias, current the dot).
void module_qualified_name(int module_idx);
// A struct literal; current is its "{".
void struct_construction(int struct_idx, const Token& name);
// True when "(" at previous starts a lambda rather than a parenthesised expression.
bool grouping_is_lambda();

// ---------------------------------------------------------------------------
// Statements, declarations and functions
// ---------------------------------------------------------------------------

bool statement();
bool block();
void end_of_statement();
void skip_brace_block();
void condition(const char* keyword);
void declaration_statement();
void assignment_statement();
void compile_augmented_op(uint32_t op_token);
void function_definition();
// Declaration pass: records the signature of the `def` at current.
void record_function_signature();
// Member access after "." (the receiver's code and type are in place).
void dot_op();

// ---------------------------------------------------------------------------
// Natives and the driver
// ---------------------------------------------------------------------------

void register_all_builtins();
void register_builtin_native(const char* name, NativeFn function, SigCheckFn checker);
ObjFunction* compile_passes(const char* source);
// A fresh function object carrying the text and path it is compiled from.
ObjFunction* compiler_new_function();
