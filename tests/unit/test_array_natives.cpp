// The array natives called directly: registration order, growth of push, the
// size guard of join, the total order of float sort, and the failures of
// natives given what a sound compilation never passes them.
#include <cmath>
#include <string>
#include <vector>

#include "compiler/compiler_internal.h"
#include "runtime_fixture.h"

class ArrayNativesTest : public RuntimeTest {
protected:
    void SetUp() override {
        RuntimeTest::SetUp();
        register_array_methods();
    }
    static bool call(ObjNative* native, std::vector<Value> args, Value* result) {
        *result = VALUE_NULL;
        vm_native_error_set = false;
        return native->function(static_cast<int>(args.size()), args.data(), result);
    }
    ObjArray* array_of(std::vector<Value> values) {
        ObjArray* a = keep(new_array_with_capacity(0));
        Value out;
        for (Value v : values) EXPECT_TRUE(call(g_array_push_native, {obj_val(a), v}, &out));
        return a;
    }
};

TEST_F(ArrayNativesTest, RegisteredInOrderWithReceiverCountedInArity) {
    const std::vector<std::pair<std::string, uint32_t>> expected = {
        {"length", 1}, {"push", 2},  {"pop", 1},   {"contains", 2}, {"reverse", 1}, {"join", 2},
        {"sort", 1},   {"slice", 3}, {"map", 2},   {"filter", 2},   {"reduce", 3}};
    ASSERT_EQ(vm_natives_count, static_cast<int32_t>(expected.size()));
    for (size_t i = 0; i < expected.size(); i++) {
        ObjNative* n = vm_natives[i];
        EXPECT_EQ(std::string(n->name->chars, static_cast<size_t>(n->name->length)), expected[i].first);
        EXPECT_EQ(n->arity, expected[i].second) << expected[i].first;
    }
    EXPECT_EQ(vm_natives[0], g_array_length_native);
    EXPECT_EQ(vm_natives[10], g_array_reduce_native);
}

TEST_F(ArrayNativesTest, PushGrowsFromEightByDoublingAndCountsTheBytes) {
    ObjArray* a = keep(new_array_with_capacity(0));
    uint64_t before = vm.bytes_allocated;
    Value out;
    std::vector<int32_t> capacities;
    for (int i = 0; i < 17; i++) {
        ASSERT_TRUE(call(g_array_push_native, {obj_val(a), int_val(i)}, &out));
        capacities.push_back(a->capacity);
    }
    EXPECT_EQ(capacities[0], 8);
    EXPECT_EQ(capacities[7], 8);
    EXPECT_EQ(capacities[8], 16);
    EXPECT_EQ(capacities[16], 32);
    EXPECT_EQ(a->count, 17);
    EXPECT_EQ(a->values[16], int_val(16));
    EXPECT_EQ(vm.bytes_allocated - before, 32 * sizeof(Value));
    // pop keeps the capacity.
    ASSERT_TRUE(call(g_array_pop_native, {obj_val(a)}, &out));
    EXPECT_EQ(out, int_val(16));
    EXPECT_EQ(a->capacity, 32);
}

TEST_F(ArrayNativesTest, JoinRefusesAResultBeyondAStringsLength) {
    // The lengths are checked before any byte is copied, so two strings that
    // claim to be huge are enough to reach the guard.
    ObjString* big = str("x");
    ObjArray* a = array_of({obj_val(big), obj_val(big)});
    big->length = 1073741824;  // 2^30: the two together pass 2^31 - 1
    Value out;
    EXPECT_FALSE(call(g_array_join_native, {obj_val(a), obj_val(str(""))}, &out));
    EXPECT_TRUE(vm_native_error_set);
    EXPECT_STREQ(vm_native_error_buf, "join result too large");
    big->length = 1073741823;
    ObjString* sep = str("y");
    // 2^31 - 2 bytes of elements leave no room for a two-byte separator.
    sep->length = 2;
    EXPECT_FALSE(call(g_array_join_native, {obj_val(a), obj_val(sep)}, &out));
    big->length = 1;
    sep->length = 1;
    ASSERT_TRUE(call(g_array_join_native, {obj_val(a), obj_val(sep)}, &out));
    EXPECT_EQ(printed(out), "xyx");
}

TEST_F(ArrayNativesTest, FloatSortPutsEveryNaNLast) {
    const double nan = std::nan("");
    ObjArray* a = array_of({float_val(nan), float_val(1.0), float_val(nan), float_val(-2.0), float_val(0.5)});
    Value out;
    ASSERT_TRUE(call(g_array_sort_native, {obj_val(a)}, &out));
    EXPECT_EQ(as_float(a->values[0]), -2.0);
    EXPECT_EQ(as_float(a->values[1]), 0.5);
    EXPECT_EQ(as_float(a->values[2]), 1.0);
    EXPECT_TRUE(std::isnan(as_float(a->values[3])));
    EXPECT_TRUE(std::isnan(as_float(a->values[4])));
}

TEST_F(ArrayNativesTest, SortRefusesElementsItCannotCompare) {
    Value out;
    ObjArray* mixed = array_of({int_val(2), float_val(1.0)});
    EXPECT_FALSE(call(g_array_sort_native, {obj_val(mixed)}, &out));
    EXPECT_EQ(mixed->values[0], int_val(2));  // left as it was
    ObjArray* nulls = array_of({VALUE_NULL, VALUE_NULL});
    EXPECT_FALSE(call(g_array_sort_native, {obj_val(nulls)}, &out));
    EXPECT_FALSE(vm_native_error_set);
    ObjArray* one_null = array_of({VALUE_NULL});
    EXPECT_TRUE(call(g_array_sort_native, {obj_val(one_null)}, &out));
}

TEST_F(ArrayNativesTest, SliceBoundsAndEmptySlices) {
    Value out;
    ObjArray* empty = array_of({});
    ASSERT_TRUE(call(g_array_slice_native, {obj_val(empty), int_val(0), int_val(0)}, &out));
    EXPECT_EQ(as_array(out)->count, 0);
    ObjArray* a = array_of({int_val(1), int_val(2), int_val(3)});
    for (auto [s, e] : std::vector<std::pair<int64_t, int64_t>>{{-1, 2}, {0, 4}, {2, 1}, {0, VALUE_INT_MAX}}) {
        EXPECT_FALSE(call(g_array_slice_native, {obj_val(a), int_val(s), int_val(e)}, &out)) << s << ".." << e;
        EXPECT_STREQ(vm_native_error_buf, "slice index out of range");
    }
}

TEST_F(ArrayNativesTest, EveryNativeFailsSilentlyOnANonArrayReceiver) {
    Value out;
    Value not_array = obj_val(str("text"));
    for (int i = 0; i < vm_natives_count; i++) {
        std::vector<Value> args(vm_natives[i]->arity, int_val(0));
        args[0] = not_array;
        EXPECT_FALSE(call(vm_natives[i], args, &out)) << i;
        EXPECT_FALSE(vm_native_error_set) << i;
    }
    // The callback methods need something callable.
    ObjArray* a = array_of({int_val(1)});
    EXPECT_FALSE(call(g_array_map_native, {obj_val(a), int_val(1)}, &out));
    EXPECT_FALSE(call(g_array_filter_native, {obj_val(a), VALUE_NULL}, &out));
    EXPECT_FALSE(call(g_array_reduce_native, {obj_val(a), int_val(0), int_val(1)}, &out));
    EXPECT_EQ(vm_transient_count(), 0);
}
