// Sources that nest far deeper than anyone writes end with one diagnostic
// instead of exhausting the C stack; long else-if chains, which are flat to
// their writer, compile and run; the bounds hold exactly at their limits.
#include <string>

#include "compiler_fixture.h"

namespace {

std::string repeat(const std::string& text, int times) {
    std::string out;
    out.reserve(text.size() * static_cast<size_t>(times));
    for (int i = 0; i < times; i++) out += text;
    return out;
}

int count_errors(const std::string& stderr_text) {
    int n = 0;
    for (size_t at = stderr_text.find("error:"); at != std::string::npos; at = stderr_text.find("error:", at + 1)) n++;
    return n;
}

class NestingTest : public CompilerTest {
protected:
    void expect_one_nesting_error(const std::string& source) {
        EXPECT_EQ(compile_program(source.c_str()), nullptr);
        EXPECT_EQ(count_errors(errors_), 1) << errors_.substr(0, 2000);
        EXPECT_EQ(errors_.rfind("error: Nesting too deep.\n", 0), 0u) << errors_.substr(0, 2000);
    }
};

TEST_F(NestingTest, HundredThousandParentheses) {
    expect_one_nesting_error("int x = " + repeat("(", 100000) + "1" + repeat(")", 100000) + "\nprintln(x)\n");
}

TEST_F(NestingTest, TwentyThousandLambdas) {
    expect_one_nesting_error("auto f = " + repeat("(int a) => ", 20000) + "1\n");
    expect_one_nesting_error("auto f = " + repeat("(int a) => {\nreturn ", 20000) + "1\n" + repeat("}\n", 20000));
}

TEST_F(NestingTest, BlocksUnaryOperatorsAndFunctionTypes) {
    expect_one_nesting_error(repeat("{\n", 100000) + repeat("}\n", 100000));
    expect_one_nesting_error("int x = " + repeat("-", 100000) + "1\n");
    expect_one_nesting_error("bool b = " + repeat("!", 100000) + "true\n");
    expect_one_nesting_error("def f(" + repeat("(int) => ", 100000) + "int g) { }\n");
    expect_one_nesting_error(repeat("if (true) {\n", 50000) + repeat("}\n", 50000));
}

TEST_F(NestingTest, BoundHoldsExactlyAtTheLimit) {
    // The statement's own expression is one level; each parenthesis adds one.
    std::string inner = "1";
    ObjFunction* fits = compile_program(("int x = " + repeat("(", 255) + inner + repeat(")", 255) + "\n").c_str());
    EXPECT_NE(fits, nullptr) << errors_;
    expect_one_nesting_error("int x = " + repeat("(", 256) + inner + repeat(")", 256) + "\n");
}

TEST_F(NestingTest, ErrorsBeforeTheDeepPartStillShow) {
    std::string source = "int a = \"s\"\nint x = " + repeat("(", 1000) + "1" + repeat(")", 1000) + "\n";
    EXPECT_EQ(compile_program(source.c_str()), nullptr);
    EXPECT_EQ(count_errors(errors_), 2) << errors_;
    EXPECT_NE(errors_.find("cannot assign string to int variable 'a'"), std::string::npos);
    EXPECT_NE(errors_.find("Nesting too deep."), std::string::npos);
}

TEST_F(CompilerTest, LongElseIfChainCompilesAndRuns) {
    std::string source = "int x = 1999\nint y = 0\nint hit = 0\nwhile (y < 2000) {\n  if (x == y) {\n    hit = y\n";
    for (int i = 1; i < 2000; i++) source += "  } else if (x == y) {\n    hit = y\n";
    source += "  }\n  y += 1\n}\nprintln(hit)\n";
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int status = vm_interpret(source.c_str(), "chain.vsr");
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, 0) << err;
    EXPECT_EQ(out, "1999\n");
}

}  // namespace

namespace {

// Names v1..vn declared as `kind vI = ...` lines, each but the first copying
// the one before, so that no constants are spent.
std::string chain_of(const std::string& kind, int n) {
    std::string out = kind + " v1 = 1\n";
    for (int i = 2; i <= n; i++) out += kind + " v" + std::to_string(i) + " = v" + std::to_string(i - 1) + "\n";
    return out;
}

std::string sum_of(int n) {
    std::string out;
    for (int i = 1; i <= n; i++) out += "v" + std::to_string(i) + " + ";
    return out;
}

class LimitTest : public CompilerTest {
protected:
    // Compiles source and expects exactly one error with this message.
    void expect_only_error(const std::string& source, const std::string& message) {
        EXPECT_EQ(compile_program(source.c_str()), nullptr);
        EXPECT_EQ(count_errors(errors_), 1) << errors_;
        EXPECT_EQ(errors_.rfind("error: " + message + "\n", 0), 0u) << errors_;
    }
    void expect_compiles(const std::string& source) { EXPECT_NE(compile_program(source.c_str()), nullptr) << errors_; }

