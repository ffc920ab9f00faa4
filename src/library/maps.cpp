// Maps in the language: the `{k: v}` literal, the typing of `m[k]`, the members
// of a map value and the natives behind them, including the four hidden natives
// through which `for` loops walk a map's slots.
#include <iterator>
#include <string_view>

#include "compiler/compiler_internal.h"
#include "vm/vm.h"

ObjNative* g_map_length_native = nullptr;
ObjNative* g_map_has_native = nullptr;
ObjNative* g_map_delete_native = nullptr;
ObjNative* g_map_keys_native = nullptr;
ObjNative* g_map_values_native = nullptr;
ObjNative* g_map_clear_native = nullptr;
ObjNative* g_map_capacity_native = nullptr;
ObjNative* g_map_slot_is_live_native = nullptr;
ObjNative* g_map_slot_key_native = nullptr;
ObjNative* g_map_slot_value_native = nullptr;

// OP_MAP takes its pair count in one byte.
inline constexpr int MAP_LITERAL_PAIRS_MAX = 255;

// ---------------------------------------------------------------------------
// Natives. The compiler guarantees the argument kinds; each native still checks
// what it dereferences and fails without a message when it is wrong.
// ---------------------------------------------------------------------------

namespace {

ObjMap* map_arg(Value v) { return is_obj_kind(v, OBJ_MAP) ? as_map(v) : nullptr; }

bool native_map_length(int, Value* args, Value* result) {
    ObjMap* map = map_arg(args[0]);
    if (map == nullptr) return false;
    *result = int_val(map->count);
    return true;
}

bool native_map_has(int, Value* args, Value* result) {
    ObjMap* map = map_arg(args[0]);
    if (map == nullptr) return false;
    *result = bool_val(map_get(map, args[1], nullptr));
    return true;
}

bool native_map_delete(int, Value* args, Value* result) {
    ObjMap* map = map_arg(args[0]);
    if (map == nullptr) return false;
    *result = bool_val(map_delete(map, args[1]));
    return true;
}

// The keys or the values of the live slots, in slot order.
bool collect_live_slots(Value* args, Value* result, bool keys) {
    ObjMap* map = map_arg(args[0]);
    if (map == nullptr) return false;
    ObjArray* array = new_array_with_capacity(map->count);
    vm_push_transient(&array->obj);
    for (int32_t i = 0; i < map->capacity && array->count < array->capacity; i++) {
        const MapEntry& entry = map->entries[i];
        if (!map_slot_live(entry)) continue;
        array->values[array->count++] = keys ? entry.key : entry.value;
    }
    vm_pop_transient();
    *result = obj_val(array);
    return true;
}

bool native_map_keys(int, Value* args, Value* result) { return collect_live_slots(args, result, true); }
bool native_map_values(int, Value* args, Value* result) { return collect_live_slots(args, result, false); }

// Keeps the entry array: a map that is cleared is usually refilled.
bool native_map_clear(int, Value* args, Value*) {
    ObjMap* map = map_arg(args[0]);
    if (map == nullptr) return false;
    for (int32_t i = 0; i < map->capacity; i++) {
        map->entries[i] = MapEntry{VALUE_NULL, VALUE_NULL, false, false};
    }
    map->count = 0;
    map->tombstones = 0;
    return true;
}

bool native_map_capacity(int, Value* args, Value* result) {
    ObjMap* map = map_arg(args[0]);
    if (map == nullptr) return false;
    *result = int_val(map->capacity);
    return true;
}

bool native_map_slot_is_live(int, Value* args, Value* result) {
    ObjMap* map = map_arg(args[0]);
    if (map == nullptr || !is_int(args[1])) return false;
    int64_t i = as_int(args[1]);
    *result = bool_val(i >= 0 && i < map->capacity && map_slot_live(map->entries[i]));
    return true;
}

// The slot a for loop reads; an index outside the table is a compiler fault.
const MapEntry* slot_arg(Value* args) {
    ObjMap* map = map_arg(args[0]);
    if (map == nullptr || !is_int(args[1])) return nullptr;
    int64_t i = as_int(args[1]);
    if (i < 0 || i >= map->capacity) return nullptr;
    return &map->entries[i];
}

bool native_map_slot_key(int, Value* args, Value* result) {
    const MapEntry* entry = slot_arg(args);
    if (entry == nullptr) return false;
    *result = entry->key;
    return true;
}

bool native_map_slot_value(int, Value* args, Value* result) {
    const MapEntry* entry = slot_arg(args);
    if (entry == nullptr) return false;
    *result = entry->value;
    return true;
}

// The members a program can name, then the hidden slot natives of for loops,
// in registry order.
const MemberNative map_methods[] = {
    {"length", native_map_length, 1, &g_map_length_native},
    {"has", native_map_has, 2, &g_map_has_native},
    {"delete", native_map_delete, 2, &g_map_delete_native},
    {"keys", native_map_keys, 1, &g_map_keys_native},
    {"values", native_map_values, 1, &g_map_values_native},
    {"clear", native_map_clear, 1, &g_map_clear_native},
    {"$map_capacity", native_map_capacity, 1, &g_map_capacity_native},
    {"$map_slot_is_live", native_map_slot_is_live, 2, &g_map_slot_is_live_native},
    {"$map_slot_key", native_map_slot_key, 2, &g_map_slot_key_native},
    {"$map_slot_value", native_map_slot_value, 2, &g_map_slot_value_native},
};

}  // namespace

