// Object constructors with their byte tally, escape decoding, printed forms of
// every kind, and release of each kind's storage.
#include <string>

#include "runtime/memory.h"
#include "runtime_fixture.h"

class ObjectTest : public RuntimeTest {
protected:
    static ObjString* decoded(const std::string& text) {
        return keep(copy_string_decoded(text.data(), static_cast<int>(text.size())));
    }
};

TEST_F(ObjectTest, EscapeDecoding) {
    ObjString* s = decoded("a\\tb");
    ASSERT_EQ(s->length, 3);
    EXPECT_EQ(std::string(s->chars, 3), "a\tb");
    EXPECT_EQ(std::string(decoded("\\n\\r\\\\\\\"")->chars), "\n\r\\\"");
    EXPECT_EQ(std::string(decoded("\\q")->chars), "q");
    ObjString* trailing = decoded("ab\\");
    EXPECT_EQ(trailing->length, 3);
    EXPECT_EQ(std::string(trailing->chars), "ab\\");
    EXPECT_EQ(decoded("")->length, 0);
    EXPECT_EQ(copy_string_decoded("x", -3)->length, 0);

    ObjString* nul = decoded("ab\\0cd");
    ASSERT_EQ(nul->length, 5);
    EXPECT_EQ(nul->chars[2], '\0');
    EXPECT_EQ(nul->chars[5], '\0');
    EXPECT_EQ(printed(obj_val(nul)), "ab");
}

TEST_F(ObjectTest, TallyCountsObjectsAndOwnedStorage) {
    ObjString* s = str("hello");
    EXPECT_EQ(vm.bytes_allocated, sizeof(ObjString) + 6);
    ObjString* joined = keep(string_concat(s, str("!")));
    EXPECT_EQ(std::string(joined->chars), "hello!");
    EXPECT_EQ(joined->length, 6);

    uint64_t before = vm.bytes_allocated;
    ObjArray* array = keep(new_array_with_capacity(5));
    EXPECT_EQ(vm.bytes_allocated - before, sizeof(ObjArray) + 5 * sizeof(Value));
    EXPECT_EQ(array->count, 0);
    before = vm.bytes_allocated;
    ObjStruct* instance = keep(new_struct(s, 3));
    EXPECT_EQ(vm.bytes_allocated - before, sizeof(ObjStruct) + 3 * sizeof(Value));
    for (int i = 0; i < 3; i++) EXPECT_EQ(instance->fields[i], VALUE_NULL);

    // take_string adopts a buffer the caller has already counted.
    char* buffer = static_cast<char*>(mem_alloc(3));
    buffer[0] = 'o', buffer[1] = 'k', buffer[2] = '\0';
    before = vm.bytes_allocated;
    keep(take_string(buffer, 2));
    EXPECT_EQ(vm.bytes_allocated - before, sizeof(ObjString));
    vm_track_alloc(3);

    ObjFunction* function = keep(new_function());
    EXPECT_EQ(function->name, nullptr);
    EXPECT_EQ(function->source, nullptr);
    EXPECT_EQ(function->chunk.count, 0);
    EXPECT_EQ(vm.objects, &function->obj);  // newest first

    vm_free_objects();
    EXPECT_EQ(vm.bytes_allocated, 0u);
    EXPECT_EQ(vm.objects, nullptr);
}

TEST_F(ObjectTest, PrintedFormsOfEachKind) {
    ObjString* hi = str("hi");
    EXPECT_EQ(printed(obj_val(new_result_ok(obj_val(hi)))), "ok(hi)");
    EXPECT_EQ(printed(obj_val(new_result_err(int_val(3)))), "err(3)");
    EXPECT_EQ(printed(obj_val(new_result_err_chars("bad input", 9))), "err(bad input)");

    ObjFunction* function = keep(new_function());
    EXPECT_EQ(printed(obj_val(function)), "<script>");
    ObjClosure* lambda = keep(new_closure(function));
    EXPECT_EQ(printed(obj_val(lambda)), "<lambda>");
    function->name = str("area");
    EXPECT_EQ(printed(obj_val(function)), "<fn area>");
    EXPECT_EQ(printed(obj_val(lambda)), "<fn area>");

    ObjNative* native = keep(new_native(nullptr, 1));
    EXPECT_EQ(printed(obj_val(native)), "<native>");
    native->name = str("println");
    EXPECT_EQ(printed(obj_val(native)), "<native println>");

    EXPECT_EQ(printed(obj_val(new_array_from_stack(nullptr, 0))), "[]");
    Value elements[] = {obj_val(str("a")), obj_val(str("b")), float_val(3.0), VALUE_NULL};
    ObjArray* array = keep(new_array_from_stack(elements, 4));
    EXPECT_EQ(array->capacity, 4);
    EXPECT_EQ(printed(obj_val(array)), "[a, b, 3.0, null]");

    ObjMap* map = keep(new_empty_map());
    EXPECT_EQ(printed(obj_val(map)), "{}");
    map_set(map, VALUE_FALSE, obj_val(array));
    map_set(map, VALUE_TRUE, int_val(1));
    EXPECT_EQ(printed(obj_val(map)), "{false: [a, b, 3.0, null], true: 1}");
    map_delete(map, VALUE_FALSE);
    map_delete(map, VALUE_TRUE);
    EXPECT_EQ(printed(obj_val(map)), "{}");

    ObjUpvalue cell{{OBJ_UPVALUE, false, nullptr}, nullptr, VALUE_NULL, nullptr};
    EXPECT_EQ(printed(obj_val(&cell)), "<upvalue>");
    Obj odd{99, false, nullptr};
    EXPECT_EQ(printed(obj_val(&odd)), "");
}

