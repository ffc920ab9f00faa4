// Arrays: the literal with its element classification, indexing (arrays and
// maps), the property `length` and the ten methods with their compile-time
// rules and callback hints, and the eleven natives that run them.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <iterator>

#include "compiler/compiler_internal.h"
#include "runtime/memory.h"
#include "vm/vm.h"

// The literal's count is OP_ARRAY's one-byte operand.
static constexpr int ARRAY_LITERAL_MAX = 255;
// The first element's type name is kept for messages; longer names are cut.
static constexpr int ELEMENT_NAME_SHOWN = 31;
// A string's length is a signed 32-bit count.
static constexpr uint64_t STRING_LENGTH_MAX = 2147483647u;

ObjNative* g_array_length_native = nullptr;
ObjNative* g_array_push_native = nullptr;
ObjNative* g_array_pop_native = nullptr;
ObjNative* g_array_contains_native = nullptr;
ObjNative* g_array_reverse_native = nullptr;
ObjNative* g_array_join_native = nullptr;
ObjNative* g_array_sort_native = nullptr;
ObjNative* g_array_slice_native = nullptr;
ObjNative* g_array_map_native = nullptr;
ObjNative* g_array_filter_native = nullptr;
ObjNative* g_array_reduce_native = nullptr;

StaticType array_element_type(const StaticType& array) {
    if (array.base == BASE_FUNC) return st_of_kind(TYPE_FUNC, BASE_NONE, array.index);
    return st_base(array.base, array.nullable != 0);
}

// ---------------------------------------------------------------------------
// Array literal
// ---------------------------------------------------------------------------

namespace {

struct LiteralClass {
    bool has_typed;
    uint32_t kind;  // TYPE_BASE or TYPE_FUNC
    uint32_t base;
    int32_t func_index;
    char name[ELEMENT_NAME_SHOWN + 1];
    bool may_be_null;
    bool null_seen;
};

void remember_first(LiteralClass& c, const StaticType& t) {
    c.has_typed = true;
    c.kind = t.kind;
    c.base = t.base;
    c.func_index = t.index;
    std::strncpy(c.name, static_type_name(t), ELEMENT_NAME_SHOWN);
    c.name[ELEMENT_NAME_SHOWN] = '\0';
}

StaticType first_type(const LiteralClass& c) {
    if (c.kind == TYPE_FUNC) return st_of_kind(TYPE_FUNC, BASE_NONE, c.func_index);
    return st_base(c.base);
}

void mixed_elements(const LiteralClass& c, const StaticType& t) {
    report_at_previous("array elements must all be the same type; found %s and %s", c.name, static_type_name(t));
}

void classify_element(LiteralClass& c, const StaticType& t) {
    switch (t.kind) {
        case TYPE_FUNC:
            if (!c.has_typed) {
                remember_first(c, t);
                // Functions are never null, so an earlier null cannot join them.
                if (c.null_seen) mixed_elements(c, st_base(BASE_NULL));
            } else if (c.kind != TYPE_FUNC || !st_assignable(first_type(c), t)) {
                mixed_elements(c, t);
            }
            return;
        case TYPE_BASE:
            if (t.base == BASE_NONE) {
                // A call without a result leaves nothing to store.
                report_at_previous("cannot use no-value as an array element.");
                return;
            }
            if (t.base == BASE_NULL) {
                c.may_be_null = true;
                c.null_seen = true;
                if (c.has_typed && c.kind == TYPE_FUNC) mixed_elements(c, t);
                return;
            }
            if (!c.has_typed) {
                remember_first(c, t);
            } else if (c.kind != TYPE_BASE || c.base != t.base) {
                mixed_elements(c, t);
            }
            if (t.nullable) c.may_be_null = true;
            return;
        default:
            // Nested arrays, Results, maps and structs cannot be elements.
            report_at_previous(
                "array elements must be a base type; nested array/Result inside array is not supported in 12a.");
            return;
    }
}

}  // namespace

