// The collector: what each root keeps alive, what each kind of object marks,
// the tally and threshold, deep reference chains, and the native registry and
// transient roots it scans.
#include <string>

#include "runtime/memory.h"
#include "runtime_fixture.h"

class GcTest : public RuntimeTest {
protected:
    static ObjString* loose(const char* text) {  // an unrooted string
        return copy_string(text, static_cast<int>(std::char_traits<char>::length(text)));
    }
    // A closed upvalue cell, made as the closure instruction makes them.
    static ObjUpvalue* new_cell() {
        auto* cell = static_cast<ObjUpvalue*>(mem_alloc(sizeof(ObjUpvalue)));
        *cell = ObjUpvalue{{OBJ_UPVALUE, false, nullptr}, nullptr, VALUE_NULL, nullptr};
        vm_track_alloc(sizeof(ObjUpvalue));
        vm_register_object(&cell->obj);
        return cell;
    }
};

TEST_F(GcTest, UnreachableObjectsAreFreedAndRootedOnesSurvive) {
    ObjString* on_stack = loose("stack");
    push(obj_val(on_stack));
    ObjString* global = loose("global");
    vm.globals[VM_GLOBALS_MAX - 1] = obj_val(global);
    ObjString* transient = loose("transient");
    vm_push_transient(&transient->obj);
    ObjNative* native = new_native(nullptr, 1);
    vm_register_native(native);
    ObjFunction* script = new_function();
    vm.frames[0] = CallFrame{script, nullptr, vm.stack, nullptr};
    vm.frame_count = 1;
    ObjFunction* callee = new_function();
    vm.frames[1] = CallFrame{callee, nullptr, vm.stack, nullptr};
    vm.frame_count = 2;
    ObjClosure* closure = new_closure(callee);
    vm.frames[1].closure = closure;
    vm.frames[1].function = nullptr;  // so only the closure can keep its function alive
    ObjUpvalue* open = new_cell();
    vm.open_upvalues = open;
    ObjString* garbage = loose("garbage");
    ASSERT_EQ(object_count(), 9);

    collect_garbage();
    EXPECT_EQ(object_count(), 8);
    EXPECT_FALSE(is_live(garbage));
    for (const void* o : {static_cast<const void*>(on_stack), static_cast<const void*>(global),
                          static_cast<const void*>(transient), static_cast<const void*>(native),
                          static_cast<const void*>(script), static_cast<const void*>(callee),
                          static_cast<const void*>(closure), static_cast<const void*>(open)}) {
        EXPECT_TRUE(is_live(o));
    }
    for (Obj* o = vm.objects; o != nullptr; o = o->next) EXPECT_FALSE(o->is_marked);

    vm.stack_top = vm.stack;
    vm.globals[VM_GLOBALS_MAX - 1] = 0;
    vm_pop_transient();
    vm_reset_registry();
    vm.frame_count = 0;
    vm.open_upvalues = nullptr;
    collect_garbage();
    EXPECT_EQ(object_count(), 0);
    EXPECT_EQ(vm.bytes_allocated, 0u);
}

