// The hash table behind maps: where keys land (iteration order is visible to
// programs), growth, tombstones and the rebuild that keeps a churned table
// from filling up.
#include <cmath>
#include <string>
#include <vector>

#include "runtime_fixture.h"

class MapTest : public RuntimeTest {
protected:
    ObjMap* map = nullptr;
    void SetUp() override {
        RuntimeTest::SetUp();
        map = keep(new_empty_map());
    }
    void set(int64_t key, int64_t value) { ASSERT_TRUE(map_set(map, int_val(key), int_val(value))); }
    bool has(int64_t key) { return map_get(map, int_val(key), nullptr); }
    int slot_of(Value key) {
        int32_t found, slot;
        map_find(map->entries, map->capacity, key, &found, &slot);
        return found;
    }
    std::vector<int64_t> int_keys_in_slot_order() {
        std::vector<int64_t> keys;
        for (int32_t i = 0; i < map->capacity; i++) {
            if (map_slot_live(map->entries[i])) keys.push_back(as_int(map->entries[i].key));
        }
        return keys;
    }
};

TEST_F(MapTest, EmptyMapHasNoSlots) {
    Value out = int_val(9);
    EXPECT_FALSE(map_get(map, int_val(1), &out));
    EXPECT_EQ(out, int_val(9));
    EXPECT_FALSE(map_delete(map, int_val(1)));
    EXPECT_EQ(map->entries, nullptr);
}

TEST_F(MapTest, GrowsAtTheSeventhKeyAndKeepsSlotOrder) {
    for (int k = 1; k <= 6; k++) set(k, k * 10);
    EXPECT_EQ(map->capacity, 8);
    EXPECT_EQ(int_keys_in_slot_order(), (std::vector<int64_t>{6, 5, 4, 3, 2, 1}));
    set(7, 70);
    EXPECT_EQ(map->capacity, 16);
    EXPECT_EQ(map->count, 7);
    EXPECT_EQ(int_keys_in_slot_order(), (std::vector<int64_t>{3, 1, 7, 6, 5, 4, 2}));
    for (int k = 1; k <= 7; k++) {
        Value v;
        ASSERT_TRUE(map_get(map, int_val(k), &v));
        EXPECT_EQ(as_int(v), k * 10);
    }
    EXPECT_EQ(vm.bytes_allocated, sizeof(ObjMap) + 16 * sizeof(MapEntry));
}

TEST_F(MapTest, OverwriteKeepsCountButMayGrow) {
    for (int k = 1; k <= 5; k++) set(k, 0);
    set(3, 33);
    EXPECT_EQ(map->count, 5);
    EXPECT_EQ(map->capacity, 8);
    set(6, 0);
    set(6, 66);  // six live entries: the growth test runs before the lookup
    EXPECT_EQ(map->count, 6);
    EXPECT_EQ(map->capacity, 16);
    Value v;
    ASSERT_TRUE(map_get(map, int_val(6), &v));
    EXPECT_EQ(as_int(v), 66);
}

TEST_F(MapTest, ReinsertionTakesFirstTombstoneOnProbePath) {
    set(1, 1);  // 1, 9 and 17 all start at slot 6 of 8
    set(9, 9);
    set(17, 17);
    EXPECT_EQ(slot_of(int_val(9)), 7);
    EXPECT_EQ(slot_of(int_val(17)), 0);

    ASSERT_TRUE(map_delete(map, int_val(9)));
    EXPECT_FALSE(map_delete(map, int_val(9)));
    EXPECT_EQ(map->count, 2);
    set(9, 90);
    EXPECT_EQ(slot_of(int_val(9)), 7);  // its old slot, the only tombstone
    EXPECT_EQ(map->count, 3);

    ASSERT_TRUE(map_delete(map, int_val(1)));
    ASSERT_TRUE(map_delete(map, int_val(9)));
    EXPECT_TRUE(has(17));  // lookups walk past tombstones
    EXPECT_TRUE(map->entries[6].used && map->entries[6].deleted && map->entries[6].key == VALUE_NULL);
    set(9, 91);
    EXPECT_EQ(slot_of(int_val(9)), 6);  // the first tombstone, not its old slot
    EXPECT_EQ(int_keys_in_slot_order(), (std::vector<int64_t>{17, 9}));
}

TEST_F(MapTest, BoolAndStringKeysLandByTheirHashes) {
    ASSERT_TRUE(map_set(map, VALUE_TRUE, int_val(1)));
    ASSERT_TRUE(map_set(map, VALUE_FALSE, int_val(0)));
    EXPECT_EQ(slot_of(VALUE_FALSE), 0);
    EXPECT_EQ(slot_of(VALUE_TRUE), 1);
    EXPECT_EQ(printed(obj_val(map)), "{false: 0, true: 1}");

    ObjMap* words = keep(new_empty_map());
    const char* keys[] = {"", "a", "b", "c"};  // FNV-1a slots 5, 4, 5 (taken: 6), 2
    for (int i = 0; i < 4; i++) ASSERT_TRUE(map_set(words, obj_val(str(keys[i])), int_val(i)));
    EXPECT_EQ(printed(obj_val(words)), "{c: 3, a: 1, : 0, b: 2}");
    Value v;
    ASSERT_TRUE(map_get(words, obj_val(str("b")), &v));  // a distinct string object
    EXPECT_EQ(as_int(v), 2);
    ASSERT_TRUE(map_set(words, obj_val(str("b")), int_val(22)));
    EXPECT_EQ(words->count, 4);
}