void array_literal() {
    LiteralClass c{};
    int count = 0;
    if (!match(TOKEN_RIGHT_BRACKET)) {
        do {
            expression();
            classify_element(c, pop_type());
            count++;
        } while (match(TOKEN_COMMA));
        consume(TOKEN_RIGHT_BRACKET, "Expect ']' after array elements.");
    }
    if (count > ARRAY_LITERAL_MAX) {
        report_at_previous("array literal too long (max 255 elements in 12a).");
        count = ARRAY_LITERAL_MAX;
    }
    emit_bytes(OP_ARRAY, static_cast<uint8_t>(count));
    if (count == 0) {
        push_type(st_of_kind(TYPE_ARRAY_ANY, BASE_NONE, -1));
        return;
    }
    if (!c.has_typed) {
        report_at_previous(
            "cannot infer element type of array literal containing only null; use an explicit type like "
            "array<int?>.");
        push_type(st_of_kind(TYPE_ARRAY_ANY, BASE_NONE, -1));
        return;
    }
    if (c.kind == TYPE_FUNC) {
        push_type(st_of_kind(TYPE_ARRAY, BASE_FUNC, c.func_index));
        return;
    }
    StaticType t = st_of_kind(TYPE_ARRAY, c.base, -1);
    t.nullable = c.may_be_null ? 1 : 0;
    push_type(t);
}

// ---------------------------------------------------------------------------
// Indexing
// ---------------------------------------------------------------------------

bool index_check_array(const StaticType& index) {
    if (index.kind == TYPE_BASE && index.base == BASE_INT && !index.nullable) return true;
    report_at_previous("array index must be int, got %s", static_type_name(index));
    return false;
}

void index_op() {
    StaticType indexed = pop_type();
    expression();
    StaticType index = pop_type();
    consume(TOKEN_RIGHT_BRACKET, "Expect ']' after index expression.");
    emit_index_get();
    if (indexed.kind == TYPE_ARRAY) {
        index_check_array(index);
        push_type(array_element_type(indexed));
        return;
    }
    if (indexed.kind == TYPE_MAP) {
        push_type(map_index_type(indexed, index));
        return;
    }
    report_at_previous("cannot index into %s; expected array<T> or map<K,V>", static_type_name(indexed));
    push_type(st_int());
}

// ---------------------------------------------------------------------------
// Members: compilation
// ---------------------------------------------------------------------------

