// The loop's short-cuts on hand-assembled chunks: arithmetic whose result goes
// straight into a local, comparisons that apply the OP_NOT and take the
// conditional jump after them, and the OP_POP after a jump. Each must leave the stack and the locals exactly
// as the separate instructions would, and never skip an error.
#include <cmath>
#include <string>

#include "vm_asm.h"

namespace {

constexpr int64_t SENTINEL = 77;

// Runs `a b code` followed by OP_SET_LOCAL into a local declared below a
// sentinel temporary; checks that the sentinel is what remains on top, and
// returns the local.
Value stored_in_local(Value a, Value b, OpCode code) {
    Asm script;
    script.i(0);         // slot 1: the local
    script.i(SENTINEL);  // a temporary that must survive the store
    script.k(a).k(b).op(code).op(OP_SET_LOCAL, 1);
    script.op(OP_SET_GLOBAL, 1);  // pops the sentinel
    script.op(OP_GET_LOCAL, 1).op(OP_SET_GLOBAL, 0).op(OP_RETURN_NO_VALUE);
    EXPECT_EQ(run_top_level_script(script.fn), INTERPRET_OK);
    EXPECT_EQ(vm.globals[1], int_val(SENTINEL));
    return vm.globals[0];
}

TEST_F(VmTest, ArithmeticResultsGoStraightIntoALocal) {
    EXPECT_EQ(stored_in_local(int_val(VALUE_INT_MAX), int_val(1), OP_ADD), int_val(VALUE_INT_MIN));
    EXPECT_EQ(stored_in_local(int_val(VALUE_INT_MIN), int_val(1), OP_SUBTRACT), int_val(VALUE_INT_MAX));
    EXPECT_EQ(stored_in_local(int_val(-6), int_val(7), OP_MULTIPLY), int_val(-42));
    EXPECT_EQ(stored_in_local(int_val(-7), int_val(2), OP_DIVIDE), int_val(-3));
    EXPECT_EQ(stored_in_local(int_val(VALUE_INT_MIN), int_val(-1), OP_DIVIDE), int_val(VALUE_INT_MIN));
    EXPECT_EQ(stored_in_local(int_val(-7), int_val(3), OP_MODULO), int_val(-1));
    EXPECT_EQ(stored_in_local(int_val(3), int_val(4), OP_POWER), int_val(81));

    EXPECT_EQ(as_float(stored_in_local(float_val(1.5), float_val(2.25), OP_ADD)), 3.75);
    EXPECT_EQ(as_float(stored_in_local(float_val(1.5), float_val(2.25), OP_SUBTRACT)), -0.75);
    EXPECT_EQ(as_float(stored_in_local(float_val(1.5), float_val(-2.0), OP_MULTIPLY)), -3.0);
    EXPECT_EQ(as_float(stored_in_local(float_val(7.0), float_val(0.0), OP_DIVIDE)), INFINITY);
    EXPECT_EQ(stored_in_local(float_val(0.0), float_val(0.0), OP_DIVIDE), VALUE_CANONICAL_NAN);
    EXPECT_EQ(stored_in_local(float_val(INFINITY), float_val(-INFINITY), OP_ADD), VALUE_CANONICAL_NAN);
    EXPECT_EQ(as_float(stored_in_local(float_val(-7.5), float_val(2.0), OP_MODULO)), -1.5);
    EXPECT_EQ(as_float(stored_in_local(float_val(2.0), float_val(10.0), OP_POWER)), 1024.0);

    Asm strings;  // holds the operands as its constants, so they stay rooted
    strings.s("ab");
    strings.s("cd");
    Value joined = stored_in_local(strings.fn->chunk.constants[0], strings.fn->chunk.constants[1], OP_ADD);
    EXPECT_EQ(text_of(joined), "abcd");
}

TEST_F(VmTest, FailingArithmeticBeforeAStoreStillFailsAtItsLine) {
    diag_init("one\ntwo\nthree\n", "prog.vsr");
    auto failure = [](Value a, Value b, OpCode code) {
        Asm script;
        script.at(1).i(0).i(SENTINEL);
        script.at(2).k(a).k(b).op(code);
        script.at(3).op(OP_SET_LOCAL, 1);
        return error_of(script);
    };
    std::string block = failure(int_val(7), int_val(0), OP_DIVIDE);
    EXPECT_EQ(header(block), "runtime error: integer division by zero.");
    EXPECT_NE(block.find("  --> prog.vsr:2:1\n"), std::string::npos) << block;
    EXPECT_EQ(header(failure(int_val(7), int_val(0), OP_MODULO)), "runtime error: modulo by zero.");
    EXPECT_EQ(header(failure(int_val(1), float_val(1.0), OP_ADD)),
              "runtime error: internal: '+' applied to int and float (compiler should have caught)");
    EXPECT_EQ(header(failure(float_val(1.0), int_val(1), OP_DIVIDE)),
              "runtime error: internal: '/' applied to float and int (compiler should have caught)");
    EXPECT_EQ(header(failure(int_val(2), int_val(-1), OP_POWER)),
              "runtime error: negative exponent in integer exponentiation.");
}

// if (a CMP b [!]) { 1 } else { 2 }, the shape an if statement compiles to,
// above a sentinel that must be on top again afterwards.
int64_t branch_taken(Value a, Value b, OpCode code, bool negate) {
    Asm script;
    script.i(SENTINEL).k(a).k(b).op(code);
    if (negate) script.op(OP_NOT);
    int to_else = script.jump(OP_JUMP_IF_FALSE);
    script.op(OP_POP).i(1);
    int to_end = script.jump(OP_JUMP);
    script.patch(to_else).op(OP_POP).i(2);
    script.patch(to_end).op(OP_SET_GLOBAL, 0).op(OP_SET_GLOBAL, 1).op(OP_RETURN_NO_VALUE);
    EXPECT_EQ(run_top_level_script(script.fn), INTERPRET_OK);
    EXPECT_EQ(vm.globals[1], int_val(SENTINEL));
    return as_int(vm.globals[0]);
}

TEST_F(VmTest, ComparisonsTakeTheJumpThatFollowsThem) {
    EXPECT_EQ(branch_taken(int_val(-5), int_val(3), OP_LESS, false), 1);
    EXPECT_EQ(branch_taken(int_val(3), int_val(-5), OP_LESS, false), 2);
    EXPECT_EQ(branch_taken(int_val(3), int_val(3), OP_GREATER, false), 2);
    EXPECT_EQ(branch_taken(int_val(3), int_val(3), OP_GREATER, true), 1);  // <=
    EXPECT_EQ(branch_taken(int_val(4), int_val(3), OP_GREATER, true), 2);
    EXPECT_EQ(branch_taken(int_val(4), int_val(4), OP_EQUAL, false), 1);
    EXPECT_EQ(branch_taken(int_val(4), int_val(4), OP_EQUAL, true), 2);  // !=
    EXPECT_EQ(branch_taken(float_val(NAN), float_val(1.0), OP_LESS, false), 2);
    EXPECT_EQ(branch_taken(float_val(NAN), float_val(1.0), OP_LESS, true), 1);  // >= with a NaN
    EXPECT_EQ(branch_taken(float_val(NAN), float_val(NAN), OP_EQUAL, false), 2);
    EXPECT_EQ(branch_taken(float_val(0.0), float_val(-0.0), OP_EQUAL, false), 1);
    Asm strings;
    strings.s("same");
    strings.s("same");
    Value left = strings.fn->chunk.constants[0];
    Value right = strings.fn->chunk.constants[1];
    EXPECT_EQ(branch_taken(left, right, OP_EQUAL, false), 1);  // two objects, equal bytes
    EXPECT_EQ(branch_taken(left, right, OP_EQUAL, true), 2);
    EXPECT_EQ(branch_taken(float_val(2.5), float_val(2.5), OP_LESS, true), 1);  // >= on equal floats
    EXPECT_EQ(branch_taken(float_val(-0.0), float_val(0.0), OP_GREATER, true), 1);
}

TEST_F(VmTest, NegatedComparisonWithoutAJumpLeavesItsBool) {
    // x = a <= b, stored: the OP_NOT is applied by the comparison, then the
    // store runs as usual.
    auto stored = [](Value a, Value b, OpCode code) {
        Asm script;
        script.i(SENTINEL).k(a).k(b).op(code).op(OP_NOT).op(OP_SET_GLOBAL, 0).op(OP_SET_GLOBAL, 1);
        script.op(OP_RETURN_NO_VALUE);
        EXPECT_EQ(run_top_level_script(script.fn), INTERPRET_OK);
        EXPECT_EQ(vm.globals[1], int_val(SENTINEL));
        return vm.globals[0];
    };
    EXPECT_EQ(stored(int_val(3), int_val(3), OP_GREATER), VALUE_TRUE);
    EXPECT_EQ(stored(int_val(-1), int_val(3), OP_LESS), VALUE_FALSE);
    EXPECT_EQ(stored(int_val(4), int_val(4), OP_EQUAL), VALUE_FALSE);
    EXPECT_EQ(stored(VALUE_NULL, int_val(4), OP_EQUAL), VALUE_TRUE);
}

TEST_F(VmTest, ShortCircuitKeepsTheConditionWhereNoPopFollows) {
    // a < b && c: a false condition jumps over the right operand and stays as
    // the result; a true one is popped and c becomes the result.
    auto both = [](int64_t a, int64_t b, Value c) {
        Asm script;
        script.i(SENTINEL).i(a).i(b).op(OP_LESS);
        int to_end = script.jump(OP_JUMP_IF_FALSE);
        script.op(OP_POP).k(c);
        script.patch(to_end).op(OP_SET_GLOBAL, 0).op(OP_SET_GLOBAL, 1).op(OP_RETURN_NO_VALUE);
        EXPECT_EQ(run_top_level_script(script.fn), INTERPRET_OK);
        EXPECT_EQ(vm.globals[1], int_val(SENTINEL));
        return vm.globals[0];
    };
    EXPECT_EQ(both(2, 1, VALUE_TRUE), VALUE_FALSE);
    EXPECT_EQ(both(1, 2, VALUE_TRUE), VALUE_TRUE);
    EXPECT_EQ(both(1, 2, VALUE_FALSE), VALUE_FALSE);

    // The same shape with a plain bool: OP_JUMP_IF_FALSE on its own.
    Asm script;
    script.i(SENTINEL).k(VALUE_TRUE);
    int to_end = script.jump(OP_JUMP_IF_FALSE);
    script.op(OP_POP).i(5);
    script.patch(to_end).op(OP_SET_GLOBAL, 0).op(OP_SET_GLOBAL, 1).op(OP_RETURN_NO_VALUE);
    EXPECT_EQ(run_top_level_script(script.fn), INTERPRET_OK);
    EXPECT_EQ(vm.globals[0], int_val(5));
    EXPECT_EQ(vm.globals[1], int_val(SENTINEL));
}

TEST_F(VmTest, WhileLoopWithStoresKeepsTheStackLevel) {
    // i = 0; total = 0.0; while (i < 1000) { total = total + 0.5; i = i + 1 }
    // Any drift in the stack level over a thousand rounds shows in the sentinel.
    Asm script;
    script.i(0).f(0.0).i(SENTINEL);  // slots 1 and 2, then the sentinel
    int start = script.here();
    script.op(OP_GET_LOCAL, 1).i(1000).op(OP_LESS);
    int exit = script.jump(OP_JUMP_IF_FALSE);
    script.op(OP_POP);
    script.op(OP_GET_LOCAL, 2).f(0.5).op(OP_ADD).op(OP_SET_LOCAL, 2);
    script.op(OP_GET_LOCAL, 1).i(1).op(OP_ADD).op(OP_SET_LOCAL, 1);
    script.loop(start);
    script.patch(exit).op(OP_POP);
    script.op(OP_SET_GLOBAL, 1).op(OP_GET_LOCAL, 2).op(OP_SET_GLOBAL, 2).op(OP_GET_LOCAL, 1);
    EXPECT_EQ(as_int(result_of(script)), 1000);
    EXPECT_EQ(as_float(vm.globals[2]), 500.0);
    EXPECT_EQ(vm.globals[1], int_val(SENTINEL));
}

}  // namespace