TEST_F(GcTest, EachKindMarksWhatItRefersTo) {
    // Everything is rooted while it is built; at the end only the struct is.
    ObjStruct* instance = keep(new_struct(str("Point"), 2));
    instance->fields[0] = obj_val(str("field"));
    ObjArray* array = keep(new_array_with_capacity(4));
    instance->fields[1] = obj_val(array);
    array->values[0] = obj_val(keep(new_result_ok(obj_val(str("ok payload")))));
    array->values[1] = obj_val(keep(new_result_err(obj_val(str("err payload")))));
    ObjMap* map = keep(new_empty_map());
    array->values[2] = obj_val(map);
    array->values[3] = obj_val(str("beyond count"));  // only count elements are marked
    array->count = 3;
    map_set(map, obj_val(str("key")), obj_val(str("value")));
    map_set(map, int_val(1), obj_val(str("deleted")));
    map_delete(map, int_val(1));

    ObjFunction* function = keep(new_function());
    map_set(map, int_val(2), obj_val(function));
    function->name = str("f");
    chunk_add_constant(&function->chunk, obj_val(str("constant")));
    chunk_add_constant(&function->chunk, int_val(5));
    ObjClosure* closure = keep(new_closure(keep(new_function())));
    map_set(map, int_val(3), obj_val(closure));
    closure->upvalues = static_cast<ObjUpvalue**>(mem_alloc(2 * sizeof(ObjUpvalue*)));
    closure->upvalues[0] = closure->upvalues[1] = nullptr;
    vm_track_alloc(2 * sizeof(ObjUpvalue*));
    ObjUpvalue* cell = keep(new_cell());
    closure->upvalues[1] = cell;
    closure->upvalue_count = 2;
    cell->closed = obj_val(str("captured"));
    cell->location = &cell->closed;
    ObjNative* native = keep(new_native(nullptr, 0));
    map_set(map, int_val(4), obj_val(native));
    native->name = str("native name");

    vm.stack[0] = obj_val(instance);
    vm.stack_top = vm.stack + 1;
    collect_garbage();
    std::string survivors;
    for (Obj* o = vm.objects; o != nullptr; o = o->next) {
        if (o->kind == OBJ_STRING) survivors += std::string(reinterpret_cast<ObjString*>(o)->chars) + ";";
    }
    for (const char* text : {"Point;", "field;", "ok payload;", "err payload;", "key;", "value;", "f;",
                             "constant;", "captured;", "native name;"}) {
        EXPECT_NE(survivors.find(text), std::string::npos) << text;
    }
    EXPECT_EQ(survivors.find("beyond count"), std::string::npos);
    EXPECT_EQ(survivors.find("deleted"), std::string::npos);
    // 10 strings, struct, array, 2 Results, map, 2 functions, closure, cell, native
    EXPECT_EQ(object_count(), 20);
    array->values[3] = VALUE_NULL;
}

TEST_F(GcTest, DeepChainsAreMarkedWithoutRecursion) {
#ifdef VESSRIN_GC_STRESS
    const int links = 3000;  // every allocation collects: keep the quadratic work small
#else
    const int links = 1000000;
#endif
    push(VALUE_NULL);  // the head of the chain, updated as it grows
    for (int i = 0; i < links; i++) {
        ObjArray* array = new_array_with_capacity(1);
        array->values[0] = vm.stack[0];
        array->count = 1;
        vm.stack[0] = obj_val(array);
    }
    collect_garbage();
    EXPECT_EQ(object_count(), links);
    vm.stack[0] = VALUE_NULL;
    collect_garbage();
    EXPECT_EQ(object_count(), 0);
    EXPECT_EQ(vm.bytes_allocated, 0u);
}

TEST_F(GcTest, WideObjectsGrowTheWorklist) {
#ifdef VESSRIN_GC_STRESS
    const int width = 600;
#else
    const int width = 20000;
#endif
    ObjArray* outer = keep(new_array_with_capacity(width));
    for (int i = 0; i < width; i++) {
        ObjArray* inner = new_array_with_capacity(1);
        outer->values[i] = obj_val(inner);  // reachable before the next allocation
        outer->count = i + 1;
        inner->values[0] = obj_val(loose("leaf"));
        inner->count = 1;
    }
    collect_garbage();
    EXPECT_EQ(object_count(), 1 + 2 * width);
    EXPECT_EQ(printed(outer->values[width - 1]), "[leaf]");
}

