// The string natives seen from inside: registration order and arities, the
// byte tally of the strings they build, argument kinds refused without a
// message, and the cases the language cannot observe (object identity).
#include <gtest/gtest.h>

#include <cstring>

#include "compiler/compiler_internal.h"
#include "library/strings.h"
#include "compiler_fixture.h"

class StringNativesTest : public RuntimeTest {
protected:
    // Calls a native as OP_CALL would: arguments on the stack, result preset to null.
    static bool call(NativeFn fn, std::initializer_list<Value> args, Value* result) {
        Value* first = vm.stack_top;
        for (Value v : args) push(v);
        *result = VALUE_NULL;
        vm_native_error_set = false;
        bool ok = fn(static_cast<int>(args.size()), first, result);
        vm.stack_top = first;
        return ok;
    }
};

TEST_F(StringNativesTest, RegisteredInMemberOrderWithReceiverInArity) {
    register_string_methods();
    const char* names[] = {"length",  "is_empty", "is_digit", "is_alpha", "contains", "starts_with",
                           "ends_with", "count",  "to_upper", "to_lower", "trim",     "lstrip",
                           "rstrip",  "replace",  "repeat",   "index",    "substring", "split"};
    const uint32_t arities[] = {1, 1, 1, 1, 2, 2, 2, 2, 1, 1, 1, 1, 1, 3, 2, 2, 3, 2};
    ASSERT_EQ(vm_natives_count, 18);
    for (int i = 0; i < 18; i++) {
        ObjNative* native = vm_natives[i];
        ASSERT_NE(native->name, nullptr);
        EXPECT_STREQ(native->name->chars, names[i]) << i;
        EXPECT_EQ(native->arity, arities[i]) << names[i];
    }
}

// A built string is counted exactly once: its object and its length + 1 bytes.
TEST_F(StringNativesTest, BuiltStringsAreCountedOnce) {
#ifdef VESSRIN_GC_STRESS
    GTEST_SKIP() << "a collection at every allocation changes the tally between the two reads";
#endif
    ObjString* s = str("Hello");
    ObjString* a = str("l");
    ObjString* b = str("LL");
    ObjString* empty = str("");
    struct Case {
        NativeFn fn;
        std::initializer_list<Value> args;
        int expected_length;
    };
    const Case cases[] = {
        {native_string_to_upper, {obj_val(s)}, 5},
        {native_string_trim, {obj_val(s)}, 5},
        {native_string_replace, {obj_val(s), obj_val(a), obj_val(b)}, 7},
        {native_string_repeat, {obj_val(s), int_val(3)}, 15},
        {native_string_repeat, {obj_val(empty), int_val(3)}, 0},
    };
    for (const Case& c : cases) {
        uint64_t before = vm.bytes_allocated;
        Value result;
        ASSERT_TRUE(call(c.fn, c.args, &result));
        ASSERT_TRUE(is_string(result));
        ObjString* built = as_string(result);
        EXPECT_EQ(built->length, c.expected_length);
        EXPECT_EQ(built->chars[built->length], '\0');
        EXPECT_EQ(vm.bytes_allocated - before, sizeof(ObjString) + static_cast<uint64_t>(c.expected_length) + 1);
    }
}

TEST_F(StringNativesTest, ReplaceWithEmptyPatternGivesTheReceiverItself) {
    ObjString* s = str("abc");
    ObjString* empty = str("");
    ObjString* x = str("x");
    int objects = object_count();
    Value result;
    ASSERT_TRUE(call(native_string_replace, {obj_val(s), obj_val(empty), obj_val(x)}, &result));
    EXPECT_EQ(as_obj(result), &s->obj);
    EXPECT_EQ(object_count(), objects);
}

// Kinds the compiler would never let through fail quietly: the machine then
// reports an internal failure rather than reading a wrong object.
TEST_F(StringNativesTest, WrongArgumentKindsFailWithoutMessage) {
    ObjString* s = str("abc");
    Value result;
    EXPECT_FALSE(call(native_string_length, {int_val(1)}, &result));
    EXPECT_FALSE(call(native_string_contains, {obj_val(s), int_val(1)}, &result));
    EXPECT_FALSE(call(native_string_repeat, {obj_val(s), obj_val(s)}, &result));
    EXPECT_FALSE(call(native_string_substring, {obj_val(s), int_val(0), VALUE_NULL}, &result));
    EXPECT_FALSE(call(native_string_split, {VALUE_TRUE, obj_val(s)}, &result));
    EXPECT_FALSE(vm_native_error_set);
}

// Strings may hold NUL bytes; the members compare by length, not up to a NUL.
TEST_F(StringNativesTest, NulBytesAreOrdinaryBytes) {
    ObjString* s = keep(copy_string("a\0b\0", 4));
    ObjString* nul = keep(copy_string("\0", 1));
    Value result;
    ASSERT_TRUE(call(native_string_split, {obj_val(s), obj_val(nul)}, &result));
    ObjArray* pieces = as_array(result);
    ASSERT_EQ(pieces->count, 3);
    EXPECT_EQ(as_string(pieces->values[0])->length, 1);
    EXPECT_EQ(as_string(pieces->values[1])->length, 1);
    EXPECT_EQ(as_string(pieces->values[2])->length, 0);
    ASSERT_TRUE(call(native_string_count, {obj_val(s), obj_val(nul)}, &result));
    EXPECT_EQ(as_int(result), 2);
    ASSERT_TRUE(call(native_string_ends_with, {obj_val(s), obj_val(nul)}, &result));
    EXPECT_EQ(result, VALUE_TRUE);
}

// The result array is sized once: its capacity is its final count.
TEST_F(StringNativesTest, SplitSizesItsArrayExactly) {
    ObjString* s = str("a,b,,c,");
    ObjString* comma = str(",");
    Value result;
    ASSERT_TRUE(call(native_string_split, {obj_val(s), obj_val(comma)}, &result));
    EXPECT_EQ(as_array(result)->count, 5);
    EXPECT_EQ(as_array(result)->capacity, 5);
    EXPECT_EQ(vm_transient_count(), 0);
}

class StringMemberShapeTest : public CompilerTest {};

// The native goes below the receiver (OP_SWAP), so the receiver becomes
// argument 0; the property is called like a method without arguments.
TEST_F(StringMemberShapeTest, NativeIsSwappedBelowTheReceiver) {
    ObjFunction* fn = compile_program("string s = \"ab\"\nint n = s.length\nstring t = s.replace(\"a\", \"\")\n");
    ASSERT_NE(fn, nullptr) << errors_;
    EXPECT_EQ(listing(fn),
              "0 CONSTANT \"ab\"\n"
              "2 SET_GLOBAL 0\n"
              "4 GET_GLOBAL 0\n"
              "6 CONSTANT <native length>\n"
              "8 SWAP\n"
              "9 CALL 1\n"
              "11 SET_GLOBAL 1\n"
              "13 GET_GLOBAL 0\n"
              "15 CONSTANT <native replace>\n"
              "17 SWAP\n"
              "18 CONSTANT \"a\"\n"
              "20 CONSTANT \"\"\n"
              "22 CALL 3\n"
              "24 SET_GLOBAL 2\n"
              "26 RETURN_NO_VALUE\n");
}