TEST_F(ObjectTest, CyclesPrintAsEllipsis) {
    ObjArray* array = keep(new_array_with_capacity(2));
    array->values[0] = int_val(1);
    array->values[1] = obj_val(array);
    array->count = 2;
    EXPECT_EQ(printed(obj_val(array)), "[1, [...]]");

    ObjMap* map = keep(new_empty_map());
    map_set(map, int_val(1), obj_val(map));
    EXPECT_EQ(printed(obj_val(map)), "{1: {...}}");

    // The same array twice side by side is no cycle.
    Value twice[] = {obj_val(map), obj_val(map)};
    EXPECT_EQ(printed(obj_val(new_array_from_stack(twice, 2))), "[{1: {...}}, {1: {...}}]");
}

TEST_F(ObjectTest, NestingStopsAtPrintDepthLimit) {
    Value inner = int_val(5);
    for (int i = 0; i < PRINT_DEPTH_MAX; i++) {
        push(inner);  // keeps the chain rooted while the next Result is made
        inner = obj_val(new_result_ok(inner));
    }
    std::string opens;
    std::string closes(PRINT_DEPTH_MAX, ')');
    for (int i = 0; i < PRINT_DEPTH_MAX; i++) opens += "ok(";
    EXPECT_EQ(printed(inner), opens + "5" + closes);

    push(inner);
    Value deeper = obj_val(new_result_err(inner));
    std::string cut = "err(" + opens.substr(0, opens.size() - 3) + "..." + closes.substr(1) + ")";
    EXPECT_EQ(printed(deeper), cut);
}

TEST_F(ObjectTest, FreeReleasesEachKindAndIgnoresUnknownKinds) {
    ObjClosure* closure = keep(new_closure(keep(new_function())));
    closure->upvalues = static_cast<ObjUpvalue**>(mem_alloc(2 * sizeof(ObjUpvalue*)));
    closure->upvalues[0] = closure->upvalues[1] = nullptr;
    closure->upvalue_count = 2;
    vm_track_alloc(2 * sizeof(ObjUpvalue*));
    ObjMap* map = keep(new_empty_map());
    for (int i = 0; i < 20; i++) map_set(map, int_val(i), int_val(i));
    new_native(nullptr, 0);
    new_struct(str("S"), 0);
    ObjFunction* function = keep(new_function());
    chunk_write(&function->chunk, OP_RETURN, 1);
    chunk_add_constant(&function->chunk, int_val(1));
    vm_free_objects();  // ASan reports any buffer left behind
    EXPECT_EQ(vm.bytes_allocated, 0u);

    Obj* odd = static_cast<Obj*>(mem_alloc(sizeof(Obj)));
    odd->kind = 77;
    object_free(odd);  // no size, no buffers: left alone
    mem_free(odd);
}

namespace {

// Freed structs of up to 8 fields are kept for the next struct of their size,
// its fields reset; larger ones go back to the allocator, and so do those
// beyond 1 MiB kept in all.
TEST_F(ObjectTest, FreedSmallStructsAreReusedUpToTheirLimits) {
    ObjString* name = str("P");
    ObjStruct* eight = new_struct(name, 8);
    eight->fields[7] = int_val(5);
    collect_garbage();  // nothing roots it
    size_t kept = object_reusable_bytes();
    if (kept == 0) GTEST_SKIP() << "sanitizer builds free structs at once";
    EXPECT_EQ(kept, sizeof(ObjStruct) + 8 * sizeof(Value));
    ObjStruct* again = keep(new_struct(name, 8));
    EXPECT_EQ(again, eight);
    EXPECT_EQ(again->fields[7], VALUE_NULL);
    EXPECT_EQ(object_reusable_bytes(), 0u);

    new_struct(name, 9);
    collect_garbage();
    EXPECT_EQ(object_reusable_bytes(), 0u);

    // Held until all are made, then freed by one collection.
    size_t one = sizeof(ObjStruct) + sizeof(Value);
    Value* base = vm.stack_top;
    for (size_t i = 0; i < 1048576 / one + 100; i++) keep(new_struct(name, 1));
    vm.stack_top = base;
    collect_garbage();
    EXPECT_LE(object_reusable_bytes(), 1048576u);
    EXPECT_GT(object_reusable_bytes(), 1048576u - one);
}

}  // namespace
