// Struct values: the deep copy behind OP_COPY_STRUCT, and the bytecode the
// compiler emits for struct literals, field stores and method calls.
#include <cstring>

#include "compiler_fixture.h"

namespace {

class StructCopyTest : public RuntimeTest {
protected:
    ObjString* name(const char* text) { return keep(copy_string(text, static_cast<int>(std::strlen(text)))); }
};

TEST_F(StructCopyTest, NestedStructsAreCopiedWhileContainersStayShared) {
    ObjString* in_name = name("In");
    ObjString* out_name = name("Out");
    ObjStruct* inner = keep(new_struct(in_name, 1));
    inner->fields[0] = int_val(1);
    ObjArray* shared = keep(new_array_with_capacity(0));
    ObjStruct* outer = keep(new_struct(out_name, 3));
    outer->fields[0] = obj_val(inner);
    outer->fields[1] = obj_val(shared);
    outer->fields[2] = int_val(7);

    ObjStruct* copy = keep(copy_struct_deep(outer));
    ASSERT_NE(copy, outer);
    EXPECT_EQ(copy->name, out_name);
    ASSERT_TRUE(is_obj_kind(copy->fields[0], OBJ_STRUCT));
    ObjStruct* inner_copy = as_struct(copy->fields[0]);
    EXPECT_NE(inner_copy, inner);
    EXPECT_EQ(inner_copy->name, in_name);
    EXPECT_EQ(inner_copy->fields[0], int_val(1));
    EXPECT_EQ(copy->fields[1], obj_val(shared));
    EXPECT_EQ(copy->fields[2], int_val(7));

    inner_copy->fields[0] = int_val(2);
    EXPECT_EQ(inner->fields[0], int_val(1));
}

TEST_F(StructCopyTest, EveryLevelOfADeepChainIsCopiedAndSurvivesACollection) {
    constexpr int depth = 200;
    ObjString* link = name("Link");
    // The chain hangs from its head on the stack; each level holds its depth
    // and the next level.
    ObjStruct* head = keep(new_struct(link, 2));
    ObjStruct* tail = head;
    for (int i = 1; i < depth; i++) {
        tail->fields[0] = int_val(i - 1);
        ObjStruct* next = new_struct(link, 2);
        tail->fields[1] = obj_val(next);
        tail = next;
    }
    tail->fields[0] = int_val(depth - 1);

    ObjStruct* copy = copy_struct_deep(head);
    vm.stack_top[-1] = obj_val(copy);  // the original is no longer reachable
    collect_garbage();

    ObjStruct* level = copy;
    for (int i = 0; i < depth; i++) {
        ASSERT_EQ(level->field_count, 2);
        ASSERT_EQ(level->fields[0], int_val(i));
        if (i + 1 < depth) {
            ASSERT_TRUE(is_obj_kind(level->fields[1], OBJ_STRUCT));
            level = as_struct(level->fields[1]);
        }
    }
    EXPECT_EQ(level->fields[1], VALUE_NULL);
    EXPECT_EQ(vm_transient_count(), 0);
}

TEST_F(CompilerTest, StructLiteralSetsFieldsByDeclaredIndex) {
    ObjFunction* fn = compile_program("struct P { int x, int y }\nP p = P { y: 2, x: 1 }\n");
    ASSERT_NE(fn, nullptr) << errors_;
    EXPECT_EQ(listing(fn),
              "0 STRUCT 0 2\n"
              "3 CONSTANT 2\n"
              "5 SET_FIELD 1\n"
              "7 CONSTANT 1\n"
              "9 SET_FIELD 0\n"
              "11 SET_GLOBAL 0\n"
              "13 RETURN_NO_VALUE\n");
}

TEST_F(CompilerTest, FieldStoresLeaveTheStackAsTheyFoundIt) {
    ObjFunction* fn = compile_program(
        "struct In { int v }\nstruct P { In i, int n }\n"
        "P p = P { i: In { v: 0 }, n: 0 }\np.n += 3\np.i = In { v: 1 }\n");
    ASSERT_NE(fn, nullptr) << errors_;
    // The augmented store names the instance by a hidden local in the slot
    // above the script's own (slot 1) and reads it there once more.
    EXPECT_EQ(listing(fn),
              "0 STRUCT 0 2\n"
              "3 STRUCT 1 1\n"
              "6 CONSTANT 0\n"
              "8 SET_FIELD 0\n"
              "10 SET_FIELD 0\n"
              "12 CONSTANT 0\n"
              "14 SET_FIELD 1\n"
              "16 SET_GLOBAL 0\n"
              "18 GET_GLOBAL 0\n"
              "20 GET_LOCAL 1\n"
              "22 GET_FIELD 1\n"
              "24 ADD_INT_K 3\n"
              "26 SET_FIELD 1\n"
              "28 POP\n"
              "29 GET_GLOBAL 0\n"
              "31 STRUCT 5 1\n"
              "34 CONSTANT 1\n"
              "36 SET_FIELD 0\n"
              "38 SET_FIELD 0\n"
              "40 POP\n"
              "41 RETURN_NO_VALUE\n");
}

TEST_F(CompilerTest, MethodCallPassesTheInstanceAsFirstArgument) {
    ObjFunction* fn = compile_program(
        "struct P { int n, def add(P other) { self.n += other.n } def get() int { return self.n } }\n"
        "P p = P { n: 1 }\np.add(p)\nint k = p.get()\n");
    ASSERT_NE(fn, nullptr) << errors_;
    // The instance is not copied (the method changes it in place); the
    // struct argument is. A method without a result leaves nothing to pop.
    EXPECT_EQ(listing(fn),
              "0 STRUCT 0 1\n"
              "3 CONSTANT 1\n"
              "5 SET_FIELD 0\n"
              "7 SET_GLOBAL 0\n"
              "9 GET_GLOBAL 0\n"
              "11 CONSTANT <fn>\n"
              "13 SWAP\n"
              "14 GET_GLOBAL 0\n"
              "16 COPY_STRUCT\n"
              "17 CALL 2\n"
              "19 GET_GLOBAL 0\n"
              "21 CONSTANT <fn>\n"
              "23 SWAP\n"
              "24 CALL 1\n"
              "26 SET_GLOBAL 1\n"
              "28 RETURN_NO_VALUE\n");
}

}  // namespace