// Hidden names are left to the caller to pass over, as for every table.
std::vector<std::string_view> map_member_names() { return member_native_names(map_methods, std::size(map_methods)); }

void register_map_methods() { register_member_natives(map_methods, std::size(map_methods)); }

// ---------------------------------------------------------------------------
// Map literal
// ---------------------------------------------------------------------------

namespace {

bool is_key_base(uint32_t base) { return base == BASE_INT || base == BASE_BOOL || base == BASE_STRING; }

const char* base_type_name(uint32_t base) { return static_type_name(st_base(base)); }

// What the pairs of one literal have fixed so far.
struct LiteralTypes {
    uint32_t key_base = BASE_NONE;  // BASE_NONE until an acceptable key is seen
    uint32_t value_base = BASE_NONE;
    bool value_nullable = false;
};

void classify_key(LiteralTypes& lit, const StaticType& key) {
    if (key.kind != TYPE_BASE || key.nullable || !is_key_base(key.base)) {
        report_at_previous("map key type must be string / int / bool (non-nullable); got %s", static_type_name(key));
        return;
    }
    if (lit.key_base == BASE_NONE) {
        lit.key_base = key.base;
    } else if (key.base != lit.key_base) {
        report_at_previous("map key type mismatch: expected %s, got %s", base_type_name(lit.key_base),
                           base_type_name(key.base));
    }
}

void classify_value(LiteralTypes& lit, const StaticType& value) {
    if (st_is_none(value)) {
        // A call without a result left nothing on the stack to store.
        report_at_previous("cannot use no-value as a map value.");
        return;
    }
    if (value.kind != TYPE_BASE) {
        report_at_previous(
            "map value must be a base type; nested array/Result/map inside map is not supported in 15a.");
        return;
    }
    if (value.base == BASE_NULL) {
        lit.value_nullable = true;
        return;
    }
    if (lit.value_base == BASE_NONE) {
        lit.value_base = value.base;
    } else if (value.base != lit.value_base) {
        report_at_previous("map value type mismatch: expected %s, got %s", base_type_name(lit.value_base),
                           base_type_name(value.base));
    }
    if (value.nullable) lit.value_nullable = true;
}

}  // namespace

void map_literal() {
    LiteralTypes lit;
    int pairs = 0;
    bool any_null_value = false;
    if (!match(TOKEN_RIGHT_BRACE)) {
        do {
            int32_t saved = inferring_lambda_func_idx;
            inferring_lambda_func_idx = -1;
            expression();
            classify_key(lit, pop_type());
            consume(TOKEN_COLON, "Expect ':' between map key and value.");
            expression();
            StaticType value = pop_type();
            inferring_lambda_func_idx = saved;
            if (st_is_base(value, BASE_NULL)) any_null_value = true;
            classify_value(lit, value);
            pairs++;
            if (pairs == MAP_LITERAL_PAIRS_MAX + 1) report_at_previous("map literal too long (max 255 pairs in 15a).");
        } while (match(TOKEN_COMMA));
        consume(TOKEN_RIGHT_BRACE, "Expect '}' after map entries.");
    }
    emit_bytes(OP_MAP, static_cast<uint8_t>(pairs > MAP_LITERAL_PAIRS_MAX ? MAP_LITERAL_PAIRS_MAX : pairs));
    if (pairs == 0) {
        push_type(st_of_kind(TYPE_MAP_ANY, BASE_NONE, 0));
        return;
    }
    if (lit.value_base == BASE_NONE && any_null_value) {
        report_at_previous("cannot infer value type of map literal containing only null values; use an explicit type.");
        push_type(st_of_kind(TYPE_MAP_ANY, BASE_NONE, 0));
        return;
    }
    StaticType t = st_of_kind(TYPE_MAP, lit.key_base, 0);
    t.value_base = lit.value_base;
    t.value_nullable = lit.value_nullable ? 1 : 0;
    push_type(t);
}

