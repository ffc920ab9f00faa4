// The dispatch loop `run_to`: threaded dispatch over the generic, fused and
// typed instructions, calls of functions, closures and natives, returns,
// upvalues, the re-entrant call `vm_call_closure` used by natives, and run-time
// error reporting.
//
// Invariants of run_to:
// - Registers: `frame` (the running CallFrame), `ip` (next code byte), `slots`
//   (frame slot 0), `constants` (the running chunk's pool), `sp` (first free
//   stack slot) and the static `dispatch_table`. The frame's `ip`,
//   `vm.stack_top` and `vm.frame_count` are stale while a handler runs; they
//   are written back (SYNC) before anything that can look at them: an
//   allocation (the collector marks up to vm.stack_top and the frames below
//   vm.frame_count), a native call (which may re-enter through
//   vm_call_closure and push frames and values above them) and a run-time
//   error (which reads the frame's ip for the line).
// - Reloads: a call stores the caller's ip and sets the registers from the
//   callee's frame, the next one up; a return reloads them from the frame
//   below; after an error run_to returns at once. A return from the frame
//   run_to started with writes vm.frame_count back and ends the loop.
// - Calls and backward jumps: every call goes through OP_CALL and every
//   backward jump through OP_LOOP (no fused instruction jumps backward), which
//   is where the per-call and per-loop checks sit (VM_STEP_CHECK: the
//   interrupt flag and the fuzzing budget).
// - Typed and fused instructions: the compiler picks them from the static
//   types and fuses loads of locals and constants into them (see chunk.h); each
//   does exactly what the instructions it replaces would, checks its operation's
//   own errors before touching the stack, and raises them at its operator's line.
// - Fused steps at run time: a few handlers look at the next opcode and run it
//   themselves when it is one that cannot fail (OP_POP after a conditional
//   jump, the jump after a comparison or '!', OP_NOT after a comparison,
//   OP_SET_LOCAL after an arithmetic result). The stack ends exactly as the two
//   instructions would leave it; only a dispatch is saved.
// - Allocation: only OP_ADD on strings, OP_OK, OP_ERR, OP_CLOSURE, OP_ARRAY,
//   OP_MAP, OP_INDEX_SET on a map, OP_STRUCT, OP_COPY_STRUCT and natives called
//   by OP_CALL allocate, and each keeps its inputs on the stack until the new
//   object is stored. Every other handler is allocation-free and calls nothing
//   but values_equal and map_get.
// - Stack room: a call checks the frame count and that its frame starts at least
//   VM_FRAME_SLOTS_MAX values below the end: one check per call. Locals and
//   ordinary temporaries fit that room, but literals and argument lists may
//   hold more, so every instruction that grows the stack (a load, a constant, a
//   closure, a new instance, an empty literal, a fused form that pushes) also
//   compares sp with the end: one compare on a branch never taken in a sound run.
#include <cmath>
#include <cstdarg>
#include <cstdio>

#include "compiler/compiler.h"
#include "diagnostics/diag.h"
#include "runtime/memory.h"
#include "vm/vm.h"

namespace {

// Formatted run-time messages are cut to this size; names in them are source
// identifiers, which fit easily.
constexpr int RUNTIME_MESSAGE_MAX = 512;

// Literals and argument lists can hold more values than a frame's usual room,
// so the instructions that grow the stack check against its end: a program can
// never write past it.
Value* const g_stack_end = vm.stack + VM_STACK_MAX;

// The highest frame start that still leaves a frame its full room.
Value* const g_frame_start_limit = vm.stack + (VM_STACK_MAX - VM_FRAME_SLOTS_MAX);

// Sign-extends the 49-bit payload into a signed 64-bit integer without a branch.
inline int64_t int_of(Value v) { return static_cast<int64_t>(v << 15) >> 15; }

// The int of Value v shifted left 15 bits: compares like the int itself.
inline int64_t int_key(Value v) { return static_cast<int64_t>(v << 15); }

// Keeps the low 49 bits of an unsigned result: the language's int wrap.
inline Value wrap_int(uint64_t bits) { return (bits & VALUE_INT_PAYLOAD) | VALUE_INT_TAG; }

inline bool both_int(Value a, Value b) { return ((a & b) & VALUE_INT_TEST_MASK) == VALUE_INT_TAG; }

inline bool both_float(Value a, Value b) { return is_float(a) && is_float(b); }

[[gnu::cold]] const char* arith_symbol(int op) {
    switch (op) {
        case OP_ADD: return "+";
        case OP_SUBTRACT: return "-";
        case OP_MULTIPLY: return "*";
        case OP_DIVIDE: return "/";
        case OP_MODULO: return "%";
        case OP_POWER: return "**";
        default: return "?";
    }
}

[[gnu::cold, gnu::format(printf, 1, 2)]] void runtime_errorf(const char* format, ...) {
    char message[RUNTIME_MESSAGE_MAX];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    runtime_error(message);
}

// Copies each open upvalue at or above `last` into its own cell and unlinks it.
void close_upvalues(const Value* last) {
    while (vm.open_upvalues != nullptr && vm.open_upvalues->location >= last) {
        ObjUpvalue* up = vm.open_upvalues;
        up->closed = *up->location;
        up->location = &up->closed;
        vm.open_upvalues = up->next;
        up->next = nullptr;
    }
}

// Frames, stack and open upvalues after an error; globals and objects survive.
void reset_after_error() {
    close_upvalues(vm.stack);
    vm.open_upvalues = nullptr;
    vm.frame_count = 0;
    vm.stack_top = vm.stack;
}

// Finds or creates the open upvalue of a stack slot. The open list is sorted
// by slot address, highest first, so the walk stops at the first lower slot.
ObjUpvalue* capture_upvalue(Value* slot) {
    ObjUpvalue* prev = nullptr;
    ObjUpvalue* up = vm.open_upvalues;
    while (up != nullptr && up->location > slot) {
        prev = up;
        up = up->next;
    }
    if (up != nullptr && up->location == slot) return up;

    // The cell is counted before it is registered, so a collection run by the
    // count cannot sweep it; its slot is a stack root already. Collections do
    // not touch the open list, so prev and up stay valid across it.
    auto* created = static_cast<ObjUpvalue*>(mem_alloc(sizeof(ObjUpvalue)));
    created->obj.kind = OBJ_UPVALUE;
    created->obj.is_marked = false;
    created->obj.next = nullptr;
    created->location = slot;
    created->closed = VALUE_NULL;
    created->next = nullptr;
    vm_track_alloc(sizeof(ObjUpvalue));
    vm_register_object(&created->obj);
    created->next = up;
    if (prev == nullptr) {
        vm.open_upvalues = created;
    } else {
        prev->next = created;
    }
    return created;
}

}  // namespace

