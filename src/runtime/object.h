// Heap object layouts, their constructors, printing and freeing, and the
// open-addressing hash table behind maps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "runtime/chunk.h"
#include "runtime/value.h"

enum ObjKind : uint32_t {
    OBJ_STRING = 0,
    OBJ_FUNCTION = 1,
    OBJ_RESULT = 2,
    OBJ_NATIVE = 3,
    OBJ_ARRAY = 4,
    OBJ_MAP = 5,
    OBJ_STRUCT = 6,
    OBJ_CLOSURE = 7,
    OBJ_UPVALUE = 8,
};

struct Obj {
    uint32_t kind;
    bool is_marked;
    Obj* next;
};

struct ObjString {
    Obj obj;
    int32_t length;
    // The key hash, filled in the first time the string is hashed (0: not yet).
    // Strings never change after they are built, so it never goes stale.
    uint32_t hash;
    char* chars;  // length + 1 bytes, NUL-terminated; may hold NULs inside
};

struct ObjFunction {
    Obj obj;
    int32_t arity;
    Chunk chunk;
    ObjString* name;  // null for top-level scripts and lambdas
    // Where the function was compiled from, so run-time errors can show its own
    // source line even when it came from another module or an earlier REPL line.
    const char* source;
    const char* path;
};

struct ObjResult {
    Obj obj;
    bool is_ok;
    Value value;
    Value error;
};

// (argument count, first argument, result preset to null) -> success
using NativeFn = bool (*)(int arg_count, Value* args, Value* result);

struct ObjNative {
    Obj obj;
    NativeFn function;
    uint32_t arity;
    ObjString* name;
};

struct ObjArray {
    Obj obj;
    int32_t count;
    int32_t capacity;
    Value* values;
};

struct MapEntry {
    Value key;
    Value value;
    bool used;
    bool deleted;
};

struct ObjMap {
    Obj obj;
    int32_t count;
    int32_t capacity;
    MapEntry* entries;
    // Deleted slots not yet reused; they count towards growth like live ones,
    // so a probe always meets a free slot.
    int32_t tombstones;
};

struct ObjStruct {
    Obj obj;
    ObjString* name;
    int32_t field_count;
    Value* fields;  // the field values, stored right after the instance
};
static_assert(sizeof(ObjStruct) % alignof(Value) == 0, "fields follow the instance aligned");

struct ObjUpvalue;

struct ObjClosure {
    Obj obj;
    ObjFunction* function;
    int32_t upvalue_count;
    ObjUpvalue** upvalues;
};

struct ObjUpvalue {
    Obj obj;
    Value* location;
    Value closed;
    ObjUpvalue* next;
};

inline ObjKind obj_kind(Value v) { return static_cast<ObjKind>(as_obj(v)->kind); }
inline bool is_obj_kind(Value v, ObjKind k) { return is_obj(v) && as_obj(v)->kind == k; }
inline bool is_string(Value v) { return is_obj_kind(v, OBJ_STRING); }
inline ObjString* as_string(Value v) { return reinterpret_cast<ObjString*>(as_obj(v)); }
inline ObjFunction* as_function(Value v) { return reinterpret_cast<ObjFunction*>(as_obj(v)); }
inline ObjResult* as_result(Value v) { return reinterpret_cast<ObjResult*>(as_obj(v)); }
inline ObjNative* as_native(Value v) { return reinterpret_cast<ObjNative*>(as_obj(v)); }
inline ObjArray* as_array(Value v) { return reinterpret_cast<ObjArray*>(as_obj(v)); }
inline ObjMap* as_map(Value v) { return reinterpret_cast<ObjMap*>(as_obj(v)); }
inline ObjStruct* as_struct(Value v) { return reinterpret_cast<ObjStruct*>(as_obj(v)); }
inline ObjClosure* as_closure(Value v) { return reinterpret_cast<ObjClosure*>(as_obj(v)); }

// Constructors. Each follows the same order so a collection can run at any
// allocation: owned buffer first, then the object, then registration.
ObjString* copy_string(const char* chars, int length);
ObjString* take_string(char* chars, int length);
ObjString* copy_string_decoded(const char* chars, int length);
ObjString* string_concat(ObjString* a, ObjString* b);
ObjFunction* new_function();
ObjResult* new_result_ok(Value value);
ObjResult* new_result_err(Value error);
ObjResult* new_result_err_chars(const char* chars, int length);
ObjNative* new_native(NativeFn function, uint32_t arity);
ObjClosure* new_closure(ObjFunction* function);
ObjArray* new_array_with_capacity(int capacity);
ObjArray* new_array_from_stack(const Value* values, int count);
ObjMap* new_empty_map();
ObjStruct* new_struct(ObjString* name, int field_count);
// A copy of the instance and, recursively, of every struct in its fields
// (arrays, maps and functions stay shared). The caller keeps original rooted.
ObjStruct* copy_struct_deep(ObjStruct* original);

// Printing nests no deeper than this many objects (deeper ones print "..."), so
// a long chain of references cannot overflow the C stack.
inline constexpr int PRINT_DEPTH_MAX = 4096;
void object_print(Value value, std::FILE* out = stdout);
void object_free(Obj* object);
// Gives the freed instances kept for reuse back to the allocator (at the end of
// every run, with the objects).
void object_release_reusable();
// Bytes of freed instances now kept for reuse (0 in sanitizer builds).
size_t object_reusable_bytes();

// Hash map operations (iteration is by slot index over entries[0 .. capacity-1]).
void map_find(MapEntry* entries, int32_t capacity, Value key, int32_t* found, int32_t* slot);
bool map_get(ObjMap* map, Value key, Value* out);
bool map_set(ObjMap* map, Value key, Value value);
bool map_delete(ObjMap* map, Value key);
inline bool map_slot_live(const MapEntry& e) { return e.used && !e.deleted; }
