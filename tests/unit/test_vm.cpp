// The instructions on hand-assembled chunks: int wrap and its errors, floats,
// comparisons and equality, jumps and loops, Results, collections and structs.
#include <cmath>
#include <cstring>

#include "vm_asm.h"

namespace {

constexpr int64_t MAX = VALUE_INT_MAX;
constexpr int64_t MIN = VALUE_INT_MIN;

TEST_F(VmTest, IntArithmeticWrapsModulo49Bits) {
    EXPECT_EQ(int_result(MAX, 1, OP_ADD), MIN);
    EXPECT_EQ(int_result(MIN, 1, OP_SUBTRACT), MAX);
    EXPECT_EQ(int_result(-3, 5, OP_ADD), 2);
    EXPECT_EQ(int_result(-3, 5, OP_SUBTRACT), -8);
    EXPECT_EQ(int_result(MAX, 2, OP_MULTIPLY), -2);
    EXPECT_EQ(int_result(1 << 24, 1 << 24, OP_MULTIPLY), MIN);
    EXPECT_EQ(int_result(-6, 7, OP_MULTIPLY), -42);
    EXPECT_EQ(int_result(MIN, MIN, OP_MULTIPLY), 0);
}

TEST_F(VmTest, IntPowerWrapsAndHandlesZero) {
    EXPECT_EQ(int_result(2, 48, OP_POWER), MIN);
    EXPECT_EQ(int_result(2, 49, OP_POWER), 0);
    EXPECT_EQ(int_result(2, 0, OP_POWER), 1);
    EXPECT_EQ(int_result(0, 0, OP_POWER), 1);
    EXPECT_EQ(int_result(0, 5, OP_POWER), 0);
    EXPECT_EQ(int_result(-2, 3, OP_POWER), -8);
    EXPECT_EQ(int_result(3, 4, OP_POWER), 81);
    // Every product wraps: compare with a plain unsigned loop.
    uint64_t expected = 1;
    for (int k = 0; k < 100; k++) expected *= 3;
    EXPECT_EQ(int_result(3, 100, OP_POWER), as_int(int_val(static_cast<int64_t>(expected))));
    EXPECT_EQ(binary_error(int_val(2), int_val(-1), OP_POWER),
              "runtime error: negative exponent in integer exponentiation.");
}

TEST_F(VmTest, NegationWraps) {
    auto negate = [](Value v) {
        Asm script;
        script.k(v).op(OP_NEGATE);
        return result_of(script);
    };
    EXPECT_EQ(as_int(negate(int_val(MIN))), MIN);
    EXPECT_EQ(as_int(negate(int_val(MAX))), MIN + 1);
    EXPECT_EQ(as_int(negate(int_val(5))), -5);
    EXPECT_EQ(as_int(negate(int_val(0))), 0);
    Value negative_zero = negate(float_val(0.0));
    EXPECT_TRUE(std::signbit(as_float(negative_zero)));
    EXPECT_EQ(negate(float_val(NAN)), VALUE_CANONICAL_NAN);
    EXPECT_EQ(as_float(negate(float_val(-2.5))), 2.5);

    Asm bad;
    bad.s("x").op(OP_NEGATE);
    EXPECT_EQ(header(error_of(bad)), "runtime error: internal: unary '-' on non-numeric.");
}

TEST_F(VmTest, IntDivisionTruncatesAndModuloFollowsTheDividend) {
    EXPECT_EQ(int_result(-7, 2, OP_DIVIDE), -3);
    EXPECT_EQ(int_result(7, -2, OP_DIVIDE), -3);
    EXPECT_EQ(int_result(7, 2, OP_DIVIDE), 3);
    EXPECT_EQ(int_result(MIN, -1, OP_DIVIDE), MIN);
    EXPECT_EQ(int_result(-7, 3, OP_MODULO), -1);
    EXPECT_EQ(int_result(7, -3, OP_MODULO), 1);
    EXPECT_EQ(int_result(MIN, -1, OP_MODULO), 0);
    EXPECT_EQ(binary_error(int_val(7), int_val(0), OP_DIVIDE), "runtime error: integer division by zero.");
    EXPECT_EQ(binary_error(int_val(7), int_val(0), OP_MODULO), "runtime error: modulo by zero.");
}

TEST_F(VmTest, ShiftCountsFrom0To48) {
    EXPECT_EQ(int_result(1, 48, OP_SHIFT_LEFT), MIN);
    EXPECT_EQ(int_result(3, 47, OP_SHIFT_LEFT), -(int64_t{1} << 47));  // bit 48 becomes the sign
    EXPECT_EQ(int_result(5, 0, OP_SHIFT_LEFT), 5);
    EXPECT_EQ(int_result(-8, 1, OP_SHIFT_RIGHT), -4);
    EXPECT_EQ(int_result(MIN, 48, OP_SHIFT_RIGHT), -1);
    EXPECT_EQ(int_result(MAX, 48, OP_SHIFT_RIGHT), 0);
    EXPECT_EQ(binary_error(int_val(1), int_val(49), OP_SHIFT_LEFT), "runtime error: shift count exceeds int width.");
    EXPECT_EQ(binary_error(int_val(1), int_val(49), OP_SHIFT_RIGHT), "runtime error: shift count exceeds int width.");
    EXPECT_EQ(binary_error(int_val(5), int_val(-1), OP_SHIFT_RIGHT), "runtime error: negative shift count.");
    EXPECT_EQ(binary_error(int_val(5), int_val(-1), OP_SHIFT_LEFT), "runtime error: negative shift count.");
}

TEST_F(VmTest, BitwiseOperatorsWorkOnSignExtendedInts) {
    EXPECT_EQ(int_result(6, 3, OP_BIT_AND), 2);
    EXPECT_EQ(int_result(6, 3, OP_BIT_OR), 7);
    EXPECT_EQ(int_result(6, 3, OP_BIT_XOR), 5);
    EXPECT_EQ(int_result(-1, MAX, OP_BIT_AND), MAX);
    EXPECT_EQ(int_result(-1, 5, OP_BIT_XOR), -6);
    Asm script;
    script.i(0).op(OP_BIT_NOT);
    EXPECT_EQ(as_int(result_of(script)), -1);
}

TEST_F(VmTest, FloatArithmeticFollowsIeee) {
    EXPECT_EQ(as_float(binary(float_val(1.5), float_val(2.25), OP_ADD)), 3.75);
    EXPECT_EQ(as_float(binary(float_val(1.5), float_val(2.25), OP_SUBTRACT)), -0.75);
    EXPECT_EQ(as_float(binary(float_val(1.5), float_val(2.0), OP_MULTIPLY)), 3.0);
    EXPECT_EQ(as_float(binary(float_val(-7.5), float_val(2.0), OP_MODULO)), -1.5);
    EXPECT_EQ(as_float(binary(float_val(2.0), float_val(10.0), OP_POWER)), 1024.0);
    EXPECT_EQ(as_float(binary(float_val(7.0), float_val(0.0), OP_DIVIDE)), INFINITY);
    EXPECT_EQ(as_float(binary(float_val(-7.0), float_val(0.0), OP_DIVIDE)), -INFINITY);
    // NaN results take the one canonical word, so they never look tagged.
    EXPECT_EQ(binary(float_val(0.0), float_val(0.0), OP_DIVIDE), VALUE_CANONICAL_NAN);
    EXPECT_EQ(binary(float_val(INFINITY), float_val(-INFINITY), OP_ADD), VALUE_CANONICAL_NAN);
    EXPECT_EQ(binary(float_val(1.0), float_val(0.0), OP_MODULO), VALUE_CANONICAL_NAN);
}

TEST_F(VmTest, MixedOperandsAreInternalErrors) {
    EXPECT_EQ(binary_error(int_val(1), float_val(1.0), OP_ADD),
              "runtime error: internal: '+' applied to int and float (compiler should have caught)");
    EXPECT_EQ(binary_error(VALUE_NULL, VALUE_TRUE, OP_POWER),
              "runtime error: internal: '**' applied to null and bool (compiler should have caught)");
}

TEST_F(VmTest, StringConcatenation) {
    Asm script;
    script.s("ab").s("").op(OP_ADD).s("cd").op(OP_ADD);
    EXPECT_EQ(text_of(result_of(script)), "abcd");
}

TEST_F(VmTest, ConcatenationLengthIsComputedIn64Bits) {
    // The length is checked before any byte is read, so a string that only
    // claims to be huge is enough; 2^31 - 1 plus 1 would wrap in 32 bits.
    Asm script;
    ObjString* huge = copy_string("x", 1);
    script.k(obj_val(huge)).s("y").op(OP_ADD);
    huge->length = INT32_MAX;
    std::string block = error_of(script);
    huge->length = 1;
    EXPECT_EQ(header(block), "runtime error: string concatenation result too large.");
}

TEST_F(VmTest, IntComparisonsAreSigned) {
    EXPECT_EQ(binary(int_val(-1), int_val(1), OP_LESS), VALUE_TRUE);
    EXPECT_EQ(binary(int_val(-1), int_val(1), OP_GREATER), VALUE_FALSE);
    EXPECT_EQ(binary(int_val(MIN), int_val(MAX), OP_LESS), VALUE_TRUE);
    EXPECT_EQ(binary(int_val(MAX), int_val(MIN), OP_GREATER), VALUE_TRUE);
    EXPECT_EQ(binary(int_val(-5), int_val(-6), OP_GREATER), VALUE_TRUE);
    EXPECT_EQ(binary(int_val(4), int_val(4), OP_LESS), VALUE_FALSE);
    EXPECT_EQ(binary(float_val(1.5), float_val(2.5), OP_LESS), VALUE_TRUE);
    EXPECT_EQ(binary(float_val(-0.0), float_val(0.0), OP_LESS), VALUE_FALSE);
}

TEST_F(VmTest, NanComparesFalseAndItsNegationsTrue) {
    Value nan = float_val(NAN);
    EXPECT_EQ(binary(nan, float_val(1.0), OP_LESS), VALUE_FALSE);
    EXPECT_EQ(binary(nan, float_val(1.0), OP_GREATER), VALUE_FALSE);
    EXPECT_EQ(binary(float_val(1.0), nan, OP_LESS), VALUE_FALSE);
    // <= compiles to GREATER, NOT and >= to LESS, NOT: both hold for NaN.
    Asm le;
    le.k(nan).f(1.0).op(OP_GREATER).op(OP_NOT);
    EXPECT_EQ(result_of(le), VALUE_TRUE);
    Asm ge;
    ge.k(nan).f(1.0).op(OP_LESS).op(OP_NOT);
    EXPECT_EQ(result_of(ge), VALUE_TRUE);
}

TEST_F(VmTest, EqualityAcrossKinds) {
    EXPECT_EQ(binary(int_val(1), int_val(1), OP_EQUAL), VALUE_TRUE);
    EXPECT_EQ(binary(int_val(1), int_val(2), OP_EQUAL), VALUE_FALSE);
    EXPECT_EQ(binary(int_val(1), float_val(1.0), OP_EQUAL), VALUE_FALSE);
    EXPECT_EQ(binary(float_val(1.0), int_val(1), OP_EQUAL), VALUE_FALSE);
    EXPECT_EQ(binary(int_val(0), VALUE_FALSE, OP_EQUAL), VALUE_FALSE);
    EXPECT_EQ(binary(VALUE_NULL, VALUE_NULL, OP_EQUAL), VALUE_TRUE);
    EXPECT_EQ(binary(VALUE_NULL, int_val(0), OP_EQUAL), VALUE_FALSE);
    EXPECT_EQ(binary(VALUE_TRUE, VALUE_TRUE, OP_EQUAL), VALUE_TRUE);
    EXPECT_EQ(binary(float_val(NAN), float_val(NAN), OP_EQUAL), VALUE_FALSE);
    EXPECT_EQ(binary(float_val(0.0), float_val(-0.0), OP_EQUAL), VALUE_TRUE);

    Asm strings;  // two distinct objects with the same bytes
    strings.s("abc").s("abc").op(OP_EQUAL);
    EXPECT_EQ(result_of(strings), VALUE_TRUE);
    Asm arrays;  // same elements, different arrays; then an array with itself
    arrays.i(1).op(OP_ARRAY, 1).i(1).op(OP_ARRAY, 1).op(OP_EQUAL);
    EXPECT_EQ(result_of(arrays), VALUE_FALSE);
    Asm self;
    self.i(1).op(OP_ARRAY, 1).op(OP_GET_LOCAL, 1).op(OP_GET_LOCAL, 1).op(OP_EQUAL).op(OP_SET_GLOBAL, 0).op(OP_POP);
    self.op(OP_RETURN_NO_VALUE);
    ASSERT_EQ(run_top_level_script(self.fn), INTERPRET_OK);
    EXPECT_EQ(vm.globals[0], VALUE_TRUE);
}

TEST_F(VmTest, NotNeedsABool) {
    Asm script;
    script.k(VALUE_FALSE).op(OP_NOT);
    EXPECT_EQ(result_of(script), VALUE_TRUE);
    Asm bad;
    bad.i(0).op(OP_NOT);
    EXPECT_EQ(header(error_of(bad)), "runtime error: internal: '!' on non-bool.");
}

TEST_F(VmTest, LoopSumsOneToTen) {
    // sum = 0, i = 1; while (!(i > 10)) { sum = sum + i; i = i + 1 }
    Asm script;
    script.i(0).op(OP_SET_GLOBAL, 0).i(1).op(OP_SET_GLOBAL, 1);
    int start = script.here();
    script.op(OP_GET_GLOBAL, 1).i(10).op(OP_GREATER).op(OP_NOT);
    int exit = script.jump(OP_JUMP_IF_FALSE);
    script.op(OP_POP);
    script.op(OP_GET_GLOBAL, 0).op(OP_GET_GLOBAL, 1).op(OP_ADD).op(OP_SET_GLOBAL, 0);
    script.op(OP_GET_GLOBAL, 1).i(1).op(OP_ADD).op(OP_SET_GLOBAL, 1);
    script.loop(start);
    script.patch(exit).op(OP_POP).op(OP_RETURN_NO_VALUE);
    Value* top = vm.stack_top;
    ASSERT_EQ(run_top_level_script(script.fn), INTERPRET_OK);
    EXPECT_EQ(as_int(vm.globals[0]), 55);
    EXPECT_EQ(as_int(vm.globals[1]), 11);
    EXPECT_EQ(vm.stack_top, top);
}

TEST_F(VmTest, JumpsSkipCodeAndOnlyTrueFallsThrough) {
    // JUMP_IF_FALSE keeps its condition: the jump target sees it on the stack.
    auto taken = [](Value condition) {
        Asm script;
        script.k(condition);
        int skip = script.jump(OP_JUMP_IF_FALSE);
        script.i(1).op(OP_SET_GLOBAL, 1);
        script.patch(skip).op(OP_SET_GLOBAL, 0).op(OP_RETURN_NO_VALUE);
        vm.globals[1] = int_val(0);
        EXPECT_EQ(run_top_level_script(script.fn), INTERPRET_OK);
        EXPECT_EQ(vm.globals[0], condition);
        return as_int(vm.globals[1]) == 0;
    };
    EXPECT_FALSE(taken(VALUE_TRUE));
    EXPECT_TRUE(taken(VALUE_FALSE));
    EXPECT_TRUE(taken(VALUE_NULL));

    Asm script;
    script.i(1);
    int over = script.jump(OP_JUMP);
    script.i(2).op(OP_ADD);
    script.patch(over);
    EXPECT_EQ(as_int(result_of(script)), 1);
}

TEST_F(VmTest, ResultInstructions) {
    Asm script;
    script.i(3).op(OP_OK).op(OP_GET_LOCAL, 1).op(OP_IS_OK).op(OP_SET_GLOBAL, 1);
    script.op(OP_GET_LOCAL, 1).op(OP_IS_ERR).op(OP_SET_GLOBAL, 2);
    script.op(OP_GET_LOCAL, 1).op(OP_RESULT_VALUE).op(OP_SET_GLOBAL, 3);
    script.s("bad").op(OP_ERR).op(OP_RESULT_ERROR).op(OP_SET_GLOBAL, 4);
    script.op(OP_POP).op(OP_RETURN_NO_VALUE);
    ASSERT_EQ(run_top_level_script(script.fn), INTERPRET_OK);
    EXPECT_EQ(vm.globals[1], VALUE_TRUE);
    EXPECT_EQ(vm.globals[2], VALUE_FALSE);
    EXPECT_EQ(as_int(vm.globals[3]), 3);
    EXPECT_EQ(text_of(vm.globals[4]), "bad");

    Asm value_of_err;
    value_of_err.i(1).op(OP_ERR).op(OP_RESULT_VALUE);
    EXPECT_EQ(header(error_of(value_of_err)), "runtime error: internal: .value on err Result.");
}

TEST_F(VmTest, ArrayIndexingAndBounds) {
    Asm script;  // a = [10, 20, 30]; a[1] = 25; global 0 = a[1] + a[2]
    script.i(10).i(20).i(30).op(OP_ARRAY, 3);
    script.op(OP_GET_LOCAL, 1).i(1).i(25).op(OP_INDEX_SET);
    script.op(OP_GET_LOCAL, 1).i(1).op(OP_INDEX_GET).op(OP_GET_LOCAL, 1).i(2).op(OP_INDEX_GET).op(OP_ADD);
    script.op(OP_SET_GLOBAL, 0).op(OP_POP).op(OP_RETURN_NO_VALUE);
    ASSERT_EQ(run_top_level_script(script.fn), INTERPRET_OK);
    EXPECT_EQ(as_int(vm.globals[0]), 55);

    for (int64_t index : {3, -1}) {
        Asm get;
        get.i(1).i(2).i(3).op(OP_ARRAY, 3).i(index).op(OP_INDEX_GET);
        EXPECT_EQ(header(error_of(get)),
                  "runtime error: array index " + std::to_string(index) + " out of bounds (length 3)");
        Asm set;
        set.i(1).i(2).i(3).op(OP_ARRAY, 3).i(index).i(0).op(OP_INDEX_SET);
        EXPECT_EQ(header(error_of(set)),
                  "runtime error: array index " + std::to_string(index) + " out of bounds (length 3)");
    }
    Asm empty;
    empty.op(OP_ARRAY, 0).i(0).op(OP_INDEX_GET);
    EXPECT_EQ(header(error_of(empty)), "runtime error: array index 0 out of bounds (length 0)");
}

TEST_F(VmTest, MapLiteralIndexingAndStore) {
    // {"a": 1, "b": 2, "a": 3}: the later "a" wins.
    Asm script;
    script.s("a").i(1).s("b").i(2).s("a").i(3).op(OP_MAP, 3);
    script.op(OP_GET_LOCAL, 1).s("a").op(OP_INDEX_GET).op(OP_SET_GLOBAL, 1);
    script.op(OP_GET_LOCAL, 1).s("zzz").op(OP_INDEX_GET).op(OP_SET_GLOBAL, 2);
    script.op(OP_GET_LOCAL, 1).s("c").i(7).op(OP_INDEX_SET);
    script.op(OP_GET_LOCAL, 1).s("c").op(OP_INDEX_GET).op(OP_SET_GLOBAL, 3);
    script.op(OP_SET_GLOBAL, 0).op(OP_RETURN_NO_VALUE);
    ASSERT_EQ(run_top_level_script(script.fn), INTERPRET_OK);
    EXPECT_EQ(as_int(vm.globals[1]), 3);
    EXPECT_EQ(vm.globals[2], VALUE_NULL);
    EXPECT_EQ(as_int(vm.globals[3]), 7);
    ASSERT_TRUE(is_obj_kind(vm.globals[0], OBJ_MAP));
    EXPECT_EQ(as_map(vm.globals[0])->count, 3);
    EXPECT_EQ(vm_transient_count(), 0);
}

TEST_F(VmTest, MapStoresSurviveGrowthWithManyKeys) {
    // Enough integer keys to grow the table several times from OP_INDEX_SET.
    Asm script;
    script.op(OP_MAP, 0).i(0).op(OP_SET_GLOBAL, 1);
    int start = script.here();
    script.op(OP_GET_GLOBAL, 1).i(200).op(OP_LESS);
    int exit = script.jump(OP_JUMP_IF_FALSE);
    script.op(OP_POP);
    script.op(OP_GET_LOCAL, 1).op(OP_GET_GLOBAL, 1).op(OP_GET_GLOBAL, 1).op(OP_GET_GLOBAL, 1).op(OP_MULTIPLY);
    script.op(OP_INDEX_SET);
    script.op(OP_GET_GLOBAL, 1).i(1).op(OP_ADD).op(OP_SET_GLOBAL, 1);
    script.loop(start);
    script.patch(exit).op(OP_POP);
    script.op(OP_GET_LOCAL, 1).i(199).op(OP_INDEX_GET).op(OP_SET_GLOBAL, 2);
    script.op(OP_SET_GLOBAL, 0).op(OP_RETURN_NO_VALUE);
    ASSERT_EQ(run_top_level_script(script.fn), INTERPRET_OK);
    EXPECT_EQ(as_map(vm.globals[0])->count, 200);
    EXPECT_EQ(as_int(vm.globals[2]), 199 * 199);
}

TEST_F(VmTest, StructsAreCopiedByValue) {
    // p = Point{1, 2}; q = copy of p; q.0 = 9; globals: p.0, q.0
    Asm script;
    Value name = obj_val(copy_string("Point", 5));
    script.op(OP_STRUCT, script.constant(name), 2);
    script.i(1).op(OP_SET_FIELD, 0).i(2).op(OP_SET_FIELD, 1);
    script.op(OP_GET_LOCAL, 1).op(OP_COPY_STRUCT);
    script.op(OP_GET_LOCAL, 2).i(9).op(OP_SET_FIELD, 0).op(OP_POP);
    script.op(OP_GET_LOCAL, 1).op(OP_GET_FIELD, 0).op(OP_SET_GLOBAL, 1);
    script.op(OP_GET_LOCAL, 2).op(OP_GET_FIELD, 0).op(OP_SET_GLOBAL, 2);
    script.op(OP_GET_LOCAL, 2).op(OP_GET_FIELD, 1).op(OP_SET_GLOBAL, 3);
    script.i(5).op(OP_COPY_STRUCT).op(OP_SET_GLOBAL, 4);  // not a struct: unchanged
    script.op(OP_POP).op(OP_POP).op(OP_RETURN_NO_VALUE);
    ASSERT_EQ(run_top_level_script(script.fn), INTERPRET_OK);
    EXPECT_EQ(as_int(vm.globals[1]), 1);
    EXPECT_EQ(as_int(vm.globals[2]), 9);
    EXPECT_EQ(as_int(vm.globals[3]), 2);
    EXPECT_EQ(as_int(vm.globals[4]), 5);

    Asm out_of_range;
    out_of_range.op(OP_STRUCT, out_of_range.constant(name), 1);
    out_of_range.op(OP_GET_FIELD, 1);
    EXPECT_EQ(header(error_of(out_of_range)), "runtime error: internal: field index out of range.");
}

TEST_F(VmTest, ByteThatIsNoOpcodeIsReportedNotExecuted) {
    Asm script;
    script.raw(200);
    EXPECT_EQ(header(error_of(script)), "runtime error: internal: invalid opcode 200.");
}

}  // namespace
