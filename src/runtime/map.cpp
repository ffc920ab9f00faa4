// The open-addressing hash table behind map values: linear probing with
// tombstones. Iteration walks slots in index order, so where a key lands is
// visible to programs and the hashes and probe rules below must not change.
#include <cstdint>
#include <cstring>

#include "runtime/memory.h"
#include "runtime/object.h"
#include "vm/vm.h"

// The first entry array a map gets; capacities stay powers of two so the start
// index is a mask.
inline constexpr int32_t MAP_MIN_CAPACITY = 8;

// 32-bit FNV-1a, kept in the string after the first time. A string whose hash
// happens to be 0 is simply hashed again each time.
static uint32_t hash_string(ObjString* string) {
    if (string->hash != 0) return string->hash;
    uint32_t hash = 2166136261u;
    for (int32_t i = 0; i < string->length; i++) {
        hash ^= static_cast<uint8_t>(string->chars[i]);
        hash *= 16777619u;
    }
    string->hash = hash;
    return hash;
}

static uint64_t hash_int(int64_t n) {
    uint64_t h = static_cast<uint64_t>(n);
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    return h;
}

static uint64_t hash_key(Value key) {
    if (is_int(key)) return hash_int(as_int(key));
    if (is_bool(key)) return as_bool(key) ? 1 : 0;
    if (is_string(key)) return hash_string(as_string(key));
    return 0;  // no other kind of key is ever stored or matched
}

// One probe sequence, shared by every kind of key; `matches` tells whether a
// live entry's key is the one sought.
template <typename Matches>
static inline void probe(const MapEntry* entries, int32_t capacity, uint32_t index, Matches matches, int32_t* found,
                         int32_t* slot) {
    uint32_t mask = static_cast<uint32_t>(capacity) - 1;
    if (!entries[index].used) {
        *slot = static_cast<int32_t>(index);
        return;
    }
    int32_t first_tombstone = -1;
    // The growth rule counts tombstones with live entries, so some slot is
    // always free and the walk ends.
    for (;;) {
        const MapEntry& entry = entries[index];
        if (!entry.deleted) {
            if (matches(entry.key)) {
                *found = static_cast<int32_t>(index);
                *slot = static_cast<int32_t>(index);
                return;
            }
        } else if (first_tombstone < 0) {
            first_tombstone = static_cast<int32_t>(index);
        }
        index = (index + 1) & mask;
        if (!entries[index].used) {
            *slot = first_tombstone >= 0 ? first_tombstone : static_cast<int32_t>(index);
            return;
        }
    }
}

void map_find(MapEntry* entries, int32_t capacity, Value key, int32_t* found, int32_t* slot) {
    *found = -1;
    *slot = -1;
    if (capacity <= 0 || entries == nullptr) return;
    uint32_t index = static_cast<uint32_t>(hash_key(key)) & (static_cast<uint32_t>(capacity) - 1);
    if (is_int(key) || is_bool(key)) {
        // One word per int and per bool, so words compare.
        probe(entries, capacity, index, [key](Value stored) { return stored == key; }, found, slot);
    } else if (is_string(key)) {
        // The key was just hashed, and every stored key was hashed when it went
        // in: two strings whose known hashes differ cannot be equal, which
        // spares most byte compares. A hash of 0 means unknown.
        const ObjString* wanted = as_string(key);
        probe(
            entries, capacity, index,
            [wanted](Value stored) {
                if (!is_string(stored)) return false;
                const ObjString* s = as_string(stored);
                if (s == wanted) return true;
                if (s->hash != 0 && wanted->hash != 0 && s->hash != wanted->hash) return false;
                return s->length == wanted->length &&
                       std::memcmp(s->chars, wanted->chars, static_cast<size_t>(s->length)) == 0;
            },
            found, slot);
    } else {
        // No other kind of key is ever stored or matched.
        probe(entries, capacity, index, [](Value) { return false; }, found, slot);
    }
}

// The slot holding the key, or -1; a map without slots holds nothing.
static int32_t map_index_of(ObjMap* map, Value key) {
    if (map->capacity == 0) return -1;
    int32_t found;
    int32_t slot;
    map_find(map->entries, map->capacity, key, &found, &slot);
    return found;
}

bool map_get(ObjMap* map, Value key, Value* out) {
    int32_t found = map_index_of(map, key);
    if (found < 0) return false;
    if (out != nullptr) *out = map->entries[found].value;
    return true;
}

// Replaces the entry array by one of `capacity` slots holding the live entries,
// re-inserted in old slot order; tombstones are dropped.
static bool map_rebuild(ObjMap* map, int32_t capacity) {
    int32_t old_capacity = map->capacity;
    size_t bytes = static_cast<size_t>(capacity) * sizeof(MapEntry);
    auto* entries = static_cast<MapEntry*>(mem_try_alloc(bytes));
    if (entries == nullptr) return false;
    for (int32_t i = 0; i < capacity; i++) {
        entries[i].key = VALUE_NULL;
        entries[i].value = VALUE_NULL;
        entries[i].used = false;
        entries[i].deleted = false;
    }
    // May collect: the map still holds its old entries, which keeps every key
    // and value marked.
    vm_track_alloc(bytes);

    MapEntry* old_entries = map->entries;
    int32_t count = 0;
    for (int32_t i = 0; i < old_capacity; i++) {
        const MapEntry& entry = old_entries[i];
        if (!map_slot_live(entry)) continue;
        int32_t found;
        int32_t slot;
        map_find(entries, capacity, entry.key, &found, &slot);
        entries[slot] = entry;
        count++;
    }
    vm_track_free(static_cast<uint64_t>(old_capacity) * sizeof(MapEntry));
    mem_free(old_entries);
    map->entries = entries;
    map->capacity = capacity;
    map->count = count;
    map->tombstones = 0;
    return true;
}

bool map_set(ObjMap* map, Value key, Value value) {
    // Counted before the lookup, so overwriting a key can also grow the table.
    // Tombstones count too: a table churned by deletions and fresh keys is
    // rebuilt at the same size when few of its entries are live, which keeps
    // its size bounded and its probes short.
    int64_t threshold = (3 * static_cast<int64_t>(map->capacity)) / 4;
    if (static_cast<int64_t>(map->count) + map->tombstones >= threshold) {
        int32_t capacity = map->capacity;
        if (capacity == 0) {
            capacity = MAP_MIN_CAPACITY;
        } else if (2 * static_cast<int64_t>(map->count) >= threshold) {
            if (capacity > INT32_MAX / 2) return false;
            capacity *= 2;
        }
        if (!map_rebuild(map, capacity)) return false;
    }
    int32_t found;
    int32_t slot;
    map_find(map->entries, map->capacity, key, &found, &slot);
    if (slot < 0) return false;
    MapEntry& entry = map->entries[slot];
    if (entry.deleted) map->tombstones--;
    entry.key = key;
    entry.value = value;
    entry.used = true;
    entry.deleted = false;
    if (found < 0) map->count++;
    return true;
}

bool map_delete(ObjMap* map, Value key) {
    int32_t found = map_index_of(map, key);
    if (found < 0) return false;
    MapEntry& entry = map->entries[found];
    entry.deleted = true;
    entry.key = VALUE_NULL;
    entry.value = VALUE_NULL;
    map->count--;
    map->tombstones++;
    return true;
}
