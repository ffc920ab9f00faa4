// The bytecode the compiler emits for the constructs whose shape the language
// fixes: if without else, while with break, && and ||, captures of locals by
// lambdas, and the display tail of an expression statement at the prompt.
#include "compiler_fixture.h"

namespace {

TEST_F(CompilerTest, IfWithoutElseStillJumpsOverTheSecondPop) {
    ObjFunction* fn = compile_program("bool c = true\nif (c) { println(1) }\n");
    ASSERT_NE(fn, nullptr) << errors_;
    EXPECT_EQ(listing(fn),
              "0 CONSTANT true\n"
              "2 SET_GLOBAL 0\n"
              "4 GET_GLOBAL 0\n"
              "6 JUMP_IF_FALSE ->20\n"
              "9 POP\n"
              "10 CONSTANT <native println>\n"
              "12 CONSTANT 1\n"
              "14 CALL 1\n"
              "16 POP\n"
              "17 JUMP ->21\n"
              "20 POP\n"
              "21 RETURN_NO_VALUE\n");
}

TEST_F(CompilerTest, WhileBreakLandsAfterTheExitPop) {
    ObjFunction* fn = compile_program("while (true) {\n  int k = 1\n  break\n}\n");
    ASSERT_NE(fn, nullptr) << errors_;
    // The break pops the loop's local itself; the scope's own pop follows
    // for the path that would fall through.
    EXPECT_EQ(listing(fn),
              "0 CONSTANT true\n"
              "2 JUMP_IF_FALSE ->16\n"
              "5 POP\n"
              "6 CONSTANT 1\n"
              "8 POP\n"
              "9 JUMP ->17\n"
              "12 POP\n"
              "13 LOOP ->0\n"
              "16 POP\n"
              "17 RETURN_NO_VALUE\n");
}

TEST_F(CompilerTest, ShortCircuitOperators) {
    ObjFunction* fn = compile_program("bool a = true\nbool b = false\nbool x = a && b\nbool y = a || b\n");
    ASSERT_NE(fn, nullptr) << errors_;
    EXPECT_EQ(listing(fn),
              "0 CONSTANT true\n"
              "2 SET_GLOBAL 0\n"
              "4 CONSTANT false\n"
              "6 SET_GLOBAL 1\n"
              "8 GET_GLOBAL 0\n"
              "10 JUMP_IF_FALSE ->16\n"
              "13 POP\n"
              "14 GET_GLOBAL 1\n"
              "16 SET_GLOBAL 2\n"
              "18 GET_GLOBAL 0\n"
              "20 JUMP_IF_FALSE ->26\n"
              "23 JUMP ->29\n"
              "26 POP\n"
              "27 GET_GLOBAL 1\n"
              "29 SET_GLOBAL 3\n"
              "31 RETURN_NO_VALUE\n");
}

TEST_F(CompilerTest, LambdasCaptureLocalsThenUpvalues) {
    ObjFunction* fn = compile_program(
        "{\n"
        "  int n = 1\n"
        "  auto f = () => () => n\n"
        "}\n");
    ASSERT_NE(fn, nullptr) << errors_;
    EXPECT_EQ(listing(fn),
              "0 CONSTANT 1\n"
              "2 CLOSURE 1 1 (1,1)\n"
              "7 POP\n"
              "8 CLOSE_UPVALUE\n"
              "9 RETURN_NO_VALUE\n");
    ObjFunction* outer = constant_function(fn, 1);
    ASSERT_NE(outer, nullptr);
    EXPECT_EQ(listing(outer),
              "0 CLOSURE 0 1 (0,0)\n"
              "5 RETURN\n");
    ObjFunction* inner = constant_function(outer, 0);
    ASSERT_NE(inner, nullptr);
    EXPECT_EQ(listing(inner),
              "0 GET_UPVALUE 0\n"
              "2 RETURN\n");
}

TEST_F(CompilerTest, ReadingACaptureTwiceUsesOneUpvalue) {
    ObjFunction* fn = compile_program("{\n  int n = 2\n  auto f = () => n * n\n}\n");
    ASSERT_NE(fn, nullptr) << errors_;
    ObjFunction* lambda = constant_function(fn, 1);
    ASSERT_NE(lambda, nullptr);
    EXPECT_EQ(listing(lambda),
              "0 GET_UPVALUE 0\n"
              "2 GET_UPVALUE 0\n"
              "4 MULTIPLY_INT\n"
              "5 RETURN\n");
}

TEST_F(CompilerTest, ReplExpressionStatementDisplaysItsValue) {
    ObjFunction* fn = compile_line("1 + 2\n");
    ASSERT_NE(fn, nullptr) << errors_;
    EXPECT_EQ(listing(fn),
              "0 CONSTANT 1\n"
              "2 ADD_INT_K 2\n"
              "4 CONSTANT <native println>\n"
              "6 SWAP\n"
              "7 CALL 1\n"
              "9 POP\n"
              "10 RETURN_NO_VALUE\n");
    // A call without a result leaves nothing to display.
    ObjFunction* call = compile_line("println(1)\n");
    ASSERT_NE(call, nullptr) << errors_;
    EXPECT_EQ(listing(call),
              "0 CONSTANT <native println>\n"
              "2 CONSTANT 1\n"
              "4 CALL 1\n"
              "6 POP\n"
              "7 RETURN_NO_VALUE\n");
}

TEST_F(CompilerTest, OutsideTheReplAnExpressionStatementIsPopped) {
    ObjFunction* fn = compile_program("1 + 2\n");
    ASSERT_NE(fn, nullptr) << errors_;
    EXPECT_EQ(listing(fn),
              "0 CONSTANT 1\n"
              "2 ADD_INT_K 2\n"
              "4 POP\n"
              "5 RETURN_NO_VALUE\n");
}

TEST_F(CompilerTest, EmptyScriptOnlyReturns) {
    ObjFunction* fn = compile_program("");
    ASSERT_NE(fn, nullptr) << errors_;
    EXPECT_EQ(listing(fn), "0 RETURN_NO_VALUE\n");
}

TEST_F(CompilerTest, CallWithoutResultLeavesNothingToPop) {
    ObjFunction* fn = compile_program("def f() { }\nf()\n");
    ASSERT_NE(fn, nullptr) << errors_;
    EXPECT_EQ(listing(fn),
              "0 CONSTANT <fn>\n"
              "2 CALL 0\n"
              "4 RETURN_NO_VALUE\n");
}

TEST_F(CompilerTest, FunctionBodiesEndByTheirReturnType) {
    ObjFunction* fn = compile_program("def f(int a) int { return a }\ndef g() { }\nauto h = f\nauto k = g\n");
    ASSERT_NE(fn, nullptr) << errors_;
    ObjFunction* f = constant_function(fn, 0);
    ObjFunction* g = constant_function(fn, 1);
    ASSERT_NE(f, nullptr);
    ASSERT_NE(g, nullptr);
    // The end of a body with a result is reachable only through a fault.
    EXPECT_EQ(listing(f),
              "0 RETURN_LOCAL 1\n"
              "2 MISSING_RETURN\n");
    EXPECT_EQ(listing(g), "0 RETURN_NO_VALUE\n");
    EXPECT_EQ(f->arity, 1);
    EXPECT_STREQ(f->name->chars, "f");
}

TEST_F(CompilerTest, OperatorsMapToTheirInstructions) {
    ObjFunction* fn = compile_program("int a = 1\nbool b = a <= 2\nbool c = a >= 2\nbool d = a != 2\n");
    ASSERT_NE(fn, nullptr) << errors_;
    EXPECT_EQ(listing(fn),
              "0 CONSTANT 1\n"
              "2 SET_GLOBAL 0\n"
              "4 GET_GLOBAL 0\n"
              "6 GREATER_INT_K 2\n"
              "8 NOT\n"
              "9 SET_GLOBAL 1\n"
              "11 GET_GLOBAL 0\n"
              "13 LESS_INT_K 2\n"
              "15 NOT\n"
              "16 SET_GLOBAL 2\n"
              "18 GET_GLOBAL 0\n"
              "20 EQUAL_INT_K 2\n"
              "22 NOT\n"
              "23 SET_GLOBAL 3\n"
              "25 RETURN_NO_VALUE\n");
}

// Typed forms are chosen by the operand types, and loads of locals and
// constants that end the code fold into them (a constant on the left of a
// commuting operation swaps sides); a computed left operand stays on the
// stack, and float modulo keeps the generic instruction.
TEST_F(CompilerTest, TypedOperationsFoldTheirOperandLoads) {
    ObjFunction* fn = compile_program(
        "def f(int a, float x) bool {\n  int c = a * a + 3\n  c = c / (a - c)\n  float y = 2.0 * x\n  y = 2.0 - y\n"
        "  return x % 2.0 < x / 2.0\n}\nauto g = f\n");
    ASSERT_NE(fn, nullptr) << errors_;
    ObjFunction* f = constant_function(fn, 0);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(listing(f),
              "0 MULTIPLY_INT_LL 1 1\n"
              "3 ADD_INT_K 3\n"
              "5 GET_LOCAL 3\n"
              "7 SUBTRACT_INT_LL 1 3\n"
              "10 DIVIDE_INT\n"
              "11 SET_LOCAL 3\n"
              "13 MULTIPLY_FLOAT_LK 2 2.0\n"
              "16 CONSTANT 2.0\n"
              "18 SUBTRACT_FLOAT_L 4\n"
              "20 SET_LOCAL 4\n"
              "22 GET_LOCAL 2\n"
              "24 CONSTANT 2.0\n"
              "26 MODULO\n"
              "27 DIVIDE_FLOAT_LK 2 2.0\n"
              "30 LESS_FLOAT\n"
              "31 RETURN\n"
              "32 POP\n"
              "33 POP\n"
              "34 MISSING_RETURN\n");
}

}  // namespace
