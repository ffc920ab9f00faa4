// The virtual machine: its single static state, the dispatch loop entry points,
// allocation accounting and the collector hooks, the native registry, transient
// roots, and the top-level / REPL entry points.
#pragma once

#include <cstdint>

#include "runtime/object.h"
#include "runtime/value.h"

inline constexpr int VM_FRAMES_MAX = 256;      // deepest call chain before "Stack overflow."
// Most values one frame can hold: 256 locals (a u8 slot operand), at most 256
// temporaries (the compiler's type-stack bound) and slack for the few values the
// machine pushes beyond what the compiler counts (the REPL display tail).
inline constexpr int VM_FRAME_SLOTS_MAX = 256 + 256 + 16;
// Room for every frame at its largest, so a push inside a frame can never pass
// the end; a call that would start a frame without that room is "Stack overflow.".
inline constexpr int VM_STACK_MAX = VM_FRAMES_MAX * VM_FRAME_SLOTS_MAX;
inline constexpr int VM_GLOBALS_MAX = 256;     // one slot per global, addressed by a u8 operand
inline constexpr int VM_NATIVES_MAX = 128;     // registered natives kept alive as roots
inline constexpr int VM_NATIVE_ERROR_MAX = 160; // native failure message, NUL included
// A global slot that no declaration has stored yet; no value can take this word.
inline constexpr Value VALUE_UNSET_GLOBAL = 0x7ffc000000000000ULL;
inline constexpr uint64_t VM_GC_MIN_THRESHOLD = 1048576; // first collection at 1 MiB

enum InterpretResult : int {
    INTERPRET_OK = 0,
    INTERPRET_COMPILE_ERROR = 1,
    INTERPRET_RUNTIME_ERROR = 2,
};

struct CallFrame {
    ObjFunction* function;
    uint8_t* ip;
    Value* slots;
    ObjClosure* closure;
};

struct VM {
    CallFrame frames[VM_FRAMES_MAX];
    int32_t frame_count;
    Value stack[VM_STACK_MAX];
    Value* stack_top;
    Value globals[VM_GLOBALS_MAX];
    Obj* objects;
    uint64_t bytes_allocated;
    uint64_t next_gc;
    ObjUpvalue* open_upvalues;
};

extern VM vm;

// Machine reset shared by every entry point: frees all objects, empties the stack,
// frames, open upvalues, registry and transient roots, marks every global unset.
void vm_reset();

// Loop and calls.
int run_to(int base_frame_count);
bool vm_call_closure(Value callee, int arg_count, Value* args, Value* result);
// Set when a callback run by vm_call_closure ended in an error that has already
// been reported: the native's failure that follows is then not reported again,
// so the user sees one error block, the one with the real cause. Cleared when
// OP_CALL consumes it and at every machine reset.
extern bool vm_callback_error_reported;
void runtime_error(const char* message);
int vm_interpret(const char* source, const char* path);
int vm_check(const char* source, const char* path);
int run_top_level_script(ObjFunction* function);
void vm_repl_begin();
int vm_repl_eval(const char* line);
void vm_repl_end();

// Allocation accounting and the collector.
void vm_track_alloc(uint64_t bytes);
void vm_track_free(uint64_t bytes);
void vm_register_object(Obj* object);
void collect_garbage();
void mark_object(Obj* object);
void mark_value(Value value);
void vm_free_objects();
// Collections run since the process started (tests observe that small programs never collect).
uint64_t vm_collection_count();

// Native registry, error channel and transient roots.
extern char vm_native_error_buf[VM_NATIVE_ERROR_MAX];
extern bool vm_native_error_set;
extern ObjNative* vm_natives[VM_NATIVES_MAX];
extern int32_t vm_natives_count;
void vm_register_native(ObjNative* native);
void vm_reset_registry();           // empties the native registry and the transient roots
void vm_mark_registry_roots();      // marks registered natives and transient roots
void vm_set_native_error(const char* message);
void vm_push_transient(Obj* object);
void vm_pop_transient();
int32_t vm_transient_count();       // transient roots currently held
// A program's request to end with a status (std/os exit): the run unwinds as
// after a reported error, and the command line, or the REPL after each entry,
// asks for the status. Cleared by every machine reset.
void vm_request_exit(int status);
bool vm_exit_requested(int* status);

#if defined(VESSRIN_FUZZING)
// Fuzzed programs may loop forever. Every unbounded execution passes backward
// jumps or calls, so the fuzzing build counts those and ends the run past this
// many; the harness resets the budget before each program.
inline constexpr uint64_t VM_FUZZ_STEP_LIMIT = 100000;
// A bounded number of steps can still do quadratic work (a string appended to
// itself on every turn copies more each time), so the bytes allocated count
// too: past this many in one program the run ends the same way.
inline constexpr uint64_t VM_FUZZ_ALLOC_LIMIT = uint64_t{1} << 30;
extern uint64_t vm_fuzz_steps;
extern uint64_t vm_fuzz_allocated;
inline void vm_fuzz_reset_budget() {
    vm_fuzz_steps = 0;
    vm_fuzz_allocated = 0;
}
#define VM_FUZZ_BUDGET_CHECK()                                                                 \
    if (++vm_fuzz_steps > VM_FUZZ_STEP_LIMIT || vm_fuzz_allocated > VM_FUZZ_ALLOC_LIMIT) \
    FAIL("Instruction budget exhausted.")
#else
#define VM_FUZZ_BUDGET_CHECK() ((void)0)
#endif

// Debugging aid: prints the chunk's instructions to standard error.
void vm_disassemble_chunk(const Chunk* chunk, const char* name);
// Prints the one instruction at offset and returns the offset of the next.
int vm_disassemble_instruction(const Chunk* chunk, int offset);
