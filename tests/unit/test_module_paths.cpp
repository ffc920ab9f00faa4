// Module paths: making a path absolute without touching the file system, the
// module name and directory of a path, resolving import strings (relative,
// absolute, std/), and the text of an import cycle.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "compiler/compiler_internal.h"

namespace {

std::string absolute(const char* path) {
    char out[MODULE_PATH_MAX];
    if (!module_absolute_path(path, out, sizeof out)) return "<fail>";
    return out;
}

std::string cwd() {
    char buffer[PATH_MAX];
    return getcwd(buffer, sizeof buffer) != nullptr ? buffer : "";
}

std::string name_of(const char* path, size_t* full = nullptr) {
    char out[MODULE_NAME_MAX];
    size_t full_length = 0;
    module_name_from_path(path, out, sizeof out, &full_length);
    if (full != nullptr) *full = full_length;
    return out;
}

std::string dir_of(const char* path) {
    char out[MODULE_PATH_MAX];
    dirname_of(path, out, sizeof out);
    return out;
}

// The result code and, when it is 0, the path.
std::string resolve(const char* dir, const std::string& text) {
    char out[MODULE_PATH_MAX];
    int result = resolve_import_path(dir, text.data(), static_cast<uint32_t>(text.size()), out);
    return result == 0 ? std::string(out) : std::to_string(result);
}

class StdPath : public testing::Test {
protected:
    void SetUp() override {
        const char* old = std::getenv("VESSRIN_STD_PATH");
        had_ = old != nullptr;
        if (had_) saved_ = old;
    }
    void TearDown() override {
        if (had_) {
            setenv("VESSRIN_STD_PATH", saved_.c_str(), 1);
        } else {
            unsetenv("VESSRIN_STD_PATH");
        }
    }
    bool had_ = false;
    std::string saved_;
};

}  // namespace

TEST(ModulePaths, AbsoluteRemovesDotsWithoutTouchingFiles) {
    EXPECT_EQ(absolute("/a/b/../c/./d.vsr"), "/a/c/d.vsr");
    EXPECT_EQ(absolute("//a///b/"), "/a/b");
    // ".." never climbs above the root.
    EXPECT_EQ(absolute("/../../x"), "/x");
    EXPECT_EQ(absolute("/a/.."), "/");
    EXPECT_EQ(absolute("/no/such/dir/../file.vsr"), "/no/such/file.vsr");
    EXPECT_EQ(absolute("rel/x.vsr"), cwd() + "/rel/x.vsr");
    EXPECT_EQ(absolute("."), cwd());
}

TEST(ModulePaths, AbsoluteRefusesWhatDoesNotFit) {
    std::string longest = "/" + std::string(MODULE_PATH_MAX - 2, 'a');  // 511 characters
    EXPECT_EQ(absolute(longest.c_str()), longest);
    std::string too_long = longest + "b";
    EXPECT_EQ(absolute(too_long.c_str()), "<fail>");
    // Only the result has to fit: dots may make a long path short.
    std::string shrinking = "/x/" + std::string(600, 'a') + "/..";
    EXPECT_EQ(absolute(shrinking.c_str()), "/x");
}

TEST(ModulePaths, NameAndDirectory) {
    EXPECT_EQ(name_of("/p/util.vsr"), "util");
    EXPECT_EQ(name_of("/p/a.vsr"), "a");
    // Too short to carry the extension: kept whole.
    EXPECT_EQ(name_of("/p/.vsr"), ".vsr");
    EXPECT_EQ(name_of("/p/util.txt"), "util.txt");
    EXPECT_EQ(name_of("c:\\lib\\m.vsr"), "m");
    size_t full = 0;
    std::string long_base = "/p/" + std::string(70, 'n') + ".vsr";
    EXPECT_EQ(name_of(long_base.c_str(), &full), std::string(63, 'n'));
    EXPECT_EQ(full, 70u);

    EXPECT_EQ(dir_of("/p/lib/util.vsr"), "/p/lib");
    EXPECT_EQ(dir_of("util.vsr"), ".");
    EXPECT_EQ(dir_of("/util.vsr"), "");
}

TEST_F(StdPath, ResolvesRelativeAndAbsoluteStrings) {
    EXPECT_EQ(resolve("/p", "util"), "/p/util.vsr");
    EXPECT_EQ(resolve("/p", "lib/util.vsr"), "/p/lib/util.vsr");
    EXPECT_EQ(resolve("/p/lib", "../util"), "/p/util.vsr");
    EXPECT_EQ(resolve("/p", "/abs/m.vsr"), "/abs/m.vsr");
    EXPECT_EQ(resolve("/p", "/abs/m"), "/abs/m.vsr");
    // Three characters or fewer always get the extension, even "/ab".
    EXPECT_EQ(resolve("/p", "/ab"), "/ab.vsr");
    EXPECT_EQ(resolve("/p", "m"), "/p/m.vsr");
    // Only a leading "/" makes a string absolute.
    EXPECT_EQ(resolve("/p", "\\abs"), "/p/\\abs.vsr");
    // A candidate that does not fit the path buffer is not found.
    EXPECT_EQ(resolve("/p", std::string(MODULE_PATH_MAX, 'x')), "1");
}

TEST_F(StdPath, StandardLibraryNeedsItsVariable) {
    unsetenv("VESSRIN_STD_PATH");
    EXPECT_EQ(resolve("/p", "std/io"), "2");
    setenv("VESSRIN_STD_PATH", "", 1);
    EXPECT_EQ(resolve("/p", "std/io"), "2");
    setenv("VESSRIN_STD_PATH", "/usr/vsr/", 1);
    EXPECT_EQ(resolve("/p", "std/io"), "/usr/vsr/io.vsr");
    EXPECT_EQ(resolve("/p", "std/text/fmt.vsr"), "/usr/vsr/text/fmt.vsr");
    // "std" without the slash, or shorter strings, are ordinary names.
    EXPECT_EQ(resolve("/p", "std"), "/p/std.vsr");
    EXPECT_EQ(resolve("/p", "stdx/io"), "/p/stdx/io.vsr");
}

TEST(ModulePaths, CycleTextFollowsTheChainAndIsCut) {
    module_count = 3;
    module_table[0] = ModuleEntry{};
    module_table[1] = ModuleEntry{};
    module_table[2] = ModuleEntry{};
    std::strcpy(module_table[1].name, "a");
    std::strcpy(module_table[2].name, "b");
    import_chain[0] = 0;
    import_chain[1] = 1;
    import_chain[2] = 2;
    import_chain_depth = 3;
    char out[256];
    format_import_cycle(1, "/p/a.vsr", out, sizeof out);
    EXPECT_STREQ(out, "a \xe2\x86\x92 b \xe2\x86\x92 a");
    format_import_cycle(0, "/p/main.vsr", out, sizeof out);
    EXPECT_STREQ(out, "<main> \xe2\x86\x92 a \xe2\x86\x92 b \xe2\x86\x92 main");
    char small[8];
    format_import_cycle(0, "/p/main.vsr", small, sizeof small);
    EXPECT_STREQ(small, "<main> ");
    import_chain_depth = 0;
    module_count = 0;
}