TEST_F(GcTest, TallyAndThreshold) {
    vm_track_alloc(10);
    vm_track_free(25);  // a size recorded larger than the tally stops at zero
    EXPECT_EQ(vm.bytes_allocated, 0u);

    uint64_t before = vm_collection_count();
#ifndef VESSRIN_GC_STRESS
    for (int i = 0; i < 1000; i++) loose("short-lived string");  // about 60 KiB in all
    EXPECT_EQ(vm_collection_count(), before);
    EXPECT_EQ(object_count(), 1000);
#endif

    // 2 MiB of elements pass the first threshold while the array is made.
    ObjArray* big = keep(new_array_with_capacity(262144));
    EXPECT_GT(vm_collection_count(), before);
    collect_garbage();
    EXPECT_EQ(object_count(), 1);
    EXPECT_TRUE(is_live(big));
    EXPECT_EQ(vm.bytes_allocated, sizeof(ObjArray) + 262144 * sizeof(Value));
    EXPECT_EQ(vm.next_gc, 2 * vm.bytes_allocated);

    vm.stack_top = vm.stack;
    collect_garbage();
    EXPECT_EQ(vm.bytes_allocated, 0u);
    EXPECT_EQ(vm.next_gc, VM_GC_MIN_THRESHOLD);
}

TEST_F(GcTest, ErrResultKeepsItsMessageWhileAllocated) {
    // Let the message string fit under the threshold and the Result pass it.
    vm.next_gc = vm.bytes_allocated + sizeof(ObjString) + 5;
    uint64_t before = vm_collection_count();
    ObjResult* result = new_result_err_chars("oops", 4);
    EXPECT_GT(vm_collection_count(), before);
    EXPECT_EQ(vm_transient_count(), 0);
    EXPECT_TRUE(is_live(as_string(result->error)));
    EXPECT_EQ(printed(obj_val(result)), "err(oops)");
}

TEST_F(GcTest, MapGrowthCollectionKeepsEntries) {
    ObjMap* map = keep(new_empty_map());
    for (int i = 0; i < 6; i++) {
        push(obj_val(loose("entry")));  // rooted only until the map holds it
        ASSERT_TRUE(map_set(map, int_val(i), vm.stack_top[-1]));
        vm.stack_top--;
    }
    vm.next_gc = vm.bytes_allocated;  // the growth below collects
    uint64_t before = vm_collection_count();
    ASSERT_TRUE(map_set(map, int_val(6), int_val(6)));
    EXPECT_GT(vm_collection_count(), before);
    EXPECT_EQ(object_count(), 7);
    EXPECT_EQ(printed(obj_val(map)), "{0: entry, 3: entry, 1: entry, 6: 6, 5: entry, 4: entry, 2: entry}");
}

TEST_F(GcTest, TransientRootsAreNeverDropped) {
    vm_pop_transient();  // with none held: nothing happens
    EXPECT_EQ(vm_transient_count(), 0);
    const int held = 1000;  // far more than the initial room, as deep map/filter nesting needs
    for (int i = 0; i < held; i++) vm_push_transient(&loose("held")->obj);
    EXPECT_EQ(vm_transient_count(), held);
    collect_garbage();
    EXPECT_EQ(object_count(), held);
    for (int i = 0; i < held / 2; i++) vm_pop_transient();
    collect_garbage();
    EXPECT_EQ(object_count(), held / 2);
}

TEST_F(GcTest, NativeRegistryHoldsAtMost128) {
    for (int i = 0; i < VM_NATIVES_MAX + 2; i++) vm_register_native(new_native(nullptr, 0));
    EXPECT_EQ(vm_natives_count, VM_NATIVES_MAX);
    collect_garbage();
    EXPECT_EQ(object_count(), VM_NATIVES_MAX);  // the two ignored ones were not roots
}

TEST_F(GcTest, NativeErrorMessagesAreCutAt159Characters) {
    EXPECT_FALSE(vm_native_error_set);
    std::string message(200, 'x');
    message[158] = 'y';
    vm_set_native_error(message.c_str());
    EXPECT_TRUE(vm_native_error_set);
    EXPECT_EQ(std::string(vm_native_error_buf), message.substr(0, 159));
    vm_set_native_error("filter predicate must return bool");
    EXPECT_STREQ(vm_native_error_buf, "filter predicate must return bool");
    vm_reset_registry();
    EXPECT_FALSE(vm_native_error_set);
}