namespace {

bool member_is(const Token& member, const char* name) {
    size_t n = std::strlen(name);
    return member.length == n && std::memcmp(member.start, name, n) == 0;
}

// The native below the receiver: the receiver becomes argument 0.
void emit_method_prologue(ObjNative* native) {
    emit_constant(obj_val(native));
    emit_byte(OP_SWAP);
}

// Reports a method written without "(" and pushes its recovery type.
bool method_without_call(const Token& member, const char* message, const StaticType& recovery) {
    if (check(TOKEN_LEFT_PAREN)) return false;
    report_at(member, nullptr, "%s", message);
    push_type(recovery);
    return true;
}

// A ")" right after "(" where arguments are required.
bool missing_arguments(const char* message, const StaticType& recovery) {
    if (!check(TOKEN_RIGHT_PAREN)) return false;
    report_at_current("%s", message);
    push_type(recovery);
    return true;
}

bool valid_signature(const StaticType& t) {
    return t.kind == TYPE_FUNC && t.index >= 0 && t.index < func_sig_count;
}

StaticType declared_result(const FuncSig& sig) { return sig.has_return ? sig.return_type : st_none(); }

// Compiles a callback argument with a hint signature, so that a lambda
// written there takes its untyped parameter types from the hint.
StaticType callback_argument(const FuncSig& hint) {
    int32_t hint_index = -1;
    if (func_sig_count < FUNC_SIG_MAX) hint_index = func_sig_add(hint);
    int32_t saved = inferring_lambda_func_idx;
    inferring_lambda_func_idx = hint_index;
    expression();
    inferring_lambda_func_idx = saved;
    return pop_type();
}

FuncSig hint_of(std::initializer_list<StaticType> params, bool has_return, const StaticType& result) {
    FuncSig sig{};
    for (const StaticType& p : params) sig.params[sig.param_count++] = p;
    sig.has_return = has_return ? 1 : 0;
    sig.return_type = has_return ? result : st_none();
    return sig;
}

StaticType array_of(uint32_t base, bool nullable) {
    StaticType t = st_of_kind(TYPE_ARRAY, base, -1);
    t.nullable = nullable ? 1 : 0;
    return t;
}

void member_length(const Token& member) {
    if (check(TOKEN_LEFT_PAREN)) {
        report_at(member, nullptr, "'.length' is a property; remove '()' (use 'arr.length').");
        advance();
        match(TOKEN_RIGHT_PAREN);
    }
    emit_method_prologue(g_array_length_native);
    emit_bytes(OP_CALL, 1);
    push_type(st_int());
}

void member_push(const Token& member, const StaticType& element) {
    if (method_without_call(member, "'.push' is a method; call it as 'arr.push(value)'.", st_none())) return;
    advance();
    if (missing_arguments("'.push' requires one argument (the value to append).", st_none())) return;
    emit_method_prologue(g_array_push_native);
    expression();
    StaticType value = pop_type();
    consume(TOKEN_RIGHT_PAREN, "Expect ')' after push argument.");
    if (!st_assignable(element, value)) {
        if (st_is_base(value, BASE_NULL)) {
            report_at(member, nullptr, "push expects %s, got null", static_type_name(element));
        } else {
            report_at(member, nullptr, "push expects %s, got %s", static_type_name(element), static_type_name(value));
        }
    }
    emit_bytes(OP_CALL, 2);
    emit_byte(OP_POP);
    push_type(st_none());
}

void member_pop(const Token& member, const StaticType& element) {
    if (method_without_call(member, "'.pop' is a method; call it as 'arr.pop()'.", element)) return;
    advance();
    emit_method_prologue(g_array_pop_native);
    consume(TOKEN_RIGHT_PAREN, "Expect ')' after '.pop('.");
    emit_bytes(OP_CALL, 1);
    push_type(element);
}

void member_contains(const Token& member, const StaticType& receiver, const StaticType& element) {
    if (method_without_call(member, "'.contains' is a method; call it as 'arr.contains(x)'.", st_bool())) return;
    advance();
    if (element.kind == TYPE_BASE && element.base == BASE_NONE) {
        report_at(member, nullptr, "%s does not support contains", static_type_name(receiver));
    }
    if (missing_arguments("'.contains' requires one argument.", st_bool())) return;
    emit_method_prologue(g_array_contains_native);
    expression();
    StaticType value = pop_type();
    consume(TOKEN_RIGHT_PAREN, "Expect ')' after contains argument.");
    if (!st_assignable(element, value)) {
        report_at(member, nullptr, "contains expects %s, got %s", static_type_name(element), static_type_name(value));
    }
    emit_bytes(OP_CALL, 2);
    push_type(st_bool());
}

void member_reverse(const Token& member) {
    if (method_without_call(member, "'.reverse' is a method; call it as 'arr.reverse()'.", st_none())) return;
    advance();
    emit_method_prologue(g_array_reverse_native);
    consume(TOKEN_RIGHT_PAREN, "Expect ')' after '.reverse('.");
    emit_bytes(OP_CALL, 1);
    emit_byte(OP_POP);
    push_type(st_none());
}

void member_join(const Token& member, const StaticType& receiver) {
    const StaticType string_type = st_base(BASE_STRING);
    if (method_without_call(member, "'.join' is a method; call it as 'arr.join(sep)'.", string_type)) return;
    advance();
    if (receiver.base != BASE_STRING || receiver.nullable) {
        report_at(member, nullptr, "join is only valid on array<string>, got %s", static_type_name(receiver));
    }
    if (missing_arguments("'.join' requires one argument (the separator).", string_type)) return;
    emit_method_prologue(g_array_join_native);
    expression();
    StaticType separator = pop_type();
    consume(TOKEN_RIGHT_PAREN, "Expect ')' after join separator.");
    if (!(separator.kind == TYPE_BASE && separator.base == BASE_STRING && !separator.nullable)) {
        report_at(member, nullptr, "join separator must be string, got %s", static_type_name(separator));
    }
    emit_bytes(OP_CALL, 2);
    push_type(string_type);
}

void member_sort(const Token& member, const StaticType& receiver) {
    if (method_without_call(member, "'.sort' is a method; call it as 'arr.sort()'.", st_none())) return;
    advance();
    emit_method_prologue(g_array_sort_native);
    consume(TOKEN_RIGHT_PAREN, "Expect ')' after '.sort('.");
    bool sortable = !receiver.nullable && (receiver.base == BASE_INT || receiver.base == BASE_FLOAT ||
                                           receiver.base == BASE_BOOL || receiver.base == BASE_STRING);
    if (!sortable) {
        report_at(member, nullptr, "sort is only valid on array<int>/<float>/<bool>/<string>, got %s",
                  static_type_name(receiver));
    }
    emit_bytes(OP_CALL, 1);
    emit_byte(OP_POP);
    push_type(st_none());
}

bool is_plain_int(const StaticType& t) { return t.kind == TYPE_BASE && t.base == BASE_INT && !t.nullable; }

void member_slice(const Token& member, const StaticType& receiver) {
    if (method_without_call(member, "'.slice' is a method; call it as 'arr.slice(start, end)'.", receiver)) return;
    advance();
    if (missing_arguments("'.slice' requires two arguments (start, end).", receiver)) return;
    emit_method_prologue(g_array_slice_native);
    expression();
    StaticType start = pop_type();
    if (!is_plain_int(start)) report_at(member, nullptr, "slice start must be int, got %s", static_type_name(start));
    consume(TOKEN_COMMA, "Expect ',' between slice start and end.");
    expression();
    StaticType end = pop_type();
    if (!is_plain_int(end)) report_at(member, nullptr, "slice end must be int, got %s", static_type_name(end));
    consume(TOKEN_RIGHT_PAREN, "Expect ')' after slice arguments.");
    emit_bytes(OP_CALL, 3);
    push_type(receiver);
}

void member_map(const Token& member, const StaticType& element) {
    const StaticType fallback = array_of(BASE_INT, false);
    if (method_without_call(member, "'.map' is a method; call it as 'arr.map(fn)'.", fallback)) return;
    advance();
    if (missing_arguments("'.map' requires one argument (the function).", fallback)) return;
    emit_method_prologue(g_array_map_native);
    StaticType f = callback_argument(hint_of({element}, false, st_none()));
    consume(TOKEN_RIGHT_PAREN, "Expect ')' after map argument.");
    emit_bytes(OP_CALL, 2);
    if (!valid_signature(f)) {
        report_at(member, nullptr, "map expects a function argument");
        push_type(fallback);
        return;
    }
    const FuncSig& sig = func_sig_table[f.index];
    if (sig.param_count != 1) {
        report_at(member, nullptr, "map function must take exactly one parameter");
    } else if (!st_assignable(sig.params[0], element)) {
        report_at(member, nullptr, "map function parameter expects %s, got %s", static_type_name(element),
                  static_type_name(sig.params[0]));
    }
    StaticType result = declared_result(sig);
    if (result.kind != TYPE_BASE || result.base == BASE_NONE) {
        report_at(member, nullptr, "map function must return a base type");
        push_type(fallback);
        return;
    }
    push_type(array_of(result.base, result.nullable != 0));
}

void member_filter(const Token& member, const StaticType& receiver, const StaticType& element) {
    if (method_without_call(member, "'.filter' is a method; call it as 'arr.filter(pred)'.", receiver)) return;
    advance();
    if (missing_arguments("'.filter' requires one argument (the predicate).", receiver)) return;
    emit_method_prologue(g_array_filter_native);
    StaticType p = callback_argument(hint_of({element}, true, st_bool()));
    consume(TOKEN_RIGHT_PAREN, "Expect ')' after filter argument.");
    emit_bytes(OP_CALL, 2);
    if (!valid_signature(p)) {
        report_at(member, nullptr, "filter expects a function argument");
    } else {
        const FuncSig& sig = func_sig_table[p.index];
        StaticType result = declared_result(sig);
        if (sig.param_count != 1) {
            report_at(member, nullptr, "filter function must take exactly one parameter");
        } else if (!st_assignable(sig.params[0], element)) {
            report_at(member, nullptr, "filter function parameter expects %s, got %s", static_type_name(element),
                      static_type_name(sig.params[0]));
        } else if (!st_is_plain_bool(result)) {
            report_at(member, nullptr, "filter function must return bool, got %s", static_type_name(result));
        }
    }
    push_type(receiver);
}

void member_reduce(const Token& member, const StaticType& element) {
    if (method_without_call(member, "'.reduce' is a method; call it as 'arr.reduce(init, fn)'.", st_int())) return;
    advance();
    if (missing_arguments("'.reduce' requires (init, fn) arguments.", st_int())) return;
    emit_method_prologue(g_array_reduce_native);
    expression();
    StaticType init = pop_type();
    // Arguments are passed by value: the callback must not change the caller's struct.
    if (init.kind == TYPE_STRUCT) emit_byte(OP_COPY_STRUCT);
    consume(TOKEN_COMMA, "Expect ',' between reduce init and fn.");
    StaticType f = callback_argument(hint_of({init, element}, true, init));
    consume(TOKEN_RIGHT_PAREN, "Expect ')' after reduce arguments.");
    emit_bytes(OP_CALL, 3);
    if (!valid_signature(f)) {
        report_at(member, nullptr, "reduce expects a function as its second argument");
        push_type(init);
        return;
    }
    const FuncSig& sig = func_sig_table[f.index];
    StaticType result = declared_result(sig);
    if (sig.param_count != 2) {
        report_at(member, nullptr, "reduce function must take (accumulator, element)");
    } else if (!st_assignable(sig.params[0], init)) {
        report_at(member, nullptr, "reduce accumulator type %s does not match init %s",
                  static_type_name(sig.params[0]), static_type_name(init));
    } else if (!st_assignable(sig.params[1], element)) {
        report_at(member, nullptr, "reduce element parameter expects %s, got %s", static_type_name(element),
                  static_type_name(sig.params[1]));
    } else if (!st_assignable(init, result)) {
        report_at(member, nullptr, "reduce function must return %s, got %s", static_type_name(init),
                  static_type_name(result));
    }
    push_type(result);
}

}  // namespace

