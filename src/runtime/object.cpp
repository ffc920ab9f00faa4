// Heap object constructors, their printed forms and their release. Every
// constructor counts its storage in the collector's tally and links the object
// into the VM's all-objects list; the hash table operations live in map.cpp.
#include "runtime/object.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "compiler/compiler.h"
#include "runtime/memory.h"
#include "vm/vm.h"

// Step 2 and 3 of every constructor: the object is counted before it is linked,
// so a collection started by the count never sees it half-built.
template <typename T>
static T* allocate_object(ObjKind kind) {
    T* object = static_cast<T*>(mem_alloc(sizeof(T)));
    object->obj.kind = kind;
    object->obj.is_marked = false;
    object->obj.next = nullptr;
    vm_track_alloc(sizeof(T));
    vm_register_object(&object->obj);
    return object;
}

static ObjString* string_from_buffer(char* chars, int length) {
    ObjString* string = allocate_object<ObjString>(OBJ_STRING);
    string->length = length;
    string->hash = 0;
    string->chars = chars;
    return string;
}

// Strings built here keep their bytes in the same block, right after the
// header: one allocation and one release per string instead of two. `chars`
// still points at the bytes, so readers cannot tell the two layouts apart;
// only object_free looks (see chars_are_inline). The caller fills the bytes
// and then calls finish_inline_string, which counts and links the object.
static ObjString* start_inline_string(int64_t length) {
    // A string's length is a signed 32-bit count; anything longer cannot exist.
    if (length < 0 || length > INT32_MAX) mem_out_of_memory();
    auto* string = static_cast<ObjString*>(mem_alloc(sizeof(ObjString) + static_cast<size_t>(length) + 1));
    string->obj.kind = OBJ_STRING;
    string->obj.is_marked = false;
    string->obj.next = nullptr;
    string->length = static_cast<int32_t>(length);
    string->hash = 0;
    string->chars = reinterpret_cast<char*>(string + 1);
    string->chars[length] = '\0';
    return string;
}

// Counted before it is linked, as every constructor does: a collection started
// by the count never sees it, and the operands it was built from are still
// rooted by the caller.
static ObjString* finish_inline_string(ObjString* string) {
    vm_track_alloc(sizeof(ObjString) + static_cast<uint64_t>(string->length) + 1);
    vm_register_object(&string->obj);
    return string;
}

// A buffer handed to take_string can never start exactly there: it was
// allocated separately, and the allocators used (the C library's and the
// sanitizers') put their own bookkeeping before every block, so no block
// begins right at the end of another live block's requested bytes.
static bool chars_are_inline(const ObjString* string) {
    return string->chars == reinterpret_cast<const char*>(string + 1);
}

ObjString* copy_string(const char* chars, int length) {
    if (length < 0) length = 0;
    ObjString* string = start_inline_string(length);
    if (length > 0) std::memcpy(string->chars, chars, static_cast<size_t>(length));
    return finish_inline_string(string);
}

ObjString* take_string(char* chars, int length) {
    // The caller counted the buffer already; only the object is counted here.
    return string_from_buffer(chars, length < 0 ? 0 : length);
}

ObjString* copy_string_decoded(const char* chars, int length) {
    if (length < 1) return copy_string("", 0);
    int decoded = 0;
    for (int i = 0; i < length; i++) {
        if (chars[i] == '\\' && i + 1 < length) i++;
        decoded++;
    }
    ObjString* string = start_inline_string(decoded);
    char* buffer = string->chars;
    int out = 0;
    for (int i = 0; i < length; i++) {
        char c = chars[i];
        if (c == '\\' && i + 1 < length) {
            c = chars[++i];
            switch (c) {
                case 'n': c = '\n'; break;
                case 't': c = '\t'; break;
                case 'r': c = '\r'; break;
                case '0': c = '\0'; break;
                default: break;  // any other escaped character stands for itself
            }
        }
        buffer[out++] = c;
    }
    return finish_inline_string(string);
}

ObjString* string_concat(ObjString* a, ObjString* b) {
    int64_t length = static_cast<int64_t>(a->length) + b->length;
    ObjString* string = start_inline_string(length);
    std::memcpy(string->chars, a->chars, static_cast<size_t>(a->length));
    std::memcpy(string->chars + a->length, b->chars, static_cast<size_t>(b->length));
    return finish_inline_string(string);
}

ObjFunction* new_function() {
    ObjFunction* function = allocate_object<ObjFunction>(OBJ_FUNCTION);
    function->arity = 0;
    chunk_init(&function->chunk);
    function->name = nullptr;
    function->source = nullptr;
    function->path = nullptr;
    return function;
}

