// The map natives called directly: registration order, the bounds of the hidden
// slot natives that for loops use, clear keeping the table, and the failure of
// every native on a receiver that is not a map.
#include <string>
#include <vector>

#include "compiler/compiler_internal.h"
#include "runtime_fixture.h"

class MapNativesTest : public RuntimeTest {
protected:
    ObjMap* map = nullptr;
    void SetUp() override {
        RuntimeTest::SetUp();
        register_map_methods();
        map = keep(new_empty_map());
    }
    static bool call(ObjNative* native, std::vector<Value> args, Value* result) {
        *result = VALUE_NULL;
        return native->function(static_cast<int>(args.size()), args.data(), result);
    }
    Value call_ok(ObjNative* native, std::vector<Value> args) {
        Value result;
        EXPECT_TRUE(call(native, std::move(args), &result));
        return result;
    }
    std::vector<Value> elements(Value array) {
        ObjArray* a = as_array(array);
        return std::vector<Value>(a->values, a->values + a->count);
    }
};

TEST_F(MapNativesTest, RegisteredInOrderWithReceiverCountedInArity) {
    const std::vector<std::pair<std::string, uint32_t>> expected = {
        {"length", 1}, {"has", 2}, {"delete", 2}, {"keys", 1}, {"values", 1}, {"clear", 1},
        {"$map_capacity", 1}, {"$map_slot_is_live", 2}, {"$map_slot_key", 2}, {"$map_slot_value", 2}};
    ASSERT_EQ(vm_natives_count, static_cast<int32_t>(expected.size()));
    for (size_t i = 0; i < expected.size(); i++) {
        ObjNative* n = vm_natives[i];
        EXPECT_EQ(std::string(n->name->chars, static_cast<size_t>(n->name->length)), expected[i].first);
        EXPECT_EQ(n->arity, expected[i].second) << expected[i].first;
    }
    EXPECT_EQ(vm_natives[6], g_map_capacity_native);
    EXPECT_EQ(vm_natives[9], g_map_slot_value_native);
}

TEST_F(MapNativesTest, SlotNativesStayInsideTheTable) {
    Value m = obj_val(map);
    // A map without slots: nothing is live and no slot can be read.
    EXPECT_EQ(call_ok(g_map_capacity_native, {m}), int_val(0));
    EXPECT_EQ(call_ok(g_map_slot_is_live_native, {m, int_val(0)}), VALUE_FALSE);
    Value out;
    EXPECT_FALSE(call(g_map_slot_key_native, {m, int_val(0)}, &out));

    for (int k = 1; k <= 3; k++) ASSERT_TRUE(map_set(map, int_val(k), int_val(k * 10)));
    ASSERT_EQ(call_ok(g_map_capacity_native, {m}), int_val(8));
    for (int64_t i : {int64_t{-1}, int64_t{8}, VALUE_INT_MAX, VALUE_INT_MIN}) {
        EXPECT_EQ(call_ok(g_map_slot_is_live_native, {m, int_val(i)}), VALUE_FALSE) << i;
        EXPECT_FALSE(call(g_map_slot_key_native, {m, int_val(i)}, &out)) << i;
        EXPECT_FALSE(call(g_map_slot_value_native, {m, int_val(i)}, &out)) << i;
    }
    // The index must be an int, for the liveness test too.
    EXPECT_FALSE(call(g_map_slot_is_live_native, {m, float_val(1.0)}, &out));
    EXPECT_FALSE(call(g_map_slot_key_native, {m, VALUE_TRUE}, &out));

    // Walking the slots as a loop does finds each entry once, in slot order.
    std::vector<int64_t> keys;
    for (int i = 0; i < 8; i++) {
        if (call_ok(g_map_slot_is_live_native, {m, int_val(i)}) != VALUE_TRUE) continue;
        Value key = call_ok(g_map_slot_key_native, {m, int_val(i)});
        EXPECT_EQ(call_ok(g_map_slot_value_native, {m, int_val(i)}), int_val(as_int(key) * 10));
        keys.push_back(as_int(key));
    }
    EXPECT_EQ(keys, (std::vector<int64_t>{3, 2, 1}));
}

