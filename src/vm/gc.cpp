// Allocation accounting and the stop-the-world mark-and-sweep collector. A
// collection runs only from inside an allocation that pushes the byte tally past
// the threshold (or at every allocation in a VESSRIN_GC_STRESS build).
#include <cstdint>

#include "compiler/compiler.h"
#include "runtime/memory.h"
#include "runtime/object.h"
#include "vm/vm.h"

// Marked objects whose references are still to be traced. Marking through an
// explicit worklist keeps the C stack flat however long a chain of references
// is. The stack lives outside the tally: it is the collector's own tool, not
// object storage, and growing it must never start a collection.
static Obj** g_gray_stack = nullptr;
static int64_t g_gray_count = 0;
static int64_t g_gray_capacity = 0;
// The first gray stack holds this many objects; it doubles from there.
inline constexpr int64_t GRAY_STACK_MIN = 256;

static bool g_collecting = false;
static uint64_t g_collection_count = 0;

uint64_t vm_collection_count() { return g_collection_count; }

void vm_track_alloc(uint64_t bytes) {
    vm.bytes_allocated += bytes;
#if defined(VESSRIN_FUZZING)
    vm_fuzz_allocated += bytes;
#endif
#ifdef VESSRIN_GC_STRESS
    if (bytes > 0) collect_garbage();
#else
    if (vm.bytes_allocated > vm.next_gc) collect_garbage();
#endif
}

void vm_track_free(uint64_t bytes) {
    // The tally is an estimate; a size recorded larger than what is left must
    // not wrap it to a huge value that would stop collections for good.
    vm.bytes_allocated = bytes > vm.bytes_allocated ? 0 : vm.bytes_allocated - bytes;
}

void vm_register_object(Obj* object) {
    object->next = vm.objects;
    vm.objects = object;
}

static void gray_push(Obj* object) {
    if (g_gray_count >= g_gray_capacity) {
        int64_t capacity = g_gray_capacity < GRAY_STACK_MIN ? GRAY_STACK_MIN : g_gray_capacity * 2;
        g_gray_stack = static_cast<Obj**>(
            mem_realloc(g_gray_stack, static_cast<size_t>(capacity) * sizeof(Obj*)));
        g_gray_capacity = capacity;
    }
    g_gray_stack[g_gray_count++] = object;
}

void mark_object(Obj* object) {
    if (object == nullptr || object->is_marked) return;
    object->is_marked = true;
    // A string refers to nothing, so it never needs tracing.
    if (object->kind != OBJ_STRING) gray_push(object);
}

void mark_value(Value value) {
    if (is_obj(value)) mark_object(as_obj(value));
}

// Marks an object through a typed pointer that may be null (a nameless
// function, a frame without a closure).
template <typename T>
static void mark_ref(T* object) {
    if (object != nullptr) mark_object(&object->obj);
}

static void mark_values(const Value* values, int32_t count) {
    for (int32_t i = 0; i < count; i++) mark_value(values[i]);
}

static void trace_references(Obj* object) {
    switch (object->kind) {
        case OBJ_FUNCTION: {
            auto* function = reinterpret_cast<ObjFunction*>(object);
            mark_ref(function->name);
            mark_values(function->chunk.constants, function->chunk.constant_count);
            break;
        }
        case OBJ_RESULT: {
            auto* result = reinterpret_cast<ObjResult*>(object);
            mark_value(result->is_ok ? result->value : result->error);
            break;
        }
        case OBJ_NATIVE:
            mark_ref(reinterpret_cast<ObjNative*>(object)->name);
            break;
        case OBJ_ARRAY: {
            auto* array = reinterpret_cast<ObjArray*>(object);
            mark_values(array->values, array->count);
            break;
        }
        case OBJ_MAP: {
            auto* map = reinterpret_cast<ObjMap*>(object);
            for (int32_t i = 0; i < map->capacity; i++) {
                const MapEntry& entry = map->entries[i];
                if (!map_slot_live(entry)) continue;
                mark_value(entry.key);
                mark_value(entry.value);
            }
            break;
        }
        case OBJ_STRUCT: {
            auto* instance = reinterpret_cast<ObjStruct*>(object);
            mark_ref(instance->name);
            mark_values(instance->fields, instance->field_count);
            break;
        }
        case OBJ_CLOSURE: {
            auto* closure = reinterpret_cast<ObjClosure*>(object);
            mark_ref(closure->function);
            // The count bounds the scan: a closure still being filled has count 0.
            for (int32_t i = 0; i < closure->upvalue_count; i++) {
                mark_ref(closure->upvalues[i]);
            }
            break;
        }
        case OBJ_UPVALUE:
            // An open cell's slot is a stack root already; this is the closed copy.
            mark_value(reinterpret_cast<ObjUpvalue*>(object)->closed);
            break;
        default:
            break;
    }
}

static void drain_gray_stack() {
    while (g_gray_count > 0) trace_references(g_gray_stack[--g_gray_count]);
}

static void mark_roots() {
    for (Value* slot = vm.stack; slot < vm.stack_top; slot++) mark_value(*slot);
    for (Value global : vm.globals) mark_value(global);
    for (int32_t i = 0; i < vm.frame_count; i++) {
        mark_ref(vm.frames[i].function);
        mark_ref(vm.frames[i].closure);
    }
    for (ObjUpvalue* upvalue = vm.open_upvalues; upvalue != nullptr; upvalue = upvalue->next) {
        mark_ref(upvalue);
    }
    compiler_mark_compile_roots();
    vm_mark_registry_roots();
}

static void sweep() {
    Obj** link = &vm.objects;
    while (*link != nullptr) {
        Obj* object = *link;
        if (object->is_marked) {
            object->is_marked = false;
            link = &object->next;
        } else {
            *link = object->next;
            object_free(object);
        }
    }
}

void collect_garbage() {
    // Freeing never allocates, but a root hook that did must not start a
    // second collection inside this one.
    if (g_collecting) return;
    g_collecting = true;
    mark_roots();
    drain_gray_stack();
    sweep();
    uint64_t threshold = 2 * vm.bytes_allocated;
    vm.next_gc = threshold > VM_GC_MIN_THRESHOLD ? threshold : VM_GC_MIN_THRESHOLD;
    g_collection_count++;
    g_collecting = false;
}

void vm_free_objects() {
    Obj* object = vm.objects;
    while (object != nullptr) {
        Obj* next = object->next;
        object_free(object);
        object = next;
    }
    vm.objects = nullptr;
    object_release_reusable();
    // The gray stack is empty between collections; give its memory back with
    // the objects it could point to.
    mem_free(g_gray_stack);
    g_gray_stack = nullptr;
    g_gray_count = 0;
    g_gray_capacity = 0;
}
