// The compiler's internal contract: the compiler states of the functions being
// compiled, the compile tables (functions, structs, globals, modules), the
// narrowing table, the parse rules, and the entry points the compiler's source
// files call in one another. Only compiler sources include this header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "syntax/scanner.h"
#include "syntax/token_stream.h"
#include "compiler/types.h"
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
    // For fusing loads into typed instructions: where the last two operand
    // loads ended (0: none) and the latest forward jump target. A load is fused
    // only while it still ends the code and no jump lands inside the result.
    int32_t load_end[2];
    int32_t jump_target;
    // Where the last OP_SET_FIELD ended: one that ends the code finished a
    // struct literal (a field store is followed by its OP_POP).
    int32_t set_field_end;
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
    // Identity for the narrowing rules, given on first need (0: none yet). A
    // loop's record lives on the C stack, so its address alone may be reused.
    uint32_t narrowing_serial;
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
    // The innermost loop around the block the row was made for (null outside
    // loops): an assignment inside a later loop must not break it.
    const LoopContext* loop;
    // When an assignment inside loops entered after the row was made switched
    // it off: the outermost of those loops (address and serial). Its body was
    // compiled with the row active, so it still must not store a null there.
    const LoopContext* cleared_in;
    uint32_t cleared_serial;
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
// Interface for every statement that narrows a variable for one block (if
// branches, and Result tests such as a match on `is ok`): push a row before
// the block, then cut narrowing_count back to its value before the push after
// it. False, and nothing pushed, when the table is full.
bool narrowing_push(bool is_local, int slot, const StaticType& type);
// Pushes the then or else narrowing of a condition, if it has one.
bool narrowing_push_branch(const PendingNarrowing& pending, bool then_branch);
// Called before an assignment of a value of type `value` to a local or global:
// reports, and returns true, when the store would break inside a loop a
// narrowing made outside it (the next iteration would trust a stale type).
bool narrowing_loop_refuses(bool is_local, int slot, const StaticType& value, const Token& name);
// The infix rule of `is`.
void is_op();

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
// Emits the binary instruction `generic` (arithmetic, bitwise, OP_EQUAL,
// OP_LESS or OP_GREATER) on two operands of base type `base`: its typed form
// when there is one, fused with the loads of its operands where it can be.
void emit_binary_op(uint8_t generic, uint32_t base);
// Emits OP_RETURN, fused with a read of a local just before it.
void emit_return();
// Emits OP_INDEX_GET, fused with the reads of a local collection and index.
void emit_index_get();
// Emits OP_COPY_STRUCT, or nothing when the value is a struct literal just
// built: no other reference to it can exist.
void emit_copy_struct();
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
// A parameter list and return type as the declaration pass reads them.
struct SignatureRead {
    StaticType params[FUNC_MAX_PARAMS];
    uint32_t count;
    bool has_return;
    StaticType return_type;  // st_none() without one
};
// Reads from just after the '(' through the return type, if any.
void read_signature(SignatureRead* out, bool trailing_comma, const char* type_message, const char* too_many_message,
                    const char* close_message);
// Compiles the parameter names (typed from the recorded signature), the return
// type and the body of a function or method, from just after its '('. Returns
// whether every path through the body returns.
bool compile_parameters_and_body(const StaticType* params, uint32_t param_count, bool trailing_comma,
                                 const char* close_message, const char* body_message);
// Declaration pass: records the signature of the `def` at current.
void record_function_signature();
// Member access after "." (the receiver's code and type are in place).
void dot_op();
// Consumes the member name after a '.': an identifier, or the one keyword that
// names a member there (`map` of arrays, `float` of std/random). Otherwise
// reports "Expect identifier after '.'.", pushes int and returns false.
bool consume_member_name(TokenType keyword_member);

// ---------------------------------------------------------------------------
// Natives and the driver
// ---------------------------------------------------------------------------

void register_all_builtins();
void register_builtin_native(const char* name, NativeFn function, SigCheckFn checker);
ObjFunction* compile_passes(const char* source);
// A fresh function object carrying the text and path it is compiled from.
ObjFunction* compiler_new_function();

