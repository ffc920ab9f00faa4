// The diagnostics renderer's layout: gutter, location, window onto long lines,
// carets, notes, help and colour, compared byte for byte.
#include <gtest/gtest.h>

#include <string>

#include "diagnostics/diag.h"

namespace {

class DiagTest : public testing::Test {
protected:
    void SetUp() override { diag_force_color_state(0); }
    void TearDown() override {
        diag_init(nullptr, nullptr);
        diag_force_color_state(0);
    }

    static std::string compile_error(const char* source, int line, int column, int length, const char* message,
                                     const char* label = nullptr, const char* help = nullptr) {
        diag_init(source, "prog.vsr");
        testing::internal::CaptureStderr();
        diag_compile_error(line, column, length, message, label, help);
        return testing::internal::GetCapturedStderr();
    }
};

// A line of n bytes whose i-th byte (1-based) is the last digit of i, so a window
// onto it shows which columns it holds.
std::string numbered_line(int n) {
    std::string line;
    for (int i = 1; i <= n; i++) line += static_cast<char>('0' + i % 10);
    return line;
}

TEST_F(DiagTest, RendersTheBasicCompileErrorBlock) {
    EXPECT_EQ(compile_error("a\nb\nint x = foo + 1\n", 3, 9, 3, "undeclared variable 'foo'"),
              "error: undeclared variable 'foo'\n"
              "  --> prog.vsr:3:9\n"
              "   |\n"
              " 3 | int x = foo + 1\n"
              "   |         ^^^\n"
              "   |\n");
    EXPECT_EQ(compile_error("int a = 1\nx # 2\n", 2, 3, 1, "Unexpected character."),
              "error: Unexpected character.\n"
              "  --> prog.vsr:2:3\n"
              "   |\n"
              " 2 | x # 2\n"
              "   |   ^\n"
              "   |\n");
}

TEST_F(DiagTest, GutterWidensWithTheLineNumber) {
    std::string source;
    for (int i = 1; i <= 10; i++) source += "line" + std::to_string(i) + "\n";
    EXPECT_EQ(compile_error(source.c_str(), 9, 1, 4, "m"),
              "error: m\n"
              "  --> prog.vsr:9:1\n"
              "   |\n"
              " 9 | line9\n"
              "   | ^^^^\n"
              "   |\n");
    EXPECT_EQ(compile_error(source.c_str(), 10, 5, 2, "m"),
              "error: m\n"
              "  --> prog.vsr:10:5\n"
              "    |\n"
              " 10 | line10\n"
              "    |     ^^\n"
              "    |\n");
}

TEST_F(DiagTest, CaretsAreClampedToTheLine) {
    // Column just past the end: one caret right after the last character.
    EXPECT_EQ(compile_error("abc", 1, 4, 1, "m"),
              "error: m\n  --> prog.vsr:1:4\n   |\n 1 | abc\n   |    ^\n   |\n");
    // A length reaching past the end is cut to the end of the line.
    EXPECT_EQ(compile_error("abcdef\n", 1, 3, 50, "m"),
              "error: m\n  --> prog.vsr:1:3\n   |\n 1 | abcdef\n   |   ^^^^\n   |\n");
    // Columns outside the line are clamped, but the location shows them as given.
    EXPECT_EQ(compile_error("abc", 1, 0, 1, "m"),
              "error: m\n  --> prog.vsr:1:0\n   |\n 1 | abc\n   | ^\n   |\n");
    EXPECT_EQ(compile_error("abc", 1, 99, 2, "m"),
              "error: m\n  --> prog.vsr:1:99\n   |\n 1 | abc\n   |    ^\n   |\n");
    // No underline at all when the length is zero (the end of the text).
    EXPECT_EQ(compile_error("abc", 1, 4, 0, "m"), "error: m\n  --> prog.vsr:1:4\n   |\n 1 | abc\n   |\n");
}

TEST_F(DiagTest, TabsAreShownAsOneSpace) {
    EXPECT_EQ(compile_error("\tx\t= #\n", 1, 6, 1, "m"),
              "error: m\n  --> prog.vsr:1:6\n   |\n 1 |  x = #\n   |      ^\n   |\n");
}

TEST_F(DiagTest, LinesUpToAHundredBytesAreShownWhole) {
    std::string line = numbered_line(100);
    EXPECT_EQ(compile_error(line.c_str(), 1, 100, 1, "m"),
              "error: m\n  --> prog.vsr:1:100\n   |\n 1 | " + line + "\n   | " + std::string(99, ' ') +
                  "^\n   |\n");
}

TEST_F(DiagTest, LongLinesAreShownThroughAWindow) {
    std::string line = numbered_line(150);
    // Middle of the line: ellipses on both sides, columns 60 to 139.
    EXPECT_EQ(compile_error(line.c_str(), 1, 100, 1, "m"),
              "error: m\n  --> prog.vsr:1:100\n   |\n 1 | ..." + line.substr(59, 80) + "...\n   |    " +
                  std::string(40, ' ') + "^\n   |\n");
    // Near the end: the last 80 columns, no trailing ellipsis.
    EXPECT_EQ(compile_error(line.c_str(), 1, 140, 3, "m"),
              "error: m\n  --> prog.vsr:1:140\n   |\n 1 | ..." + line.substr(70) + "\n   |    " +
                  std::string(69, ' ') + "^^^\n   |\n");
    // Near the start: no leading ellipsis, and the carets stop at the window's end.
    EXPECT_EQ(compile_error(line.c_str(), 1, 41, 200, "m"),
              "error: m\n  --> prog.vsr:1:41\n   |\n 1 | " + line.substr(0, 80) + "...\n   | " +
                  std::string(40, ' ') + std::string(40, '^') + "\n   |\n");
    // Past the end of a long line: the caret stands right after the last column.
    EXPECT_EQ(compile_error(line.c_str(), 1, 151, 1, "m"),
              "error: m\n  --> prog.vsr:1:151\n   |\n 1 | ..." + line.substr(70) + "\n   |    " +
                  std::string(80, ' ') + "^\n   |\n");
}

TEST_F(DiagTest, LongLineWindowNeverCutsAUtf8Character) {
    // Bytes 57-59 (0-based) hold a three-byte character that the window start
    // (byte 59) would cut; bytes 138-139 a two-byte one that its end would cut.
    std::string line = std::string(57, 'x') + "\xE2\x82\xAC" + std::string(78, 'y') + "\xC3\xA9" + std::string(10, 'z');
    ASSERT_EQ(line.size(), 150u);
    EXPECT_EQ(compile_error(line.c_str(), 1, 100, 1, "m"),
              "error: m\n  --> prog.vsr:1:100\n   |\n 1 | ..." + std::string(78, 'y') + "...\n   |    " +
                  std::string(39, ' ') + "^\n   |\n");
}

TEST_F(DiagTest, MissingSourceLinesGiveTheShortForm) {
    const char* short_form = "error: m\n  --> prog.vsr:3:1\n   |\n";
    EXPECT_EQ(compile_error(nullptr, 3, 1, 1, "m"), short_form);
    EXPECT_EQ(compile_error("one\ntwo\n", 3, 1, 1, "m"), short_form);  // the empty last line
    EXPECT_EQ(compile_error("one\ntwo", 3, 1, 1, "m"), short_form);    // beyond the text
    EXPECT_EQ(compile_error("one\n\nthree", 2, 1, 1, "m"), "error: m\n  --> prog.vsr:2:1\n   |\n");
    // No known line: the location has no position.
    EXPECT_EQ(compile_error("one", 0, 1, 1, "m"), "error: m\n  --> prog.vsr\n   |\n");
    // No path: shown as a question mark.
    diag_init(nullptr, nullptr);
    EXPECT_STREQ(diag_file_path(), "?");
    testing::internal::CaptureStderr();
    diag_compile_error(1, 1, 1, "m", nullptr, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "error: m\n  --> ?:1:1\n   |\n");
}

TEST_F(DiagTest, HelpAndLabelLines) {
    EXPECT_EQ(compile_error("x = 1", 1, 1, 1, "m", nullptr, "try this"),
              "error: m\n  --> prog.vsr:1:1\n   |\n 1 | x = 1\n   | ^\n   |\n   = help: try this\n");
    EXPECT_EQ(compile_error(nullptr, 12, 1, 1, "m", nullptr, "try this"),
              "error: m\n  --> prog.vsr:12:1\n    |\n    = help: try this\n");
    EXPECT_EQ(compile_error("x = 1", 1, 1, 1, "m", nullptr, ""), "error: m\n  --> prog.vsr:1:1\n   |\n 1 | x = 1\n   | ^\n   |\n");
    EXPECT_EQ(compile_error("x = 1", 1, 5, 1, "m", "here"),
              "error: m\n  --> prog.vsr:1:5\n   |\n 1 | x = 1\n   |     ^ here\n   |\n");
    EXPECT_EQ(compile_error("x = 1", 1, 5, 0, "m", "here"),
              "error: m\n  --> prog.vsr:1:5\n   |\n 1 | x = 1\n   | here\n   |\n");
}

TEST_F(DiagTest, LongTextsAreWrittenWhole) {
    // Longer than the renderer's output buffer several times over.
    std::string message(3000, 'm');
    std::string help(2500, 'h');
    EXPECT_EQ(compile_error("x", 1, 1, 1, message.c_str(), nullptr, help.c_str()),
              "error: " + message + "\n  --> prog.vsr:1:1\n   |\n 1 | x\n   | ^\n   |\n   = help: " + help + "\n");
}

TEST_F(DiagTest, RuntimeErrorsCarryTheFunctionAsANote) {
    std::string source;
    for (int i = 1; i <= 12; i++) source += "l" + std::to_string(i) + "\n";
    diag_init(source.c_str(), "prog.vsr");
    testing::internal::CaptureStderr();
    diag_runtime_error(12, "Division by zero.", "f");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "runtime error: Division by zero.\n"
              "  --> prog.vsr:12:1\n"
              "    = in function 'f'\n"
              "    |\n"
              " 12 | l12\n"
              "    |\n");