void array_member(const StaticType& receiver, const Token& member) {
    StaticType element = array_element_type(receiver);
    if (member_is(member, "length")) return member_length(member);
    if (member_is(member, "push")) return member_push(member, element);
    if (member_is(member, "pop")) return member_pop(member, element);
    if (member_is(member, "contains")) return member_contains(member, receiver, element);
    if (member_is(member, "reverse")) return member_reverse(member);
    if (member_is(member, "join")) return member_join(member, receiver);
    if (member_is(member, "sort")) return member_sort(member, receiver);
    if (member_is(member, "slice")) return member_slice(member, receiver);
    if (member_is(member, "map")) return member_map(member, element);
    if (member_is(member, "filter")) return member_filter(member, receiver, element);
    if (member_is(member, "reduce")) return member_reduce(member, element);
    report_at(member, nullptr,
              "%s has no member '%.*s' (known: length, push, pop, contains, reverse, join, sort, slice, map, filter, "
              "reduce)",
              static_type_name(receiver), static_cast<int>(member.length), member.start);
    push_type(st_int());
}

// ---------------------------------------------------------------------------
// Natives
// ---------------------------------------------------------------------------

namespace {

bool is_array(Value v) { return is_obj_kind(v, OBJ_ARRAY); }

bool is_callable(Value v) { return is_obj_kind(v, OBJ_CLOSURE) || is_obj_kind(v, OBJ_FUNCTION); }

// Appends v, growing the values by doubling from 8. The value is stored before
// the growth is counted, because counting may collect and v may be reachable
// from nowhere else.
void array_append(ObjArray* array, Value v) {
    uint64_t grown = 0;
    if (array->count == array->capacity) {
        if (array->capacity > INT32_MAX / 2) mem_out_of_memory();
        int32_t capacity = array->capacity < 8 ? 8 : array->capacity * 2;
        array->values = static_cast<Value*>(
            mem_realloc(array->values, static_cast<size_t>(capacity) * sizeof(Value)));
        grown = static_cast<uint64_t>(capacity - array->capacity) * sizeof(Value);
        array->capacity = capacity;
    }
    array->values[array->count++] = v;
    if (grown > 0) vm_track_alloc(grown);
}

bool native_array_length(int, Value* args, Value* result) {
    if (!is_array(args[0])) return false;
    *result = int_val(as_array(args[0])->count);
    return true;
}

bool native_array_push(int, Value* args, Value*) {
    if (!is_array(args[0])) return false;
    array_append(as_array(args[0]), args[1]);
    return true;
}

bool native_array_pop(int, Value* args, Value* result) {
    if (!is_array(args[0])) return false;
    ObjArray* array = as_array(args[0]);
    if (array->count == 0) {
        vm_set_native_error("pop from empty array");
        return false;
    }
    *result = array->values[--array->count];
    return true;
}

bool native_array_contains(int, Value* args, Value* result) {
    if (!is_array(args[0])) return false;
    const ObjArray* array = as_array(args[0]);
    bool found = false;
    for (int32_t i = 0; i < array->count && !found; i++) found = values_equal(array->values[i], args[1]);
    *result = bool_val(found);
    return true;
}

bool native_array_reverse(int, Value* args, Value*) {
    if (!is_array(args[0])) return false;
    ObjArray* array = as_array(args[0]);
    for (int32_t i = 0, j = array->count - 1; i < j; i++, j--) {
        Value t = array->values[i];
        array->values[i] = array->values[j];
        array->values[j] = t;
    }
    return true;
}

bool native_array_join(int, Value* args, Value* result) {
    if (!is_array(args[0]) || !is_string(args[1])) return false;
    const ObjArray* array = as_array(args[0]);
    const ObjString* sep = as_string(args[1]);
    if (array->count == 0) {
        *result = obj_val(copy_string("", 0));
        return true;
    }
    // Each term is below 2^31 and there are fewer than 2^31 of them, so the
    // sum cannot wrap 64 bits; it only has to fit a string's length.
    uint64_t total = static_cast<uint64_t>(sep->length) * static_cast<uint64_t>(array->count - 1);
    for (int32_t i = 0; i < array->count; i++) {
        if (!is_string(array->values[i])) return false;
        total += static_cast<uint64_t>(as_string(array->values[i])->length);
    }
    if (total > STRING_LENGTH_MAX) {
        vm_set_native_error("join result too large");
        return false;
    }
    char* chars = static_cast<char*>(mem_alloc(static_cast<size_t>(total) + 1));
    size_t at = 0;
    for (int32_t i = 0; i < array->count; i++) {
        if (i > 0) {
            std::memcpy(chars + at, sep->chars, static_cast<size_t>(sep->length));
            at += static_cast<size_t>(sep->length);
        }
        const ObjString* s = as_string(array->values[i]);
        std::memcpy(chars + at, s->chars, static_cast<size_t>(s->length));
        at += static_cast<size_t>(s->length);
    }
    chars[at] = '\0';
    // The elements stay reachable through the receiver while this may collect.
    vm_track_alloc(total + 1);
    *result = obj_val(take_string(chars, static_cast<int>(total)));
    return true;
}

int sort_cmp_int(const void* a, const void* b) {
    int64_t x = as_int(*static_cast<const Value*>(a));
    int64_t y = as_int(*static_cast<const Value*>(b));
    return x < y ? -1 : x > y ? 1 : 0;
}

// NaNs sort after every number and equal to one another, so that the order
// is total and qsort's result is well defined.
int sort_cmp_float(const void* a, const void* b) {
    double x = as_float(*static_cast<const Value*>(a));
    double y = as_float(*static_cast<const Value*>(b));
    bool x_nan = x != x;
    bool y_nan = y != y;
    if (x_nan || y_nan) return static_cast<int>(x_nan) - static_cast<int>(y_nan);
    return x < y ? -1 : x > y ? 1 : 0;
}

int sort_cmp_bool(const void* a, const void* b) {
    int x = as_bool(*static_cast<const Value*>(a)) ? 1 : 0;
    int y = as_bool(*static_cast<const Value*>(b)) ? 1 : 0;
    return x - y;
}

int sort_cmp_string(const void* a, const void* b) {
    const ObjString* x = as_string(*static_cast<const Value*>(a));
    const ObjString* y = as_string(*static_cast<const Value*>(b));
    int32_t common = x->length < y->length ? x->length : y->length;
    int c = common > 0 ? std::memcmp(x->chars, y->chars, static_cast<size_t>(common)) : 0;
    if (c != 0) return c < 0 ? -1 : 1;
    return x->length < y->length ? -1 : x->length > y->length ? 1 : 0;
}

using SortKindTest = bool (*)(Value);

bool is_string_value(Value v) { return is_string(v); }

bool native_array_sort(int, Value* args, Value*) {
    if (!is_array(args[0])) return false;
    ObjArray* array = as_array(args[0]);
    if (array->count < 2) return true;
    Value first = array->values[0];
    int (*cmp)(const void*, const void*) = nullptr;
    SortKindTest same_kind = nullptr;
    if (is_int(first)) {
        cmp = sort_cmp_int;
        same_kind = is_int;
    } else if (is_bool(first)) {
        cmp = sort_cmp_bool;
        same_kind = is_bool;
    } else if (is_float(first)) {
        cmp = sort_cmp_float;
        same_kind = is_float;
    } else if (is_string(first)) {
        cmp = sort_cmp_string;
        same_kind = is_string_value;
    } else {
        return false;
    }
    // A comparator reads every element as the first one's kind; an element of
    // another kind would be misread, so such an array is refused whole.
    for (int32_t i = 1; i < array->count; i++) {
        if (!same_kind(array->values[i])) return false;
    }
    std::qsort(array->values, static_cast<size_t>(array->count), sizeof(Value), cmp);
    return true;
}

bool native_array_slice(int, Value* args, Value* result) {
    if (!is_array(args[0]) || !is_int(args[1]) || !is_int(args[2])) return false;
    const ObjArray* array = as_array(args[0]);
    int64_t start = as_int(args[1]);
    int64_t end = as_int(args[2]);
    if (start < 0 || end < 0 || start > end || end > array->count) {
        vm_set_native_error("slice index out of range");
        return false;
    }
    // An empty array may have no values buffer at all: no offset is taken then.
    const Value* from = end > start ? array->values + start : nullptr;
    *result = obj_val(new_array_from_stack(from, static_cast<int>(end - start)));
    return true;
}

// map and filter share one walk: the receiver's count is read before each
// step, since the callback may push to or pop from it; the result array grows
// as needed. The value passed is the one a filter keeps, whatever the
// callback does to the receiver.
bool map_or_filter(Value* args, Value* result, bool filtering) {
    if (!is_array(args[0]) || !is_callable(args[1])) return false;
    ObjArray* source = as_array(args[0]);
    ObjArray* out = new_array_with_capacity(source->count);
    vm_push_transient(&out->obj);
    for (int32_t i = 0; i < source->count; i++) {
        Value element = source->values[i];
        Value answer = VALUE_NULL;
        if (!vm_call_closure(args[1], 1, &element, &answer)) {
            vm_pop_transient();
            return false;
        }
        if (!filtering) {
            array_append(out, answer);
        } else if (!is_bool(answer)) {
            vm_pop_transient();
            vm_set_native_error("filter predicate must return bool");
            return false;
        } else if (as_bool(answer)) {
            array_append(out, element);
        }
    }
    vm_pop_transient();
    *result = obj_val(out);
    return true;
}

bool native_array_map(int, Value* args, Value* result) { return map_or_filter(args, result, false); }

bool native_array_filter(int, Value* args, Value* result) { return map_or_filter(args, result, true); }

bool native_array_reduce(int, Value* args, Value* result) {
    if (!is_array(args[0]) || !is_callable(args[2])) return false;
    ObjArray* source = as_array(args[0]);
    // The accumulator lives in the init argument's stack slot, so it stays
    // rooted between calls.
    for (int32_t i = 0; i < source->count; i++) {
        Value pair[2] = {args[1], source->values[i]};
        if (!vm_call_closure(args[2], 2, pair, &args[1])) return false;
    }
    *result = args[1];
    return true;
}

// The order is the registry's row order and is kept stable.
const MemberNative array_methods[] = {
    {"length", native_array_length, 1, &g_array_length_native},
    {"push", native_array_push, 2, &g_array_push_native},
    {"pop", native_array_pop, 1, &g_array_pop_native},
    {"contains", native_array_contains, 2, &g_array_contains_native},
    {"reverse", native_array_reverse, 1, &g_array_reverse_native},
    {"join", native_array_join, 2, &g_array_join_native},
    {"sort", native_array_sort, 1, &g_array_sort_native},
    {"slice", native_array_slice, 3, &g_array_slice_native},
    {"map", native_array_map, 2, &g_array_map_native},
    {"filter", native_array_filter, 2, &g_array_filter_native},
    {"reduce", native_array_reduce, 3, &g_array_reduce_native},
};

}  // namespace

std::vector<std::string_view> array_member_names() { return member_native_names(array_methods, std::size(array_methods)); }

void register_array_methods() { register_member_natives(array_methods, std::size(array_methods)); }
