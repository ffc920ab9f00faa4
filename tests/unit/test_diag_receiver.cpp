// Diagnostics as records: a receiver installed in place of the renderer gets
// every error of a compilation as data and nothing reaches standard error; the
// record, rendered later, gives the block the renderer would have printed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "compiler/compiler.h"
#include "diagnostics/diag.h"
#include "vm/vm.h"

namespace {

struct Kept {
    std::string path, message, help;
    const char* source;
    int line, column, length;
    bool runtime;
};

void keep(const Diagnostic& d, void* context) {
    static_cast<std::vector<Kept>*>(context)->push_back(
        Kept{d.path, d.message, d.help != nullptr ? d.help : "", d.source, d.line, d.column, d.length, d.runtime});
}

std::string render(const Kept& k) {
    testing::internal::CaptureStderr();
    diag_render(Diagnostic{k.path.c_str(), k.source, k.line, k.column, k.length, k.message.c_str(), nullptr, nullptr,
                           k.help.c_str(), k.runtime});
    return testing::internal::GetCapturedStderr();
}

TEST(DiagReceiver, CollectsRecordsThatRenderAsTheRendererWould) {
    diag_force_color_state(0);
    const char* source = "Result<int> r = ok(3)\nint v = r.value\nprintln(nope)\n";
    testing::internal::CaptureStderr();
    vm_check(source, "rec.vsr");
    std::string printed = testing::internal::GetCapturedStderr();

    std::vector<Kept> kept;
    diag_set_receiver(keep, &kept);
    testing::internal::CaptureStderr();
    int result = vm_check(source, "rec.vsr");
    std::string leaked = testing::internal::GetCapturedStderr();
    diag_set_receiver(nullptr, nullptr);
    diag_init(nullptr, nullptr);
    // The tables still name the objects the check freed.
    compiler_forget_tables();

    EXPECT_EQ(result, INTERPRET_COMPILE_ERROR);
    EXPECT_EQ(leaked, "");
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[0].path, "rec.vsr");
    EXPECT_EQ(kept[0].line, 2);
    EXPECT_EQ(kept[0].column, 11);
    EXPECT_EQ(kept[0].length, 5);
    EXPECT_FALSE(kept[0].help.empty());
    EXPECT_EQ(kept[1].message, "undeclared variable 'nope'");
    EXPECT_FALSE(kept[1].runtime);
    EXPECT_EQ(render(kept[0]) + render(kept[1]), printed);
}

}  // namespace