    std::string run(const std::string& source) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int status = vm_interpret(source.c_str(), "limit.vsr");
        std::string out = testing::internal::GetCapturedStdout();
        errors_ = testing::internal::GetCapturedStderr();
        EXPECT_EQ(status, 0) << errors_;
        return out;
    }
};

TEST_F(LimitTest, Globals) {
    EXPECT_EQ(run(chain_of("int", 256) + "println(v256)\n"), "1\n");
    expect_only_error(chain_of("int", 257), "Too many globals.");
}

TEST_F(LimitTest, FunctionsBesideTheSixNatives) {
    std::string defs;
    for (int i = 1; i <= 250; i++) defs += "def f" + std::to_string(i) + "() { }\n";
    expect_compiles(defs);
    expect_only_error(defs + "def f251() { }\n", "Too many functions.");
}

TEST_F(LimitTest, LocalsBesideTheCalleeSlot) {
    expect_compiles("{\n" + chain_of("int", 255) + "}\n");
    expect_only_error("{\n" + chain_of("int", 256) + "}\n", "Too many locals.");
}

TEST_F(LimitTest, CapturesOfOneFunction) {
    // 254 block locals plus `mid` fill the block's slots; the innermost lambda
    // captures through `mid`, which adds its own parameters.
    std::string locals = "{\n" + chain_of("int", 254);
    EXPECT_EQ(run(locals + "auto mid = (int p) => () => " + sum_of(254) + "p\nprintln(mid(1000)())\n}\n"), "1254\n");
    expect_only_error(locals + "auto mid = (int p, int q) => () => " + sum_of(254) + "p + q\n}\n",
                      "Too many closure captures.");
}

TEST_F(LimitTest, ConstantsOfOneChunk) {
    std::string source;
    for (int i = 0; i < 256; i++) source += "int c" + std::to_string(i) + " = " + std::to_string(i) + "\n";
    expect_compiles(source);
    expect_only_error(source + "int over = 256\n", "Too many constants in one chunk.");
}

TEST_F(LimitTest, BreaksOfOneLoop) {
    std::string breaks;
    for (int i = 0; i < 64; i++) breaks += "  if (true) { break }\n";
    expect_compiles("while (true) {\n" + breaks + "}\n");
    expect_only_error("while (true) {\n" + breaks + "  break\n}\n", "too many 'break's in this loop.");
}

TEST_F(LimitTest, JumpDistances) {
    // Each statement is four bytes of code: a read and a write of globals.
    std::string body;
    for (int i = 0; i < 16400; i++) body += "  a = b\n";
    expect_only_error("int a = 1\nint b = 2\nif (true) {\n" + body + "}\n", "Too much code to jump over.");
    std::string fits;
    for (int i = 0; i < 16000; i++) fits += "  a = b\n";
    expect_compiles("int a = 1\nint b = 2\nif (true) {\n" + fits + "}\n");
    std::string loop = "int a = 1\nint b = 2\nwhile (a < 0) {\n" + body + "}\n";
    EXPECT_EQ(compile_program(loop.c_str()), nullptr);
    EXPECT_NE(errors_.find("error: Loop body too large.\n"), std::string::npos) << errors_.substr(0, 500);
}

TEST_F(LimitTest, Parameters) {
    std::string sixteen = "int a1";
    for (int i = 2; i <= 16; i++) sixteen += ", int a" + std::to_string(i);
    expect_compiles("def f(" + sixteen + ") { }\n");
    expect_only_error("def f(" + sixteen + ", int a17) { }\n", "Too many parameters.");
    // A method's receiver does not count against the limit.
    expect_compiles("struct P {\n  int x\n  def m(" + sixteen + ",) int { return a16 + self.x }\n}\n");
    expect_only_error("struct P {\n  int x\n  def m(" + sixteen + ", int a17) { }\n}\n", "Too many method parameters.");
    expect_compiles("auto f = (" + sixteen + ") => 1\n");
    expect_only_error("auto f = (" + sixteen + ", int a17) => 1\n", "Too many lambda parameters.");
    std::string types = "int";
    for (int i = 2; i <= 16; i++) types += ", int";
    expect_compiles("def f((" + types + ") => int g) { }\n");
    expect_only_error("def f((" + types + ", int) => int g) { }\n", "Too many function-type parameters.");
}

}  // namespace