bool vm_callback_error_reported = false;

void runtime_error(const char* message) {
    int line = 0;
    const char* function_name = nullptr;
    const ObjFunction* function = nullptr;
    if (vm.frame_count >= 1) {
        const CallFrame* frame = &vm.frames[vm.frame_count - 1];
        function = frame->function;
        if (function != nullptr) {
            const Chunk* chunk = &function->chunk;
            if (chunk->lines != nullptr && chunk->count > 0 && frame->ip != nullptr) {
                ptrdiff_t offset = (frame->ip - chunk->code) - 1;
                if (offset < 0) offset = 0;
                if (offset >= chunk->count) offset = chunk->count - 1;
                line = chunk->lines[offset];
            }
            if (function->name != nullptr) function_name = function->name->chars;
        }
    }
    // A function from another module or an earlier REPL line is shown against
    // its own text, so the line number points into the right source.
    if (function != nullptr && function->source != nullptr) {
        const char* saved_source = diag_source();
        const char* saved_path = diag_file_path();
        diag_init(function->source, function->path);
        diag_runtime_error(line, message, function_name);
        diag_init(saved_source, saved_path);
    } else {
        diag_runtime_error(line, message, function_name);
    }
    reset_after_error();
}

bool vm_call_closure(Value callee, int arg_count, Value* args, Value* result) {
    if (!is_obj(callee)) return false;
    ObjFunction* function = nullptr;
    ObjClosure* closure = nullptr;
    if (obj_kind(callee) == OBJ_CLOSURE) {
        closure = as_closure(callee);
        function = closure->function;
    } else if (obj_kind(callee) == OBJ_FUNCTION) {
        function = as_function(callee);
    }
    if (function == nullptr || arg_count < 0 || arg_count >= VM_FRAME_SLOTS_MAX) return false;

    // After a reported error nothing more runs, even if the native carries on.
    if (vm_callback_error_reported) return false;
    Value* saved_top = vm.stack_top;
    int base = vm.frame_count;
    if (base >= VM_FRAMES_MAX || saved_top > g_frame_start_limit) {
        runtime_error("Stack overflow.");
        // The native's arguments stay where they are until it returns.
        vm.frame_count = base;
        vm.stack_top = saved_top;
        vm_callback_error_reported = true;
        return false;
    }
    // The arguments may live in the caller's frame below; copying them up is
    // safe because nothing allocates in between.
    Value* frame_slots = saved_top;
    *vm.stack_top++ = callee;
    for (int i = 0; i < arg_count; i++) *vm.stack_top++ = args[i];

    CallFrame* frame = &vm.frames[base];
    frame->function = function;
    frame->ip = function->chunk.code;
    frame->slots = frame_slots;
    frame->closure = closure;
    vm.frame_count = base + 1;

    if (run_to(base) != INTERPRET_OK) {
        vm.frame_count = base;
        vm.stack_top = saved_top;
        vm_callback_error_reported = true;
        return false;
    }
    *result = vm.stack_top > saved_top ? vm.stack_top[-1] : VALUE_NULL;
    vm.stack_top = saved_top;
    vm.frame_count = base;
    return true;
}

