// The renderer finds each error's line starting from the line it found last:
// errors out of order, past the end, and after a switch to another text must
// still show the right line.
#include <gtest/gtest.h>

#include <string>

#include "diagnostics/diag.h"

namespace {

std::string shown_line(int line) {
    testing::internal::CaptureStderr();
    diag_compile_error(line, 1, 1, "m", nullptr, nullptr);
    std::string block = testing::internal::GetCapturedStderr();
    // The excerpt is the line after the first "   |" line: " N | text".
    size_t bar = block.find(" | ");
    if (bar == std::string::npos) return "<none>";
    size_t end = block.find('\n', bar);
    return block.substr(bar + 3, end - bar - 3);
}

class DiagLineLookup : public testing::Test {
protected:
    void SetUp() override { diag_force_color_state(0); }
    void TearDown() override { diag_init(nullptr, nullptr); }
};

TEST_F(DiagLineLookup, FindsLinesInAnyOrder) {
    std::string source;
    for (int i = 1; i <= 50; i++) source += "line" + std::to_string(i) + "\n";
    diag_init(source.c_str(), "a.vsr");
    EXPECT_EQ(shown_line(10), "line10");
    EXPECT_EQ(shown_line(10), "line10");
    EXPECT_EQ(shown_line(40), "line40");
    EXPECT_EQ(shown_line(3), "line3");
    EXPECT_EQ(shown_line(50), "line50");
    EXPECT_EQ(shown_line(1), "line1");
    // Past the last line there is nothing to show, and the next lookup is unharmed.
    EXPECT_EQ(shown_line(60), "<none>");
    EXPECT_EQ(shown_line(49), "line49");
}

TEST_F(DiagLineLookup, ForgetsTheLastLineWhenTheTextChanges) {
    std::string first = "one\ntwo\nthree\nfour\n";
    std::string second = "uno\ndos\ntres\ncuatro\n";
    diag_init(first.c_str(), "a.vsr");
    EXPECT_EQ(shown_line(3), "three");
    diag_init(second.c_str(), "b.vsr");
    EXPECT_EQ(shown_line(4), "cuatro");
    EXPECT_EQ(shown_line(2), "dos");
    // Back to the first text, as after compiling an imported module.
    diag_init(first.c_str(), "a.vsr");
    EXPECT_EQ(shown_line(4), "four");
}

TEST_F(DiagLineLookup, ManyErrorsInALongTextStayFast) {
    std::string source;
    constexpr int lines = 200000;
    source.reserve(lines * 8);
    for (int i = 0; i < lines; i++) source += "x = 1\n";
    diag_init(source.c_str(), "big.vsr");
    testing::internal::CaptureStderr();
    for (int line = 1; line <= lines; line++) diag_compile_error(line, 1, 1, "m", nullptr, nullptr);
    std::string out = testing::internal::GetCapturedStderr();
    // Every block shows its line; starting each search at the top would take
    // minutes here, which the test's time limit turns into a failure.
    EXPECT_NE(out.find(" 200000 | x = 1\n"), std::string::npos);
}

}  // namespace