ObjResult* new_result_ok(Value value) {
    ObjResult* result = allocate_object<ObjResult>(OBJ_RESULT);
    result->is_ok = true;
    result->value = value;
    result->error = VALUE_NULL;
    return result;
}

ObjResult* new_result_err(Value error) {
    ObjResult* result = allocate_object<ObjResult>(OBJ_RESULT);
    result->is_ok = false;
    result->value = int_val(0);
    result->error = error;
    return result;
}

ObjResult* new_result_err_chars(const char* chars, int length) {
    ObjString* message = copy_string(chars, length);
    // Nothing else refers to the message while the Result is allocated.
    vm_push_transient(&message->obj);
    ObjResult* result = new_result_err(obj_val(message));
    vm_pop_transient();
    return result;
}

ObjNative* new_native(NativeFn function, uint32_t arity) {
    ObjNative* native = allocate_object<ObjNative>(OBJ_NATIVE);
    native->function = function;
    native->arity = arity;
    native->name = nullptr;
    return native;
}

ObjClosure* new_closure(ObjFunction* function) {
    ObjClosure* closure = allocate_object<ObjClosure>(OBJ_CLOSURE);
    closure->function = function;
    closure->upvalue_count = 0;
    closure->upvalues = nullptr;
    return closure;
}

static Value* allocate_values(int count) {
    return static_cast<Value*>(mem_alloc(static_cast<size_t>(count) * sizeof(Value)));
}

ObjArray* new_array_with_capacity(int capacity) {
    Value* values = nullptr;
    if (capacity > 0) {
        values = allocate_values(capacity);
        vm_track_alloc(static_cast<uint64_t>(capacity) * sizeof(Value));
    } else {
        capacity = 0;
    }
    ObjArray* array = allocate_object<ObjArray>(OBJ_ARRAY);
    array->count = 0;
    array->capacity = capacity;
    array->values = values;
    return array;
}

ObjArray* new_array_from_stack(const Value* source, int count) {
    Value* values = nullptr;
    if (count > 0) {
        values = allocate_values(count);
        std::memcpy(values, source, static_cast<size_t>(count) * sizeof(Value));
        vm_track_alloc(static_cast<uint64_t>(count) * sizeof(Value));
    } else {
        count = 0;
    }
    ObjArray* array = allocate_object<ObjArray>(OBJ_ARRAY);
    array->count = count;
    array->capacity = count;
    array->values = values;
    return array;
}

ObjMap* new_empty_map() {
    ObjMap* map = allocate_object<ObjMap>(OBJ_MAP);
    map->count = 0;
    map->capacity = 0;
    map->entries = nullptr;
    map->tombstones = 0;
    return map;
}

// Freed struct instances of up to STRUCT_REUSE_FIELDS_MAX fields wait in one
// list per field count for the next instance of that size: struct-heavy code
// makes and frees one at every copy, and a list pop is far cheaper than the C
// library's allocator. Sanitizer builds free them at once, so that a use after
// free is still caught.
#if defined(__SANITIZE_ADDRESS__)
#define VESSRIN_REUSE_STRUCTS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VESSRIN_REUSE_STRUCTS 0
#endif
#endif
#ifndef VESSRIN_REUSE_STRUCTS
#define VESSRIN_REUSE_STRUCTS 1
#endif
constexpr int STRUCT_REUSE_FIELDS_MAX = 8;  // larger structs are rarer: malloc serves them
// Bytes kept in all lists together: about what one collection cycle of a small
// program frees; beyond it instances go back to the allocator, so a program
// that drops many structs at once does not keep their memory.
constexpr size_t STRUCT_REUSE_BYTES_MAX = 1048576;
struct ReusableStruct {
    ReusableStruct* next;
};
static ReusableStruct* g_reusable_structs[STRUCT_REUSE_FIELDS_MAX + 1];
static size_t g_reusable_bytes = 0;

static size_t struct_bytes(int field_count) {
    return sizeof(ObjStruct) + static_cast<size_t>(field_count) * sizeof(Value);
}

// Keeps a freed instance for reuse; false when it must go to the allocator.
static bool keep_for_reuse(ObjStruct* instance) {
    int n = instance->field_count;
    if (!VESSRIN_REUSE_STRUCTS || n > STRUCT_REUSE_FIELDS_MAX ||
        g_reusable_bytes + struct_bytes(n) > STRUCT_REUSE_BYTES_MAX) {
        return false;
    }
    auto* kept = reinterpret_cast<ReusableStruct*>(instance);
    kept->next = g_reusable_structs[n];
    g_reusable_structs[n] = kept;
    g_reusable_bytes += struct_bytes(n);
    return true;
}

size_t object_reusable_bytes() { return g_reusable_bytes; }