// GCC would otherwise merge the identical dispatch tails of the handlers into a
// few shared indirect jumps, which costs a direct jump per instruction and makes
// the indirect jumps far harder to predict.
#if defined(__GNUC__) && !defined(__clang__)
__attribute__((optimize("no-crossjumping")))
#endif
int run_to(int base_frame_count) {
    // One entry per possible byte; bytes that are no opcode land on a handler
    // that reports them, so corrupt code cannot jump through a wild address.
#define VM_HANDLER_ADDRESS(name, operands) &&h_##name,
#define VM_BAD1 &&h_invalid,
#define VM_BAD2 VM_BAD1 VM_BAD1
#define VM_BAD4 VM_BAD2 VM_BAD2
#define VM_BAD8 VM_BAD4 VM_BAD4
#define VM_BAD16 VM_BAD8 VM_BAD8
#define VM_BAD32 VM_BAD16 VM_BAD16
#define VM_BAD64 VM_BAD32 VM_BAD32
#define VM_BAD128 VM_BAD64 VM_BAD64
    static void* const dispatch_table[256] = {
        VESSRIN_OPCODES(VM_HANDLER_ADDRESS)                 // 147 opcodes
        VM_BAD64 VM_BAD32 VM_BAD8 VM_BAD4 VM_BAD1           // 109 non-opcodes
    };
    static_assert(OPCODE_COUNT + 64 + 32 + 8 + 4 + 1 == 256);
#undef VM_HANDLER_ADDRESS
#undef VM_BAD1
#undef VM_BAD2
#undef VM_BAD4
#undef VM_BAD8
#undef VM_BAD16
#undef VM_BAD32
#undef VM_BAD64
#undef VM_BAD128

    // The arithmetic handler's operation tables, indexed by opcode - OP_ADD.
    static_assert(OP_SUBTRACT == OP_ADD + 1 && OP_MULTIPLY == OP_ADD + 2 && OP_DIVIDE == OP_ADD + 3 &&
                  OP_NEGATE == OP_ADD + 4 && OP_MODULO == OP_ADD + 5 && OP_POWER == OP_ADD + 6);
    static void* const int_ops[] = {&&int_add, &&int_sub, &&int_mul, &&int_div, &&arith_mismatch, &&int_mod,
                                    &&int_pow};
    static void* const float_ops[] = {&&float_add, &&float_sub, &&float_mul, &&float_div, &&arith_mismatch,
                                      &&float_mod, &&float_pow};

    CallFrame* frame;
    uint8_t* ip;
    Value* slots;
    Value* constants;
    Value* sp = vm.stack_top;

#define FRAME() frame
#define LOAD_FRAME()                                    \
    do {                                                \
        ip = frame->ip;                                 \
        slots = frame->slots;                           \
        constants = frame->function->chunk.constants;   \
    } while (0)
#define SYNC()                                                          \
    do {                                                                \
        frame->ip = ip;                                                 \
        vm.stack_top = sp;                                              \
        vm.frame_count = static_cast<int32_t>(frame - vm.frames) + 1;   \
    } while (0)
#define DISPATCH() goto* dispatch_table[*ip++]
#define READ_U16() (ip += 2, static_cast<uint16_t>((ip[-2] << 8) | ip[-1]))
// OP_JUMP_IF_FALSE on the condition word `condition`, which stays on the stack,
// with ip on the operand. On each path the compiler drops the condition with an
// OP_POP, either at once or at the jump's target; when one is next it runs here,
// which saves a dispatch and leaves the stack exactly as the OP_POP would.
#define JUMP_IF_FALSE(condition)                         \
    do {                                                 \
        uint16_t distance = READ_U16();                  \
        if ((condition) != VALUE_TRUE) ip += distance;   \
        if (*ip == OP_POP) {                             \
            sp--;                                        \
            ip++;                                        \
        }                                                \
        DISPATCH();                                      \
    } while (0)
// A comparison or '!' is nearly always tested at once: when OP_JUMP_IF_FALSE is
// next, the comparison's handler runs it.
#define FUSE_JUMP_IF_FALSE(condition)                    \
    do {                                                 \
        if (*ip == OP_JUMP_IF_FALSE) {                   \
            ip++;                                        \
            JUMP_IF_FALSE(condition);                    \
        }                                                \
    } while (0)
// `<=`, `>=` and `!=` compile to a comparison followed by OP_NOT: the
// comparison's handler applies it, since its result is always a bool.
#define FUSE_NOT(result)                                 \
    do {                                                 \
        if (*ip == OP_NOT) {                             \
            ip++;                                        \
            (result) ^= 1;                               \
        }                                                \
    } while (0)
// Replaces the two operands by the result of a binary operation. Assignments
// such as `x = x + 1` end in OP_SET_LOCAL: then the result goes straight into
// the local, as that instruction would have put it.
#define BINARY_RESULT(value)                             \
    do {                                                 \
        Value binary_result = (value);                   \
        if (*ip == OP_SET_LOCAL) {                       \
            slots[ip[1]] = binary_result;                \
            ip += 2;                                     \
            sp -= 2;                                     \
        } else {                                         \
            sp[-2] = binary_result;                      \
            sp--;                                        \
        }                                                \
        DISPATCH();                                      \
    } while (0)
#define CHECK_PUSH()                                  \
    do {                                              \
        if (sp >= g_stack_end) [[unlikely]]           \
            goto stack_overflow;                      \
    } while (0)
#define FAIL(message)                        \
    do {                                     \
        SYNC();                              \
        runtime_error(message);              \
        return INTERPRET_RUNTIME_ERROR;      \
    } while (0)
#define FAILF(...)                           \
    do {                                     \
        SYNC();                              \
        runtime_errorf(__VA_ARGS__);         \
        return INTERPRET_RUNTIME_ERROR;      \
    } while (0)

    frame = &vm.frames[vm.frame_count - 1];
    // The frame whose return ends this run, and the last frame there is room for.
    CallFrame* const base_frame = &vm.frames[base_frame_count];
    CallFrame* const last_frame = &vm.frames[VM_FRAMES_MAX - 1];
    LOAD_FRAME();
    DISPATCH();

stack_overflow:
    FAIL("Stack overflow.");

h_OP_CONSTANT:
    CHECK_PUSH();
    *sp++ = constants[*ip++];
    DISPATCH();

h_OP_NULL:
    CHECK_PUSH();
    *sp++ = VALUE_NULL;
    DISPATCH();

h_OP_OK:
h_OP_ERR: {
    SYNC();  // the payload stays on the stack while the Result is allocated
    ObjResult* result = ip[-1] == OP_OK ? new_result_ok(sp[-1]) : new_result_err(sp[-1]);
    sp[-1] = obj_val(result);
    DISPATCH();
}

h_OP_IS_OK:
    if (!is_obj_kind(sp[-1], OBJ_RESULT)) FAIL("internal: 'is ok' on non-Result.");
    sp[-1] = bool_val(as_result(sp[-1])->is_ok);
    DISPATCH();

h_OP_IS_ERR:
    if (!is_obj_kind(sp[-1], OBJ_RESULT)) FAIL("internal: 'is err' on non-Result.");
    sp[-1] = bool_val(!as_result(sp[-1])->is_ok);
    DISPATCH();

h_OP_RESULT_VALUE: {
    if (!is_obj_kind(sp[-1], OBJ_RESULT)) FAIL("internal: .value on non-Result.");
    ObjResult* result = as_result(sp[-1]);
    if (!result->is_ok) FAIL("internal: .value on err Result.");
    sp[-1] = result->value;
    DISPATCH();
}

h_OP_RESULT_ERROR: {
    if (!is_obj_kind(sp[-1], OBJ_RESULT)) FAIL("internal: .error on non-Result.");
    ObjResult* result = as_result(sp[-1]);
    if (result->is_ok) FAIL("internal: .error on ok Result.");
    sp[-1] = result->error;
    DISPATCH();
}

    // Arithmetic. Each opcode's own handler takes the common cases at once: two
    // ints (tested with one mask on both words; +, - and * work on the encoded
    // words directly, because the low 49 bits of the unsigned sum, difference or
    // product depend only on the low 49 bits of the operands) and, for + - * /,
    // two floats. Everything else goes to the general handler below, which serves
    // all six opcodes alike: it re-reads the opcode and picks the operation
    // through a small table indexed from OP_ADD (the slot of OP_NEGATE, which has
    // a handler of its own, is never taken).
h_OP_ADD: {
    Value b = sp[-1];
    Value a = sp[-2];
    if (both_int(a, b)) {
        BINARY_RESULT(wrap_int(a + b));
    }
    if (both_float(a, b)) {
        BINARY_RESULT(float_val(as_float(a) + as_float(b)));
    }
    goto arith_general;
}

h_OP_SUBTRACT: {
    Value b = sp[-1];
    Value a = sp[-2];
    if (both_int(a, b)) {
        BINARY_RESULT(wrap_int(a - b));
    }
    if (both_float(a, b)) {
        BINARY_RESULT(float_val(as_float(a) - as_float(b)));
    }
    goto arith_general;
}

h_OP_MULTIPLY: {
    Value b = sp[-1];
    Value a = sp[-2];
    if (both_int(a, b)) {
        BINARY_RESULT(wrap_int((a & VALUE_INT_PAYLOAD) * (b & VALUE_INT_PAYLOAD)));
    }
    if (both_float(a, b)) {
        BINARY_RESULT(float_val(as_float(a) * as_float(b)));
    }
    goto arith_general;
}

h_OP_DIVIDE: {
    Value b = sp[-1];
    Value a = sp[-2];
    if (both_int(a, b) && b != int_val(0)) {  // a zero divisor takes the general path to its error
        // Operands are 49-bit, so -2^48 / -1 fits in 64 bits and wraps on encoding.
        BINARY_RESULT(wrap_int(static_cast<uint64_t>(int_of(a) / int_of(b))));
    }
    if (both_float(a, b)) {
        BINARY_RESULT(float_val(as_float(a) / as_float(b)));
    }
    goto arith_general;
}

h_OP_MODULO: {
    Value b = sp[-1];
    Value a = sp[-2];
    if (both_int(a, b) && b != int_val(0)) {
        BINARY_RESULT(wrap_int(static_cast<uint64_t>(int_of(a) % int_of(b))));
    }
    goto arith_general;
}

h_OP_POWER:
arith_general: {
    Value b = sp[-1];
    Value a = sp[-2];
    if (both_int(a, b)) goto* int_ops[ip[-1] - OP_ADD];
    if (both_float(a, b)) goto* float_ops[ip[-1] - OP_ADD];
    if (ip[-1] == OP_ADD && is_string(a) && is_string(b)) goto string_concat;
    goto arith_mismatch;
}
    // The operations re-read their operands from the stack: keeping them in
    // locals across the indirect jump would pin two registers in every handler.
int_add:
    sp[-2] = wrap_int(sp[-2] + sp[-1]);
    sp--;
    DISPATCH();
int_sub:
    sp[-2] = wrap_int(sp[-2] - sp[-1]);
    sp--;
    DISPATCH();
int_mul:
    sp[-2] = wrap_int((sp[-2] & VALUE_INT_PAYLOAD) * (sp[-1] & VALUE_INT_PAYLOAD));
    sp--;
    DISPATCH();
int_div: {
    int64_t divisor = int_of(sp[-1]);
    if (divisor == 0) FAIL("integer division by zero.");
    // Operands are 49-bit, so -2^48 / -1 fits in 64 bits and wraps on encoding.
    sp[-2] = wrap_int(static_cast<uint64_t>(int_of(sp[-2]) / divisor));
    sp--;
    DISPATCH();
}
int_mod: {
    int64_t divisor = int_of(sp[-1]);
    if (divisor == 0) FAIL("modulo by zero.");
    sp[-2] = wrap_int(static_cast<uint64_t>(int_of(sp[-2]) % divisor));
    sp--;
    DISPATCH();
}
int_pow: {
    int64_t exponent = int_of(sp[-1]);
    if (exponent < 0) FAIL("negative exponent in integer exponentiation.");
    uint64_t base = static_cast<uint64_t>(int_of(sp[-2]));
    uint64_t product = 1;
    while (exponent != 0) {
        if (exponent & 1) product *= base;
        exponent >>= 1;
        if (exponent != 0) base *= base;
    }
    sp[-2] = wrap_int(product);
    sp--;
    DISPATCH();
}

float_add:
    sp[-2] = float_val(as_float(sp[-2]) + as_float(sp[-1]));
    sp--;
    DISPATCH();
float_sub:
    sp[-2] = float_val(as_float(sp[-2]) - as_float(sp[-1]));
    sp--;
    DISPATCH();
float_mul:
    sp[-2] = float_val(as_float(sp[-2]) * as_float(sp[-1]));
    sp--;
    DISPATCH();
float_div:
    sp[-2] = float_val(as_float(sp[-2]) / as_float(sp[-1]));
    sp--;
    DISPATCH();
float_mod:
    sp[-2] = float_val(std::fmod(as_float(sp[-2]), as_float(sp[-1])));
    sp--;
    DISPATCH();
float_pow:
    sp[-2] = float_val(std::pow(as_float(sp[-2]), as_float(sp[-1])));
    sp--;
    DISPATCH();

string_concat: {
    ObjString* left = as_string(sp[-2]);
    ObjString* right = as_string(sp[-1]);
    int64_t length = static_cast<int64_t>(left->length) + right->length;
    if (length > INT32_MAX) FAIL("string concatenation result too large.");
    SYNC();  // both operands stay on the stack while the result is allocated
    ObjString* joined = string_concat(left, right);
    sp[-2] = obj_val(joined);
    sp--;
    DISPATCH();
}

arith_mismatch:
    FAILF("internal: '%s' applied to %s and %s (compiler should have caught)", arith_symbol(ip[-1]),
          value_type_name(sp[-2]), value_type_name(sp[-1]));

h_OP_NEGATE: {
    Value v = sp[-1];
    if (is_int(v)) {
        sp[-1] = wrap_int(0 - v);
    } else if (is_float(v)) {
        // Flipping the sign bit of the one NaN would make a second NaN.
        if (v != VALUE_CANONICAL_NAN) sp[-1] = v ^ 0x8000000000000000ULL;
    } else {
        FAIL("internal: unary '-' on non-numeric.");
    }
    DISPATCH();
}

    // The compiler proves both operands are ints. Masking the results keeps
    // them ints even if it did not, so no stray word can pose as an object.
h_OP_BIT_AND:
    sp[-2] = wrap_int(sp[-2] & sp[-1]);
    sp--;
    DISPATCH();

h_OP_BIT_OR:
    sp[-2] = wrap_int(sp[-2] | sp[-1]);
    sp--;
    DISPATCH();

h_OP_BIT_XOR:
    sp[-2] = wrap_int(sp[-2] ^ sp[-1]);
    sp--;
    DISPATCH();

h_OP_BIT_NOT:
    sp[-1] = wrap_int(~sp[-1]);
    DISPATCH();

h_OP_SHIFT_LEFT:
h_OP_SHIFT_RIGHT: {
    int64_t count = int_of(sp[-1]);
    if (count < 0) FAIL("negative shift count.");
    if (count > 48) FAIL("shift count exceeds int width.");
    Value a = sp[-2];
    if (ip[-1] == OP_SHIFT_LEFT) {
        sp[-2] = wrap_int((a & VALUE_INT_PAYLOAD) << count);
    } else {
        sp[-2] = wrap_int(static_cast<uint64_t>(int_of(a) >> count));
    }
    sp--;
    DISPATCH();
}

h_OP_EQUAL: {
    Value b = sp[-1];
    Value a = sp[-2];
    // Ints are equal exactly when their words are, and so is anything compared
    // with null (a narrowing test); everything else follows the language's
    // rules (NaN, strings by bytes).
    bool by_word = both_int(a, b) || a == VALUE_NULL || b == VALUE_NULL;
    Value result = by_word ? bool_val(a == b) : bool_val(values_equal(a, b));
    FUSE_NOT(result);
    sp--;
    sp[-1] = result;
    FUSE_JUMP_IF_FALSE(result);
    DISPATCH();
}

h_OP_GREATER: {
    Value b = sp[-1];
    Value a = sp[-2];
    Value result = is_int(a) ? bool_val(int_key(a) > int_key(b)) : bool_val(as_float(a) > as_float(b));
    FUSE_NOT(result);
    sp--;
    sp[-1] = result;
    FUSE_JUMP_IF_FALSE(result);
    DISPATCH();
}

h_OP_LESS: {
    Value b = sp[-1];
    Value a = sp[-2];
    Value result = is_int(a) ? bool_val(int_key(a) < int_key(b)) : bool_val(as_float(a) < as_float(b));
    FUSE_NOT(result);
    sp--;
    sp[-1] = result;
    FUSE_JUMP_IF_FALSE(result);
    DISPATCH();
}

h_OP_NOT: {
    if (!is_bool(sp[-1])) FAIL("internal: '!' on non-bool.");
    Value result = sp[-1] ^ 1;  // true is false + 1
    sp[-1] = result;
    FUSE_JUMP_IF_FALSE(result);
    DISPATCH();
}

h_OP_POP:
    sp--;
    DISPATCH();

h_OP_GET_GLOBAL: {
    uint8_t slot = *ip++;
    Value v = vm.globals[slot];
    if (v == VALUE_UNSET_GLOBAL) {
        int length = 0;
        const char* name = compiler_global_name(slot, &length);
        if (name == nullptr) {
            name = "";
            length = 0;
        }
        FAILF("global variable '%.*s' read before its declaration ran.", length, name);
    }
    CHECK_PUSH();
    *sp++ = v;
    DISPATCH();
}

h_OP_SET_GLOBAL:
    vm.globals[*ip++] = *--sp;
    DISPATCH();

h_OP_GET_LOCAL:
    CHECK_PUSH();
    *sp++ = slots[*ip++];
    DISPATCH();

h_OP_SET_LOCAL:
    slots[*ip++] = *--sp;
    DISPATCH();

h_OP_JUMP: {
    uint16_t distance = READ_U16();
    ip += distance;
    DISPATCH();
}

h_OP_JUMP_IF_FALSE:
    JUMP_IF_FALSE(sp[-1]);

h_OP_LOOP: {
    VM_STEP_CHECK();
    uint16_t distance = READ_U16();
    ip -= distance;
    DISPATCH();
}

h_OP_CALL: {
    VM_STEP_CHECK();
    uint8_t arg_count = *ip++;
    Value* callee_slot = sp - arg_count - 1;
    Value callee = *callee_slot;
    if (!is_obj(callee)) FAIL("internal: only functions can be called.");
    ObjFunction* function;
    ObjClosure* closure;
    uint8_t kind = as_obj(callee)->kind;
    if (kind == OBJ_FUNCTION) {
        closure = nullptr;
        function = as_function(callee);
    } else if (kind == OBJ_CLOSURE) {
        closure = as_closure(callee);
        function = closure->function;
        if (function == nullptr) FAIL("internal: closure missing function.");
    } else if (kind == OBJ_NATIVE) {
        // The callee and the arguments stay on the stack, and so rooted,
        // for the whole call; a callback pushes its frames above them.
        SYNC();
        vm_native_error_set = false;
        vm_callback_error_reported = false;
        Value result = VALUE_NULL;
        bool ok = as_native(callee)->function(arg_count, callee_slot + 1, &result);
        if (vm_callback_error_reported) {
            vm_callback_error_reported = false;
            reset_after_error();
            return INTERPRET_RUNTIME_ERROR;
        }
        if (!ok) {
            FAIL(vm_native_error_set ? vm_native_error_buf : "internal: native function failed.");
        }
        sp = callee_slot;
        *sp++ = result;
        DISPATCH();
    } else {
        FAIL("internal: only functions can be called.");
    }
    // One room check per call: the frame's whole reach fits below the end.
    if (frame == last_frame || callee_slot > g_frame_start_limit) FAIL("Stack overflow.");
    // The callee's ip and vm.frame_count are written when something needs
    // them (SYNC, a deeper call).
    frame->ip = ip;
    frame++;
    frame->function = function;
    frame->closure = closure;
    frame->slots = callee_slot;
    ip = function->chunk.code;
    slots = callee_slot;
    constants = function->chunk.constants;
    DISPATCH();
}

    // Both returns cut the stack back to the frame's slot 0 and continue in the
    // caller, whose frame lies just below.
#define RETURN_TO_CALLER(push_result)                                                                      \
    do {                                                                                                   \
        if (vm.open_upvalues != nullptr && vm.open_upvalues->location >= slots) close_upvalues(slots);   \
        sp = slots;                                                                                        \
        push_result;                                                                                       \
        if (frame == base_frame) {                                                                         \
            vm.frame_count = base_frame_count;                                                             \
            vm.stack_top = sp;                                                                             \
            return INTERPRET_OK;                                                                           \
        }                                                                                                  \
        frame--;                                                                                           \
        LOAD_FRAME();                                                                                      \
        DISPATCH();                                                                                        \
    } while (0)

h_OP_RETURN_NO_VALUE:
    RETURN_TO_CALLER((void)0);

h_OP_RETURN: {
    Value result = sp[-1];
    RETURN_TO_CALLER(*sp++ = result);
}

h_OP_RETURN_LOCAL: {
    Value result = slots[*ip++];
    RETURN_TO_CALLER(*sp++ = result);
}
#undef RETURN_TO_CALLER

h_OP_MISSING_RETURN:
    FAIL("function returned without a value.");

h_OP_CLOSURE: {
    Value constant = constants[*ip++];
    uint8_t upvalue_count = *ip++;
    if (!is_obj_kind(constant, OBJ_FUNCTION)) FAIL("internal: OP_CLOSURE expects ObjFunction constant.");
    CHECK_PUSH();
    SYNC();
    ObjClosure* closure = new_closure(as_function(constant));
    *sp++ = obj_val(closure);  // rooted before anything else allocates
    vm.stack_top = sp;
    if (upvalue_count > 0) {
        size_t bytes = sizeof(ObjUpvalue*) * upvalue_count;
        auto* cells = static_cast<ObjUpvalue**>(mem_try_alloc(bytes));
        if (cells == nullptr) FAIL("out of memory (closure upvalues).");
        for (int i = 0; i < upvalue_count; i++) cells[i] = nullptr;
        closure->upvalues = cells;
        vm_track_alloc(bytes);
        ObjClosure* enclosing = FRAME()->closure;
        for (int i = 0; i < upvalue_count; i++) {
            uint8_t is_local = *ip++;
            uint8_t index = *ip++;
            if (is_local == 1) {
                cells[i] = capture_upvalue(slots + index);
            } else if (enclosing != nullptr && index < enclosing->upvalue_count) {
                cells[i] = enclosing->upvalues[index];
            }
        }
        // Set last, so a collection during the captures sees no cells yet.
        closure->upvalue_count = upvalue_count;
    }
    DISPATCH();
}

h_OP_GET_UPVALUE: {
    uint8_t index = *ip++;
    ObjClosure* closure = FRAME()->closure;
    if (closure == nullptr || index >= closure->upvalue_count || closure->upvalues[index] == nullptr) {
        FAIL("internal: invalid upvalue read.");
    }
    CHECK_PUSH();
    *sp++ = *closure->upvalues[index]->location;
    DISPATCH();
}

h_OP_SET_UPVALUE: {
    uint8_t index = *ip++;
    ObjClosure* closure = FRAME()->closure;
    if (closure == nullptr || index >= closure->upvalue_count || closure->upvalues[index] == nullptr) {
        FAIL("internal: invalid upvalue write.");
    }
    *closure->upvalues[index]->location = *--sp;
    DISPATCH();
}

h_OP_CLOSE_UPVALUE:
    close_upvalues(sp - 1);
    sp--;
    DISPATCH();

h_OP_ARRAY: {
    uint8_t count = *ip++;
    if (count == 0) CHECK_PUSH();  // an empty literal grows the stack by one
    SYNC();  // the elements stay on the stack while the array is allocated
    ObjArray* array = new_array_from_stack(sp - count, count);
    sp -= count;
    *sp++ = obj_val(array);
    DISPATCH();
}

h_OP_INDEX_GET: {
    Value index = sp[-1];
    Value collection = sp[-2];
    if (is_obj(collection)) {
        if (obj_kind(collection) == OBJ_ARRAY) {
            if (!is_int(index)) FAIL("internal: array index is not int.");
            ObjArray* array = as_array(collection);
            int64_t i = int_of(index);
            if (i < 0 || i >= array->count) {
                FAILF("array index %lld out of bounds (length %d)", static_cast<long long>(i), array->count);
            }
            sp[-2] = array->values[i];
            sp--;
            DISPATCH();
        }
        if (obj_kind(collection) == OBJ_MAP) {
            Value found;
            sp[-2] = map_get(as_map(collection), index, &found) ? found : VALUE_NULL;
            sp--;
            DISPATCH();
        }
    }
    FAIL("internal: indexing a non-collection.");
}

h_OP_INDEX_GET_LL: {
    Value collection = slots[ip[0]];
    Value index = slots[ip[1]];
    ip += 2;
    CHECK_PUSH();
    if (is_obj_kind(collection, OBJ_ARRAY) && is_int(index)) {
        ObjArray* array = as_array(collection);
        int64_t i = int_of(index);
        if (i < 0 || i >= array->count) {
            FAILF("array index %lld out of bounds (length %d)", static_cast<long long>(i), array->count);
        }
        *sp++ = array->values[i];
        DISPATCH();
    }
    // Maps and every failure: OP_INDEX_GET on the two values the loads push.
    *sp++ = collection;
    CHECK_PUSH();
    *sp++ = index;
    goto h_OP_INDEX_GET;
}

h_OP_INDEX_SET: {
    Value value = sp[-1];
    Value index = sp[-2];
    Value collection = sp[-3];
    if (is_obj(collection)) {
        if (obj_kind(collection) == OBJ_ARRAY) {
            if (!is_int(index)) FAIL("internal: array index is not int.");
            ObjArray* array = as_array(collection);
            int64_t i = int_of(index);
            if (i < 0 || i >= array->count) {
                FAILF("array index %lld out of bounds (length %d)", static_cast<long long>(i), array->count);
            }
            array->values[i] = value;
            sp -= 3;
            DISPATCH();
        }
        if (obj_kind(collection) == OBJ_MAP) {
            SYNC();  // growth may collect: map, key and value stay on the stack
            if (!map_set(as_map(collection), index, value)) FAIL("internal: map allocation failed.");
            sp -= 3;
            DISPATCH();
        }
    }
    FAIL("internal: index-set on non-collection.");
}

h_OP_MAP: {
    int pairs = *ip++;
    if (pairs == 0) CHECK_PUSH();  // an empty literal grows the stack by one
    SYNC();
    ObjMap* map = new_empty_map();
    vm_push_transient(&map->obj);
    Value* first = sp - 2 * pairs;
    for (int i = 0; i < pairs; i++) {
        if (!map_set(map, first[2 * i], first[2 * i + 1])) {
            vm_pop_transient();
            FAIL("internal: map allocation failed.");
        }
    }
    vm_pop_transient();
    sp = first;
    *sp++ = obj_val(map);
    DISPATCH();
}

h_OP_SWAP: {
    Value top = sp[-1];
    sp[-1] = sp[-2];
    sp[-2] = top;
    DISPATCH();
}

h_OP_STRUCT: {
    Value name = constants[*ip++];
    uint8_t field_count = *ip++;
    if (!is_string(name)) FAIL("internal: struct name constant is not a string.");
    CHECK_PUSH();
    SYNC();  // the name is a constant of the running function, rooted through it
    ObjStruct* instance = new_struct(as_string(name), field_count);
    *sp++ = obj_val(instance);
    DISPATCH();
}

h_OP_GET_FIELD: {
    uint8_t index = *ip++;
    if (!is_obj_kind(sp[-1], OBJ_STRUCT)) FAIL("internal: GET_FIELD on non-struct.");
    ObjStruct* instance = as_struct(sp[-1]);
    if (index >= instance->field_count) FAIL("internal: field index out of range.");
    sp[-1] = instance->fields[index];
    DISPATCH();
}

h_OP_SET_FIELD: {
    uint8_t index = *ip++;
    if (!is_obj_kind(sp[-2], OBJ_STRUCT)) FAIL("internal: SET_FIELD on non-struct.");
    ObjStruct* instance = as_struct(sp[-2]);
    if (index >= instance->field_count) FAIL("internal: field index out of range.");
    instance->fields[index] = sp[-1];
    sp--;
    DISPATCH();
}

h_OP_COPY_STRUCT: {
    if (is_obj_kind(sp[-1], OBJ_STRUCT)) {
        SYNC();  // the original stays on the stack while the copy is allocated
        // Structs nested in fields are copied too: a struct value owns them.
        sp[-1] = obj_val(copy_struct_deep(as_struct(sp[-1])));
    }
    DISPATCH();
}

    // Typed instructions. The compiler proved both operand types, so no tag is
    // tested: each form fetches its operands `a` and `b` (from the stack, the
    // constant pool or locals), runs the operation's own check (a zero divisor,
    // a shift count out of range) while the stack is untouched and ip is past
    // the operands, so an error reports the operator's line, then leaves its
    // result as the stack form would after the loads. A value result goes
    // straight into a local when OP_SET_LOCAL is next; a condition is tested at
    // once when OP_JUMP_IF_FALSE is next, and is not stored when the jump lands
    // on the OP_POP that would drop it.
#define TYPED_PUSH_VALUE(value, room)                    \
    do {                                                 \
        Value typed_result = (value);                    \
        if (*ip == OP_SET_LOCAL) {                       \
            slots[ip[1]] = typed_result;                 \
            ip += 2;                                     \
        } else {                                         \
            room;                                        \
            *sp++ = typed_result;                        \
        }                                                \
        DISPATCH();                                      \
    } while (0)
#define TYPED_PUSH_CONDITION(test, room)                 \
    do {                                                 \
        Value typed_condition = bool_val(test);          \
        FUSE_NOT(typed_condition);                       \
        if (*ip == OP_JUMP_IF_FALSE) {                   \
            uint16_t distance = (ip[1] << 8) | ip[2];    \
            ip += 3;                                     \
            if (typed_condition != VALUE_TRUE) ip += distance; \
            if (*ip == OP_POP) {                         \
                ip++;                                    \
                DISPATCH();                              \
            }                                            \
        }                                                \
        room;                                            \
        *sp++ = typed_condition;                         \
        DISPATCH();                                      \
    } while (0)
#define TYPED_HANDLERS(name, check, push, expr)                 \
    h_##name: {                                                 \
        Value a = sp[-2];                                       \
        Value b = sp[-1];                                       \
        check;                                                  \
        sp -= 2;                                                \
        push(expr, (void)0);                                    \
    }                                                           \
    h_##name##_K: {                                             \
        Value a = sp[-1];                                       \
        Value b = constants[ip[0]];                             \
        ip += 1;                                                \
        check;                                                  \
        sp -= 1;                                                \
        push(expr, (void)0);                                    \
    }                                                           \
    h_##name##_L: {                                             \
        Value a = sp[-1];                                       \
        Value b = slots[ip[0]];                                 \
        ip += 1;                                                \
        check;                                                  \
        sp -= 1;                                                \
        push(expr, (void)0);                                    \
    }                                                           \
    h_##name##_LL: {                                            \
        Value a = slots[ip[0]];                                 \
        Value b = slots[ip[1]];                                 \
        ip += 2;                                                \
        check;                                                  \
        push(expr, CHECK_PUSH());                               \
    }                                                           \
    h_##name##_LK: {                                            \
        Value a = slots[ip[0]];                                 \
        Value b = constants[ip[1]];                             \
        ip += 2;                                                \
        check;                                                  \
        push(expr, CHECK_PUSH());                               \
    }
