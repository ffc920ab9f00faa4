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
              "15 LESS\n"
              "16 JUMP_IF_FALSE ->44\n"
              "19 POP\n"
              "20 GET_LOCAL 2\n"
              "22 GET_LOCAL 1\n"
              "24 GET_LOCAL 2\n"
              "26 INDEX_GET\n"
              "27 POP\n"
              "28 POP\n"
              "29 JUMP ->34\n"
              "32 POP\n"
              "33 POP\n"
              "34 GET_LOCAL 2\n"
              "36 CONSTANT 1\n"
              "38 ADD\n"
              "39 SET_LOCAL 2\n"
              "41 LOOP ->6\n"
              "44 POP\n"
              "45 POP\n"
              "46 POP\n"
              "47 RETURN_NO_VALUE\n");
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
              "14 GET_LOCAL 3\n"
              "16 GET_LOCAL 2\n"
              "18 LESS\n"
              "19 JUMP_IF_FALSE ->62\n"
              "22 POP\n"
              "23 CONSTANT <native $map_slot_is_live>\n"
              "25 GET_LOCAL 1\n"
              "27 GET_LOCAL 3\n"
              "29 CALL 2\n"
              "31 JUMP_IF_FALSE ->51\n"
              "34 POP\n"
              "35 CONSTANT <native $map_slot_key>\n"
              "37 GET_LOCAL 1\n"
              "39 GET_LOCAL 3\n"
              "41 CALL 2\n"
              "43 POP\n"
              "44 JUMP ->63\n"
              "47 POP\n"
              "48 JUMP ->52\n"
              "51 POP\n"
              "52 GET_LOCAL 3\n"
              "54 CONSTANT 1\n"
              "56 ADD\n"
              "57 SET_LOCAL 3\n"
              "59 LOOP ->14\n"
              "62 POP\n"
              "63 POP\n"
              "64 POP\n"
              "65 POP\n"
              "66 RETURN_NO_VALUE\n");
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