    // Top-level scripts and lambdas have no name, hence no note.
    for (const char* name : {static_cast<const char*>(nullptr), ""}) {
        testing::internal::CaptureStderr();
        diag_runtime_error(2, "boom.", name);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "runtime error: boom.\n  --> prog.vsr:2:1\n   |\n 2 | l2\n   |\n");
    }

    // Unknown line.
    testing::internal::CaptureStderr();
    diag_runtime_error(0, "boom.", nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "runtime error: boom.\n  --> prog.vsr\n   |\n");
}

TEST_F(DiagTest, RuntimeNoteHoldsAtMost95Characters) {
    diag_init(nullptr, "p");
    std::string name(200, 'n');
    testing::internal::CaptureStderr();
    diag_runtime_error(1, "boom.", name.c_str());
    std::string note = "in function '" + name;
    note.resize(95);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "runtime error: boom.\n  --> p:1:1\n   = " + note + "\n   |\n");
}

TEST_F(DiagTest, ColouredOutputMarksHeaderLocationCaretsAndHelp) {
    diag_force_color_state(1);
    EXPECT_EQ(compile_error("x # 2", 1, 3, 1, "Unexpected character.", nullptr, "remove it"),
              "\033[1;31merror:\033[0m Unexpected character.\n"
              "  \033[1m--> prog.vsr:1:3\033[0m\n"
              "   |\n"
              " 1 | x # 2\n"
              "   |   \033[1;31m^\033[0m\n"
              "   |\n"
              "   \033[1;34m= help:\033[0m remove it\n");
}

TEST_F(DiagTest, PlainOutputWhenStandardErrorIsNoTerminal) {
    // Captured standard error is a file, so the first report decides on plain
    // output, and it stays decided.
    diag_force_color_state(-1);
    std::string out = compile_error("x", 1, 1, 1, "m", nullptr, "h");
    EXPECT_EQ(out.find('\033'), std::string::npos);
    EXPECT_EQ(compile_error("x", 1, 1, 1, "m").find('\033'), std::string::npos);
}

}  // namespace