void object_release_reusable() {
    for (int n = 0; n <= STRUCT_REUSE_FIELDS_MAX; n++) {
        while (g_reusable_structs[n] != nullptr) {
            ReusableStruct* kept = g_reusable_structs[n];
            g_reusable_structs[n] = kept->next;
            mem_free(kept);
        }
    }
    g_reusable_bytes = 0;
}

ObjStruct* new_struct(ObjString* name, int field_count) {
    // The fields live right after the instance: one allocation per struct
    // value.
    if (field_count < 0) field_count = 0;
    size_t bytes = struct_bytes(field_count);
    ObjStruct* instance;
    if (field_count <= STRUCT_REUSE_FIELDS_MAX && g_reusable_structs[field_count] != nullptr) {
        ReusableStruct* kept = g_reusable_structs[field_count];
        g_reusable_structs[field_count] = kept->next;
        g_reusable_bytes -= bytes;
        instance = reinterpret_cast<ObjStruct*>(kept);
    } else {
        instance = static_cast<ObjStruct*>(mem_alloc(bytes));
    }
    instance->obj.kind = OBJ_STRUCT;
    instance->obj.is_marked = false;
    instance->obj.next = nullptr;
    instance->name = name;
    instance->field_count = field_count;
    instance->fields = field_count > 0 ? reinterpret_cast<Value*>(instance + 1) : nullptr;
    for (int i = 0; i < field_count; i++) instance->fields[i] = VALUE_NULL;
    vm_track_alloc(bytes);
    vm_register_object(&instance->obj);
    return instance;
}

ObjStruct* copy_struct_deep(ObjStruct* original) {
    ObjStruct* top = new_struct(original->name, original->field_count);
    bool nested = false;
    for (int i = 0; i < original->field_count; i++) {
        top->fields[i] = original->fields[i];
        nested = nested || is_obj_kind(original->fields[i], OBJ_STRUCT);
    }
    if (!nested) return top;
    // Every partial copy hangs from `top`, and each original still hangs from
    // the copy's field until its own copy replaces it, so one root keeps the
    // whole tree alive through the allocations below.
    vm_push_transient(&top->obj);
    // Copies whose struct fields still point at originals. An explicit list
    // rather than recursion: the walk's depth is the data's.
    ObjStruct** pending = nullptr;
    int count = 0;
    int capacity = 0;
    ObjStruct* node = top;
    for (;;) {
        for (int i = 0; i < node->field_count; i++) {
            if (!is_obj_kind(node->fields[i], OBJ_STRUCT)) continue;
            ObjStruct* child = as_struct(node->fields[i]);
            ObjStruct* copy = new_struct(child->name, child->field_count);
            for (int j = 0; j < child->field_count; j++) copy->fields[j] = child->fields[j];
            node->fields[i] = obj_val(copy);
            if (count == capacity) {
                capacity = capacity < 8 ? 8 : capacity * 2;
                pending = static_cast<ObjStruct**>(
                    mem_realloc(pending, static_cast<size_t>(capacity) * sizeof(ObjStruct*)));
            }
            pending[count++] = copy;
        }
        if (count == 0) break;
        node = pending[--count];
    }
    mem_free(pending);
    vm_pop_transient();
    return top;
}

// Printing follows references, and the language can build cycles (a struct copy
// pushed into an array held by one of its own fields) and very deep nests. The
// printer keeps the containers on its current path so that a cycle prints as
// "[...]" or "{...}" instead of recursing forever.
// Nesting deeper than PRINT_DEPTH_MAX prints "..."; no readable value comes near it.
static const Obj* g_print_path[PRINT_DEPTH_MAX];
static int g_print_depth = 0;

static bool print_path_holds(const Obj* object) {
    for (int i = 0; i < g_print_depth; i++) {
        if (g_print_path[i] == object) return true;
    }
    return false;
}

static void print_string_object(const ObjString* string, std::FILE* out) {
    // Bytes after a NUL escape are not shown, as in C's "%s".
    if (string != nullptr) std::fputs(string->chars, out);
}

static void print_array(const ObjArray* array, std::FILE* out) {
    std::fputc('[', out);
    for (int i = 0; i < array->count; i++) {
        if (i > 0) std::fputs(", ", out);
        value_print(array->values[i], out);
    }
    std::fputc(']', out);
}

static void print_map(const ObjMap* map, std::FILE* out) {
    std::fputc('{', out);
    bool first = true;
    for (int i = 0; i < map->capacity; i++) {
        const MapEntry& entry = map->entries[i];
        if (!map_slot_live(entry)) continue;
        if (!first) std::fputs(", ", out);
        first = false;
        value_print(entry.key, out);
        std::fputs(": ", out);
        value_print(entry.value, out);
    }
    std::fputc('}', out);
}