// ---------------------------------------------------------------------------
// String members
// ---------------------------------------------------------------------------

// Creates the eighteen string natives, in member-table order.
void register_string_methods();
// A member of a string receiver; name is the member token, already consumed.
void string_member(const StaticType& receiver, const Token& name);
// A native behind a member of a built-in type: its name, function, arity (the
// receiver included) and the global that holds it once registered.
struct MemberNative {
    const char* name;
    NativeFn function;
    uint32_t arity;
    ObjNative** slot;
};
// Creates, registers and stores each native of the table, in table order.
void register_member_natives(const MemberNative* table, size_t count);
std::vector<std::string_view> member_native_names(const MemberNative* table, size_t count);
// The member names of each built-in receiver type, read from the same tables
// that compile the members (for completion at the prompt).
std::vector<std::string_view> string_member_names();
std::vector<std::string_view> array_member_names();
std::vector<std::string_view> map_member_names();
std::vector<std::string_view> result_member_names();

// ---------------------------------------------------------------------------
// Maps and for-in loops
// ---------------------------------------------------------------------------

// Map member natives; the last four are the hidden slot natives of for loops.
extern ObjNative* g_map_length_native;
extern ObjNative* g_map_has_native;
extern ObjNative* g_map_delete_native;
extern ObjNative* g_map_keys_native;
extern ObjNative* g_map_values_native;
extern ObjNative* g_map_clear_native;
extern ObjNative* g_map_capacity_native;
extern ObjNative* g_map_slot_is_live_native;
extern ObjNative* g_map_slot_key_native;
extern ObjNative* g_map_slot_value_native;
// The array length native, which array for loops call before every iteration.
extern ObjNative* g_array_length_native;
// Creates the ten map natives, after the string natives.
void register_map_methods();
// Prefix rule of "{" in an expression: the map literal.
void map_literal();
// The type of m[k] (the value type, nullable); reports a key of the wrong type
// at the previous token.
StaticType map_index_type(const StaticType& map_type, const StaticType& key);
// A member of a map receiver; member is the name token, already consumed.
void map_member(const StaticType& map_type, const Token& member);
// After the `for` keyword.
void for_statement();

// ---------------------------------------------------------------------------
// Results and match
// ---------------------------------------------------------------------------

// Prefix rules of the keywords `ok` and `err`.
void ok_constructor();
void err_constructor();
// .value or .error of a Result receiver; member is the name token, already consumed.
void result_member(const StaticType& receiver, const Token& member);
// The type of a Result's error: its error struct, or string.
StaticType result_error_type(const StaticType& result);
// After the `match` keyword; true when every arm always returns.
bool match_statement();

// ---------------------------------------------------------------------------
// Structs, struct members and dotted statements
// ---------------------------------------------------------------------------

// Declaration pass, at `struct`: reads the fields and method signatures.
void struct_declaration_read();
// Code pass, after `struct`: compiles the method bodies.
void struct_code_statement();
// Compiles one method body; the `def` is consumed.
void struct_method_compile(int struct_idx);
// A member of a struct receiver; member is the name token, already consumed.
void struct_member(const StaticType& receiver, const Token& member);
// A call of method m of struct s, whose instance is on the stack; current is
// the "(". Pushes the method's result type, or no-value. Reports at member.
void struct_method_call(int struct_idx, int method_idx, const Token& member);
// A statement of an identifier followed by ".": a field assignment, an
// augmented field assignment, or an expression statement.
void field_assign_or_expression_statement();
// After a statement form turned out to be an expression whose value (of type
// `type`, not yet pushed) is on the stack: the rest of the expression at the
// lowest precedence, then the value is shown at the prompt or dropped.
void continue_as_expression_statement(const StaticType& type);

// ---------------------------------------------------------------------------
// Arrays and indexed statements
// ---------------------------------------------------------------------------