#define NO_CHECK (void)0
#define CHECK_DIVISOR(message) \
    if (b == int_val(0)) FAIL(message)
#define CHECK_SHIFT()                                                  \
    if (int_of(b) < 0) FAIL("negative shift count.");                  \
    if (int_of(b) > 48) FAIL("shift count exceeds int width.")

    // Int words: +, - and * work on the encoded words (the low 49 bits of the
    // result depend only on the low 49 bits of the operands); an int equals
    // another exactly when the words are equal.
    TYPED_HANDLERS(OP_ADD_INT, NO_CHECK, TYPED_PUSH_VALUE, wrap_int(a + b))
    TYPED_HANDLERS(OP_SUBTRACT_INT, NO_CHECK, TYPED_PUSH_VALUE, wrap_int(a - b))
    TYPED_HANDLERS(OP_MULTIPLY_INT, NO_CHECK, TYPED_PUSH_VALUE,
                   wrap_int((a & VALUE_INT_PAYLOAD) * (b & VALUE_INT_PAYLOAD)))
    // Operands are 49-bit, so -2^48 / -1 fits in 64 bits and wraps on encoding.
    TYPED_HANDLERS(OP_DIVIDE_INT, CHECK_DIVISOR("integer division by zero."), TYPED_PUSH_VALUE,
                   wrap_int(static_cast<uint64_t>(int_of(a) / int_of(b))))
    TYPED_HANDLERS(OP_MODULO_INT, CHECK_DIVISOR("modulo by zero."), TYPED_PUSH_VALUE,
                   wrap_int(static_cast<uint64_t>(int_of(a) % int_of(b))))
    TYPED_HANDLERS(OP_BIT_AND_INT, NO_CHECK, TYPED_PUSH_VALUE, wrap_int(a & b))
    TYPED_HANDLERS(OP_BIT_OR_INT, NO_CHECK, TYPED_PUSH_VALUE, wrap_int(a | b))
    TYPED_HANDLERS(OP_BIT_XOR_INT, NO_CHECK, TYPED_PUSH_VALUE, wrap_int(a ^ b))
    TYPED_HANDLERS(OP_SHIFT_LEFT_INT, CHECK_SHIFT(), TYPED_PUSH_VALUE, wrap_int((a & VALUE_INT_PAYLOAD) << int_of(b)))
    TYPED_HANDLERS(OP_SHIFT_RIGHT_INT, CHECK_SHIFT(), TYPED_PUSH_VALUE,
                   wrap_int(static_cast<uint64_t>(int_of(a) >> int_of(b))))
    TYPED_HANDLERS(OP_EQUAL_INT, NO_CHECK, TYPED_PUSH_CONDITION, a == b)
    TYPED_HANDLERS(OP_LESS_INT, NO_CHECK, TYPED_PUSH_CONDITION, int_key(a) < int_key(b))
    TYPED_HANDLERS(OP_GREATER_INT, NO_CHECK, TYPED_PUSH_CONDITION, int_key(a) > int_key(b))

    // Floats: float_val keeps every NaN result the one canonical NaN; a
    // comparison with a NaN is false.
    TYPED_HANDLERS(OP_ADD_FLOAT, NO_CHECK, TYPED_PUSH_VALUE, float_val(as_float(a) + as_float(b)))
    TYPED_HANDLERS(OP_SUBTRACT_FLOAT, NO_CHECK, TYPED_PUSH_VALUE, float_val(as_float(a) - as_float(b)))
    TYPED_HANDLERS(OP_MULTIPLY_FLOAT, NO_CHECK, TYPED_PUSH_VALUE, float_val(as_float(a) * as_float(b)))
    TYPED_HANDLERS(OP_DIVIDE_FLOAT, NO_CHECK, TYPED_PUSH_VALUE, float_val(as_float(a) / as_float(b)))
    TYPED_HANDLERS(OP_LESS_FLOAT, NO_CHECK, TYPED_PUSH_CONDITION, as_float(a) < as_float(b))
    TYPED_HANDLERS(OP_GREATER_FLOAT, NO_CHECK, TYPED_PUSH_CONDITION, as_float(a) > as_float(b))

#undef TYPED_PUSH_VALUE
#undef TYPED_PUSH_CONDITION
#undef TYPED_HANDLERS
#undef NO_CHECK
#undef CHECK_DIVISOR
#undef CHECK_SHIFT

h_invalid:
    FAILF("internal: invalid opcode %d.", ip[-1]);

#undef FRAME
#undef LOAD_FRAME
#undef SYNC
#undef DISPATCH
#undef READ_U16
#undef JUMP_IF_FALSE
#undef FUSE_JUMP_IF_FALSE
#undef BINARY_RESULT
#undef FAIL
#undef FAILF
}