static void print_object_body(Obj* object, std::FILE* out) {
    switch (object->kind) {
        case OBJ_STRING:
            print_string_object(reinterpret_cast<ObjString*>(object), out);
            break;
        case OBJ_FUNCTION: {
            const ObjFunction* function = reinterpret_cast<ObjFunction*>(object);
            if (function->name == nullptr) {
                std::fputs("<script>", out);
            } else {
                std::fprintf(out, "<fn %s>", function->name->chars);
            }
            break;
        }
        case OBJ_RESULT: {
            const ObjResult* result = reinterpret_cast<ObjResult*>(object);
            std::fputs(result->is_ok ? "ok(" : "err(", out);
            value_print(result->is_ok ? result->value : result->error, out);
            std::fputc(')', out);
            break;
        }
        case OBJ_NATIVE: {
            const ObjNative* native = reinterpret_cast<ObjNative*>(object);
            if (native->name == nullptr) {
                std::fputs("<native>", out);
            } else {
                std::fprintf(out, "<native %s>", native->name->chars);
            }
            break;
        }
        case OBJ_ARRAY:
            print_array(reinterpret_cast<ObjArray*>(object), out);
            break;
        case OBJ_MAP:
            print_map(reinterpret_cast<ObjMap*>(object), out);
            break;
        case OBJ_STRUCT:
            compiler_print_struct(reinterpret_cast<ObjStruct*>(object), out);
            break;
        case OBJ_CLOSURE: {
            const ObjClosure* closure = reinterpret_cast<ObjClosure*>(object);
            if (closure->function == nullptr || closure->function->name == nullptr) {
                std::fputs("<lambda>", out);
            } else {
                std::fprintf(out, "<fn %s>", closure->function->name->chars);
            }
            break;
        }
        case OBJ_UPVALUE:
            std::fputs("<upvalue>", out);
            break;
        default:
            break;
    }
}

void object_print(Value value, std::FILE* out) {
    Obj* object = as_obj(value);
    if (object == nullptr) return;
    // Struct copies are fresh instances, so a cycle always runs through an
    // array or a map.
    bool container = object->kind == OBJ_ARRAY || object->kind == OBJ_MAP;
    if (container && print_path_holds(object)) {
        std::fputs(object->kind == OBJ_MAP ? "{...}" : "[...]", out);
        return;
    }
    if (g_print_depth >= PRINT_DEPTH_MAX) {
        std::fputs("...", out);
        return;
    }
    g_print_path[g_print_depth++] = object;
    print_object_body(object, out);
    g_print_depth--;
}

void object_free(Obj* object) {
    if (object == nullptr) return;
    switch (object->kind) {
        case OBJ_STRING: {
            ObjString* string = reinterpret_cast<ObjString*>(object);
            if (!chars_are_inline(string)) mem_free(string->chars);
            vm_track_free(static_cast<uint64_t>(string->length) + 1 + sizeof(ObjString));
            break;
        }
        case OBJ_FUNCTION: {
            ObjFunction* function = reinterpret_cast<ObjFunction*>(object);
            chunk_free(&function->chunk);
            vm_track_free(sizeof(ObjFunction));
            break;
        }
        case OBJ_RESULT:
            vm_track_free(sizeof(ObjResult));
            break;
        case OBJ_NATIVE:
            vm_track_free(sizeof(ObjNative));
            break;
        case OBJ_ARRAY: {
            ObjArray* array = reinterpret_cast<ObjArray*>(object);
            mem_free(array->values);
            vm_track_free(static_cast<uint64_t>(array->capacity) * sizeof(Value) + sizeof(ObjArray));
            break;
        }
        case OBJ_MAP: {
            ObjMap* map = reinterpret_cast<ObjMap*>(object);
            mem_free(map->entries);
            vm_track_free(static_cast<uint64_t>(map->capacity) * sizeof(MapEntry) + sizeof(ObjMap));
            break;
        }
        case OBJ_STRUCT: {
            ObjStruct* instance = reinterpret_cast<ObjStruct*>(object);
            vm_track_free(static_cast<uint64_t>(instance->field_count) * sizeof(Value) + sizeof(ObjStruct));
            if (keep_for_reuse(instance)) return;
            break;
        }
        case OBJ_CLOSURE: {
            ObjClosure* closure = reinterpret_cast<ObjClosure*>(object);
            mem_free(closure->upvalues);
            vm_track_free(static_cast<uint64_t>(closure->upvalue_count) * sizeof(ObjUpvalue*) +
                          sizeof(ObjClosure));
            break;
        }
        case OBJ_UPVALUE:
            vm_track_free(sizeof(ObjUpvalue));
            break;
        default:
            // An unknown kind has no known size or buffers; leave it alone.
            return;
    }
    mem_free(object);
}