TEST_F(MapTest, StringKeysMatchByBytesWhateverTheirCachedHashes) {
    ObjMap* words = keep(new_empty_map());
    // Same length, same first bytes, different hashes; and equal bytes held by
    // fresh objects, hashed or not yet hashed.
    for (int i = 0; i < 200; i++) {
        std::string key = "key-" + std::to_string(i);
        ASSERT_TRUE(map_set(words, obj_val(str(key.c_str())), int_val(i)));
    }
    EXPECT_EQ(words->count, 200);
    for (int i = 0; i < 200; i++) {
        std::string key = "key-" + std::to_string(i);
        ObjString* probe = str(key.c_str());
        EXPECT_EQ(probe->hash, 0u);
        Value v;
        ASSERT_TRUE(map_get(words, obj_val(probe), &v)) << key;
        EXPECT_EQ(as_int(v), i);
        EXPECT_NE(probe->hash, 0u);  // kept for the next lookup
        ASSERT_TRUE(map_get(words, obj_val(probe), &v));
        EXPECT_EQ(as_int(v), i);
    }
    EXPECT_FALSE(map_get(words, obj_val(str("key-200")), nullptr));
}

TEST_F(MapTest, KeysOfOtherKindsNeverMatch) {
    set(1, 1);
    set(0, 0);
    EXPECT_FALSE(map_get(map, float_val(1.0), nullptr));
    EXPECT_FALSE(map_get(map, VALUE_TRUE, nullptr));
    EXPECT_FALSE(map_get(map, VALUE_FALSE, nullptr));
    EXPECT_FALSE(map_get(map, VALUE_NULL, nullptr));
    EXPECT_FALSE(map_get(map, float_val(NAN), nullptr));
}

// Tombstones count towards growth: a table of few live entries is rebuilt at
// its own size, one of many doubles, and some slot always stays free.
TEST_F(MapTest, ChurnRebuildsAtTheSameSizeAndLeavesAFreeSlot) {
    for (int k = 1; k <= 6; k++) set(k, k);  // slots 6 down to 1
    for (int k = 1; k <= 6; k++) ASSERT_TRUE(map_delete(map, int_val(k)));
    EXPECT_EQ(map->tombstones, 6);
    EXPECT_FALSE(has(19));
    set(7, 7);  // 6 used of 8 and nothing live: rebuilt at 8
    EXPECT_EQ(map->capacity, 8);
    EXPECT_EQ(map->tombstones, 0);
    EXPECT_EQ(slot_of(int_val(7)), 0);
    for (int32_t i = 1; i < 8; i++) EXPECT_FALSE(map->entries[i].used) << i;

    for (int k = 1; k <= 4; k++) set(k, k);  // slots 6 down to 3
    ASSERT_TRUE(map_delete(map, int_val(2)));
    set(2, 22);  // reuses its tombstone
    EXPECT_EQ(map->tombstones, 0);
    ASSERT_TRUE(map_delete(map, int_val(1)));
    ASSERT_TRUE(map_delete(map, int_val(2)));
    set(5, 5);  // 4 live + 2 tombstones: 6 used
    EXPECT_EQ(map->capacity, 8);
    set(6, 6);  // 4 live is not below half of 6: doubles
    EXPECT_EQ(map->capacity, 16);
    EXPECT_EQ(map->tombstones, 0);
    EXPECT_EQ(printed(obj_val(map)), "{3: 3, 7: 7, 6: 6, 5: 5, 4: 4}");

    // Steady churn: the table stops growing and every lookup ends.
    ObjMap* churned = keep(new_empty_map());
    for (int k = 0; k < 20; k++) ASSERT_TRUE(map_set(churned, int_val(k), int_val(k)));
    for (int k = 20; k < 2020; k++) {
        ASSERT_TRUE(map_delete(churned, int_val(k - 20)));
        ASSERT_TRUE(map_set(churned, int_val(k), int_val(k)));
        ASSERT_LT(churned->count + churned->tombstones, churned->capacity);
    }
    EXPECT_EQ(churned->capacity, 64);
    EXPECT_EQ(churned->count, 20);
    EXPECT_FALSE(map_get(churned, int_val(5), nullptr));
    EXPECT_TRUE(map_get(churned, int_val(2019), nullptr));
}

TEST_F(MapTest, ManyKeysSurviveRepeatedGrowth) {
    for (int k = -500; k < 500; k++) set(k * 7919, k);
    EXPECT_EQ(map->count, 1000);
    EXPECT_EQ(map->capacity, 2048);
    for (int k = -500; k < 500; k += 2) ASSERT_TRUE(map_delete(map, int_val(k * 7919)));
    for (int k = -500; k < 500; k++) EXPECT_EQ(has(k * 7919), k % 2 != 0) << k;
    EXPECT_EQ(int_keys_in_slot_order().size(), 500u);
}
