// The bytecode of for loops, whose shape is fixed: hidden locals below the loop
// variables, the length read before every array iteration, the map capacity
// read once, continue landing on the increment and break after the exit pop.
// Also the bound on the pairs of one map literal.
#include <string>

#include "compiler_fixture.h"

namespace {

TEST_F(CompilerTest, ArrayLoopReadsTheLengthEveryIteration) {
    ObjFunction* fn = compile_program("for (i, x) in [5] {\n  continue\n}\n");
    ASSERT_NE(fn, nullptr) << errors_;
    // Slots: 1 the array, 2 the index, 3 and 4 the loop variables. The
    // continue pops the loop variables and jumps to the increment.
    EXPECT_EQ(listing(fn),
              "0 CONSTANT 5\n"
              "2 ARRAY 1\n"
              "4 CONSTANT 0\n"
              "6 GET_LOCAL 2\n"
              "8 GET_LOCAL 1\n"
              "10 CONSTANT <native length>\n"
              "12 SWAP\n"
              "13 CALL 1\n"
              "15 LESS_INT\n"
              "16 JUMP_IF_FALSE ->40\n"
              "19 POP\n"
              "20 GET_LOCAL 2\n"
              "22 INDEX_GET_LL 1 2\n"
              "25 POP\n"
              "26 POP\n"
              "27 JUMP ->32\n"
              "30 POP\n"
              "31 POP\n"
              "32 ADD_INT_LK 2 1\n"
              "35 SET_LOCAL 2\n"
              "37 LOOP ->6\n"
              "40 POP\n"
              "41 POP\n"
              "42 POP\n"
              "43 RETURN_NO_VALUE\n");
}

TEST_F(CompilerTest, MapLoopSkipsDeadSlotsAndBreaksPastTheExitPop) {
    ObjFunction* fn = compile_program("for k in {true: 1} {\n  break\n}\n");
    ASSERT_NE(fn, nullptr) << errors_;
    // Slots: 1 the map, 2 its capacity (read once), 3 the slot index, 4 the
    // key. A dead slot pops its false test and goes to the increment; break
    // lands after the exit pop, where the loop scope pops the hidden locals.
    EXPECT_EQ(listing(fn),
              "0 CONSTANT true\n"
              "2 CONSTANT 1\n"
              "4 MAP 1\n"
              "6 CONSTANT <native $map_capacity>\n"
              "8 GET_LOCAL 1\n"
              "10 CALL 1\n"
              "12 CONSTANT 0\n"
              "14 LESS_INT_LL 3 2\n"
              "17 JUMP_IF_FALSE ->58\n"
              "20 POP\n"
              "21 CONSTANT <native $map_slot_is_live>\n"
              "23 GET_LOCAL 1\n"
              "25 GET_LOCAL 3\n"
              "27 CALL 2\n"
              "29 JUMP_IF_FALSE ->49\n"
              "32 POP\n"
              "33 CONSTANT <native $map_slot_key>\n"
              "35 GET_LOCAL 1\n"
              "37 GET_LOCAL 3\n"
              "39 CALL 2\n"
              "41 POP\n"
              "42 JUMP ->59\n"
              "45 POP\n"
              "46 JUMP ->50\n"
              "49 POP\n"
              "50 ADD_INT_LK 3 1\n"
              "53 SET_LOCAL 3\n"
              "55 LOOP ->14\n"
              "58 POP\n"
              "59 POP\n"
              "60 POP\n"
              "61 POP\n"
              "62 RETURN_NO_VALUE\n");
}

// A map literal of n pairs of variables (literals would fill the constant
// pool first), as the text of a declaration.
std::string pairs_program(int n) {
    std::string text = "int k = 1\nint v = 2\nauto m = {";
    for (int i = 0; i < n; i++) text += i > 0 ? ", k: v" : "k: v";
    return text + "}\n";
}

TEST_F(CompilerTest, MapLiteralHoldsAtMost255Pairs) {
    std::string fits = pairs_program(255);
    ObjFunction* fn = compile_program(fits.c_str());
    ASSERT_NE(fn, nullptr) << errors_;
    std::string code = listing(fn);
    EXPECT_NE(code.find(" MAP 255\n"), std::string::npos);

    std::string over = pairs_program(256);
    EXPECT_EQ(compile_program(over.c_str()), nullptr);
    EXPECT_NE(errors_.find("map literal too long (max 255 pairs in 15a)."), std::string::npos) << errors_;
    // Reported once, not again for later pairs.
    EXPECT_EQ(errors_.find("error:", errors_.find("error:") + 1), std::string::npos) << errors_;
}

}  // namespace
