// The generator behind std/random against its published outputs, and what an
// import of a built-in module adds to a compilation: nothing without one, and
// its natives (within the function table's bound) with one.
#include <string>

#include "compiler/compiler_internal.h"
#include "compiler_fixture.h"
#include "library/std_module.h"
#include "library/xoshiro.h"

namespace {

TEST(Generator, SplitmixAndXoshiroGiveTheirReferenceOutputs) {
    uint64_t state = 0;
    EXPECT_EQ(splitmix64_next(&state), 0xe220a8397b1dcdafULL);
    EXPECT_EQ(splitmix64_next(&state), 0x6e789e6aa1b965f4ULL);
    EXPECT_EQ(splitmix64_next(&state), 0x06c45d188009454fULL);

    Xoshiro256 g{{1, 2, 3, 4}};
    const uint64_t expected[] = {11520ULL, 0ULL, 1509978240ULL, 1215971899390074240ULL};
    for (uint64_t want : expected) EXPECT_EQ(xoshiro_next(&g), want);

    // Seeding fills the state from splitmix64 of the seed.
    Xoshiro256 seeded{};
    xoshiro_seed(&seeded, 0);
    EXPECT_EQ(seeded.s[0], 0xe220a8397b1dcdafULL);
    EXPECT_EQ(seeded.s[2], 0x06c45d188009454fULL);
}

class StdImportTest : public CompilerTest {};

TEST_F(StdImportTest, OnlyAnImportAddsNatives) {
    ASSERT_NE(compile_program("println(1)\n"), nullptr) << errors_;
    const int plain_functions = function_count;
    const int plain_natives = vm_natives_count;
    EXPECT_EQ(plain_functions, 6);

    ASSERT_NE(compile_program("import \"std/math\"\nimport \"std/io\"\nprintln(math.pi())\n"), nullptr) << errors_;
    EXPECT_EQ(function_count, plain_functions + std_math_module.function_count + std_io_module.function_count);
    EXPECT_EQ(vm_natives_count, plain_natives + std_math_module.function_count + std_io_module.function_count);
}

// Declared functions and the module's natives share the function table.
std::string program_with_functions(int count) {
    std::string source = "import \"std/math\"\n";
    for (int i = 0; i < count; i++) source += "def f" + std::to_string(i) + "() {\n}\n";
    return source;
}

TEST_F(StdImportTest, NativesCountAgainstTheFunctionTable) {
    // The import pass registers the natives before the functions are declared.
    const int room = FUNCTIONS_MAX - 6 - std_math_module.function_count;
    EXPECT_NE(compile_program(program_with_functions(room).c_str()), nullptr) << errors_;
    EXPECT_EQ(compile_program(program_with_functions(room + 1).c_str()), nullptr);
    EXPECT_NE(errors_.find("error: Too many functions."), std::string::npos) << errors_;
}

TEST_F(StdImportTest, APromptLineThatFailsTakesItsImportBack) {
    ASSERT_NE(compile_line("println(1)\n"), nullptr);
    const int before = function_count;
    EXPECT_EQ(compile_line("from \"std/math\" import nope\n"), nullptr);
    EXPECT_EQ(function_count, before);
    EXPECT_NE(compile_line("from \"std/math\" import sqrt\n"), nullptr) << errors_;
    EXPECT_NE(compile_line("println(sqrt(4.0))\n"), nullptr) << errors_;
}

}  // namespace