TEST_F(MapNativesTest, TombstoneSlotIsNotLiveButStillReadable) {
    Value m = obj_val(map);
    ASSERT_TRUE(map_set(map, int_val(1), int_val(10)));
    int32_t found, slot;
    map_find(map->entries, map->capacity, int_val(1), &found, &slot);
    ASSERT_GE(found, 0);
    EXPECT_EQ(call_ok(g_map_delete_native, {m, int_val(1)}), VALUE_TRUE);
    EXPECT_EQ(call_ok(g_map_delete_native, {m, int_val(1)}), VALUE_FALSE);
    EXPECT_EQ(call_ok(g_map_slot_is_live_native, {m, int_val(found)}), VALUE_FALSE);
    EXPECT_EQ(call_ok(g_map_slot_key_native, {m, int_val(found)}), VALUE_NULL);
    EXPECT_EQ(call_ok(g_map_length_native, {m}), int_val(0));
}

TEST_F(MapNativesTest, ClearKeepsTheEntryArray) {
    Value m = obj_val(map);
    for (int k = 1; k <= 7; k++) ASSERT_TRUE(map_set(map, int_val(k), VALUE_TRUE));
    ASSERT_TRUE(map_delete(map, int_val(7)));
    MapEntry* entries = map->entries;
    uint64_t bytes = vm.bytes_allocated;
    EXPECT_EQ(call_ok(g_map_clear_native, {m}), VALUE_NULL);
    EXPECT_EQ(map->count, 0);
    EXPECT_EQ(map->capacity, 16);
    EXPECT_EQ(map->entries, entries);
    EXPECT_EQ(vm.bytes_allocated, bytes);
    // Tombstones go too: every slot is free again.
    for (int32_t i = 0; i < map->capacity; i++) EXPECT_FALSE(map->entries[i].used) << i;
    EXPECT_EQ(call_ok(g_map_has_native, {m, int_val(1)}), VALUE_FALSE);
    ASSERT_TRUE(map_set(map, int_val(1), VALUE_FALSE));
    EXPECT_EQ(map->capacity, 16);
    EXPECT_EQ(call_ok(g_map_length_native, {m}), int_val(1));
}

TEST_F(MapNativesTest, KeysAndValuesAreSizedToTheLiveCount) {
    Value m = obj_val(map);
    Value empty = call_ok(g_map_keys_native, {m});
    EXPECT_EQ(as_array(empty)->count, 0);
    for (const char* k : {"x", "y", "z"}) {
        Value key = obj_val(str(k));
        ASSERT_TRUE(map_set(map, key, key));
    }
    ASSERT_TRUE(map_delete(map, obj_val(str("y"))));
    Value keys = call_ok(g_map_keys_native, {m});
    push(keys);  // rooted while values() allocates
    Value values = call_ok(g_map_values_native, {m});
    EXPECT_EQ(as_array(keys)->capacity, 2);
    EXPECT_EQ(as_array(values)->capacity, 2);
    // In a table of 8, "x" hashes to slot 7 and "z" to slot 5: z comes first.
    std::vector<std::string> got;
    for (Value v : elements(keys)) got.emplace_back(as_string(v)->chars);
    EXPECT_EQ(got, (std::vector<std::string>{"z", "x"}));
    EXPECT_EQ(elements(values)[0], elements(keys)[0]);  // the value object stored with each key
}

TEST_F(MapNativesTest, EveryNativeFailsOnANonMapReceiver) {
    Value not_map = obj_val(str("map"));
    std::vector<ObjNative*> natives = {
        g_map_length_native,   g_map_has_native,      g_map_delete_native,       g_map_keys_native,
        g_map_values_native,   g_map_clear_native,    g_map_capacity_native,     g_map_slot_is_live_native,
        g_map_slot_key_native, g_map_slot_value_native};
    for (ObjNative* n : natives) {
        Value out;
        for (Value receiver : {not_map, int_val(1), VALUE_NULL}) {
            vm_native_error_set = false;
            EXPECT_FALSE(call(n, {receiver, int_val(0)}, &out)) << n->name->chars;
            EXPECT_FALSE(vm_native_error_set) << n->name->chars;  // no message of its own
        }
    }
}