// The array member natives, taken as constants by the member compiler.
extern ObjNative* g_array_length_native;
extern ObjNative* g_array_push_native;
extern ObjNative* g_array_pop_native;
extern ObjNative* g_array_contains_native;
extern ObjNative* g_array_reverse_native;
extern ObjNative* g_array_join_native;
extern ObjNative* g_array_sort_native;
extern ObjNative* g_array_slice_native;
extern ObjNative* g_array_map_native;
extern ObjNative* g_array_filter_native;
extern ObjNative* g_array_reduce_native;
// Creates the eleven array natives, first among the member natives.
void register_array_methods();
// Prefix rule of "[": the array literal.
void array_literal();
// Infix rule of "[": indexing an array or a map.
void index_op();
// A member of an array receiver; member is the name token, already consumed.
void array_member(const StaticType& receiver, const Token& member);
// The type of one element of an array type.
StaticType array_element_type(const StaticType& array);
// Reports, at the previous token, an array index that is not a plain int.
bool index_check_array(const StaticType& index);
// A statement of an identifier followed by "[": an element assignment, an
// augmented element assignment, or an expression statement.
void index_assign_or_expression_statement();

// ---------------------------------------------------------------------------
// Modules and imports
// ---------------------------------------------------------------------------

// The path joined to the working directory when relative, with "." and ".."
// components removed; the file need not exist. False when it does not fit.
bool module_absolute_path(const char* path, char* out, size_t cap);
// Base name without a ".vsr" extension, cut to cap - 1; full_length is its
// length before the cut.
void module_name_from_path(const char* path, char* out, size_t cap, size_t* full_length);
// Everything before the last separator, cut to cap - 1; "." without one.
void dirname_of(const char* path, char* out, size_t cap);
// 0 with the absolute path in out (MODULE_PATH_MAX bytes), 1 when the module
// cannot be found, 2 when a standard-library module is not available.
int resolve_import_path(const char* dir, const char* text, uint32_t length, char* out);
// "a → b → a" from position chain_start of import_chain to the module at resolved.
void format_import_cycle(int chain_start, const char* resolved, char* out, size_t cap);
// Reads and compiles a module entry already in the table; false on any error.
bool compile_module_into(int module_idx);
// The first walk over a text: every import and from clause is resolved and its
// module compiled; import clauses register their alias.
void module_import_pass(const char* source);
// Declaration pass, at `from`: binds the clause's names in the current module.
void module_bind_from_clause();
// Whether "{" is the token after this one: a statement `alias.S {` is a struct
// literal, where `alias.S name` declares a variable.
bool brace_follows_on_line(const Token& token);
// Frees the texts of modules first.. module_count - 1 (never the main script's).
void modules_release_sources(int first);

// ---------------------------------------------------------------------------
// Augmented assignment operators (shared by plain, field and element stores)
// ---------------------------------------------------------------------------

// The compound assignment tokens are consecutive, from += to >>=.
inline bool is_compound(uint32_t type) { return type >= TOKEN_PLUS_EQUAL && type <= TOKEN_GREATER_GREATER_EQUAL; }

// The binary operator a compound assignment applies ('+=' applies '+').
inline uint32_t binary_of_compound(uint32_t compound) {
    switch (compound) {
        case TOKEN_PLUS_EQUAL: return TOKEN_PLUS;
        case TOKEN_MINUS_EQUAL: return TOKEN_MINUS;
        case TOKEN_STAR_EQUAL: return TOKEN_STAR;
        case TOKEN_SLASH_EQUAL: return TOKEN_SLASH;
        case TOKEN_PERCENT_EQUAL: return TOKEN_PERCENT;
        case TOKEN_STAR_STAR_EQUAL: return TOKEN_STAR_STAR;
        case TOKEN_AMP_EQUAL: return TOKEN_AMP;
        case TOKEN_PIPE_EQUAL: return TOKEN_PIPE;
        case TOKEN_CARET_EQUAL: return TOKEN_CARET;
        case TOKEN_LESS_LESS_EQUAL: return TOKEN_LESS_LESS;
        default: return TOKEN_GREATER_GREATER;
    }
}