// ---------------------------------------------------------------------------
// Members
// ---------------------------------------------------------------------------

namespace {

bool key_accepted(const StaticType& map_type, const StaticType& key) {
    return key.kind == TYPE_BASE && !key.nullable && key.base == map_type.base;
}

// The native below the receiver, so the receiver becomes argument 0.
void emit_method_native(ObjNative* native) {
    emit_constant(obj_val(native));
    emit_byte(OP_SWAP);
}

void method_without_call(const Token& member) {
    int n = static_cast<int>(member.length);
    report_at(member, nullptr, "'.%.*s' is a method; call it as 'map.%.*s(...)'.", n, member.start, n, member.start);
}

// has(k) and delete(k): one key argument, a bool result.
void keyed_method(const StaticType& map_type, const Token& member, ObjNative* native) {
    int n = static_cast<int>(member.length);
    if (!check(TOKEN_LEFT_PAREN)) {
        method_without_call(member);
        push_type(st_int());
        return;
    }
    advance();
    if (check(TOKEN_RIGHT_PAREN)) {
        report_at_current("expected key argument.");
        advance();
        push_type(st_bool());
        return;
    }
    emit_method_native(native);
    int32_t saved = inferring_lambda_func_idx;
    inferring_lambda_func_idx = -1;
    expression();
    inferring_lambda_func_idx = saved;
    StaticType key = pop_type();
    if (!key_accepted(map_type, key)) {
        report_at(member, nullptr, "argument 1 of '.%.*s' expects %s, got %s", n, member.start,
                  base_type_name(map_type.base), static_type_name(key));
    }
    consume(TOKEN_RIGHT_PAREN, "Expect ')' after method arguments.");
    emit_bytes(OP_CALL, 2);
    push_type(st_bool());
}

// keys() and values(): no arguments, an array result.
void listing_method(const Token& member, ObjNative* native, const StaticType& result) {
    if (!check(TOKEN_LEFT_PAREN)) {
        method_without_call(member);
        push_type(st_int());
        return;
    }
    advance();
    consume(TOKEN_RIGHT_PAREN, "Expect ')' after method arguments.");
    emit_method_native(native);
    emit_bytes(OP_CALL, 1);
    push_type(result);
}

}  // namespace

// The type of m[k]; a key of the wrong type is reported at the previous token.
StaticType map_index_type(const StaticType& map_type, const StaticType& key) {
    if (!key_accepted(map_type, key)) {
        report_at_previous("map key must be %s, got %s", base_type_name(map_type.base), static_type_name(key));
    }
    // An absent key reads as null, so every read must be narrowed before use.
    return st_base(map_type.value_base, true);
}

void map_member(const StaticType& map_type, const Token& member) {
    std::string_view name(member.start, member.length);
    if (name == "length") {
        if (check(TOKEN_LEFT_PAREN)) {
            report_at(member, nullptr, "'.length' is a property; remove '()' (use 'map.length').");
            advance();
            match(TOKEN_RIGHT_PAREN);
        }
        emit_method_native(g_map_length_native);
        emit_bytes(OP_CALL, 1);
        push_type(st_int());
        return;
    }
    if (name == "has") return keyed_method(map_type, member, g_map_has_native);
    if (name == "delete") return keyed_method(map_type, member, g_map_delete_native);
    if (name == "keys") return listing_method(member, g_map_keys_native, st_of_kind(TYPE_ARRAY, map_type.base, -1));
    if (name == "values") {
        StaticType values = st_of_kind(TYPE_ARRAY, map_type.value_base, -1);
        values.nullable = 1;  // the values array is array<V?> whatever V is
        return listing_method(member, g_map_values_native, values);
    }
    if (name == "clear") {
        if (!check(TOKEN_LEFT_PAREN)) {
            report_at(member, nullptr, "'.clear' is a method; call it as 'map.clear()'.");
            push_type(st_none());
            return;
        }
        advance();
        consume(TOKEN_RIGHT_PAREN, "Expect ')' after '.clear('.");
        emit_method_native(g_map_clear_native);
        emit_bytes(OP_CALL, 1);
        emit_byte(OP_POP);
        push_type(st_none());
        return;
    }
    report_at(member, nullptr, "%s has no member '%.*s' (known: length, has, delete, keys, values, clear)",
              static_type_name(map_type), static_cast<int>(member.length), member.start);
    push_type(st_int());
}
