// Completion at the prompt reads the compiler's tables: what earlier entries
// declared, the members of a global's static type, a module alias's exports.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "compiler_fixture.h"

namespace {

using Names = std::vector<std::string>;

class CompletionTest : public CompilerTest {
protected:
    void define(const char* entry) { ASSERT_NE(compile_line(entry), nullptr) << errors_; }
};

TEST_F(CompletionTest, TopLevelNamesComeFromKeywordsNativesAndEarlierEntries) {
    define("int counter = 1\n");
    define("def count_up() int {\n    counter += 1\n    return counter\n}\n");
    define("struct Coord {\n    int x\n}\n");
    EXPECT_EQ(compiler_completions("", "co"), (Names{"continue", "count_up", "counter"}));
    EXPECT_EQ(compiler_completions("", "pri"), (Names{"print", "println"}));
    EXPECT_EQ(compiler_completions("", "Co"), (Names{"Coord"}));
    // Hidden natives ("$map_capacity") are never offered.
    for (const std::string& name : compiler_completions("", "")) EXPECT_NE(name[0], '$') << name;
    // An entry that failed left nothing behind to offer.
    EXPECT_EQ(compile_line("int countless = \"no\"\n"), nullptr);
    EXPECT_EQ(compiler_completions("", "countl"), Names{});
}

TEST_F(CompletionTest, MembersFollowTheStaticTypeOfTheName) {
    define("string s = \"a\"\n");
    define("array<int> xs = [1]\n");
    define("map<string, int> m = {\"k\": 1}\n");
    define("Result<int> r = ok(1)\n");
    define("struct Point {\n    int x\n    int y\n    def norm() int {\n        return self.x\n    }\n}\n");
    define("Point p = Point { x: 1, y: 2 }\n");
    EXPECT_EQ(compiler_completions("s", "to_"), (Names{"to_lower", "to_upper"}));
    EXPECT_EQ(compiler_completions("xs", "re"), (Names{"reduce", "reverse"}));
    EXPECT_EQ(compiler_completions("m", ""), (Names{"clear", "delete", "has", "keys", "length", "values"}));
    EXPECT_EQ(compiler_completions("r", ""), (Names{"error", "value"}));
    EXPECT_EQ(compiler_completions("p", ""), (Names{"norm", "x", "y"}));
    // Names without members, or unknown, offer nothing.
    EXPECT_EQ(compiler_completions("Point", ""), Names{});
    EXPECT_EQ(compiler_completions("nowhere", ""), Names{});
}

TEST_F(CompletionTest, AnAliasOffersItsModulesExportsOnly) {
    char dir[] = "/tmp/vessrin_completion_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/helper.vsr";
    std::FILE* file = std::fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fputs("export def twice(int n) int {\n    return n * 2\n}\n"
               "def hidden() int {\n    return 1\n}\n"
               "export struct Pair {\n    int a\n}\n",
               file);
    std::fclose(file);
    std::string entry = "import \"" + path + "\" as helper\n";
    define(entry.c_str());
    EXPECT_EQ(compiler_completions("helper", ""), (Names{"Pair", "twice"}));
    EXPECT_EQ(compiler_completions("", "hel"), (Names{"helper"}));
    std::remove(path.c_str());
    rmdir(dir);
}

}  // namespace
