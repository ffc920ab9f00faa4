// Runs the compiler for the language server. Every run starts from a clean
// compiler and machine (the check resets both) and leaves nothing behind: the
// tables are emptied, the module texts freed and every hook taken back out, also
// when the compilation unwinds.
#include "lsp/analysis.h"

#include <cstring>

#include "compiler/compiler.h"
#include "diagnostics/diag.h"
#include "runtime/memory.h"
#include "vm/vm.h"

namespace {

OpenTextLookup g_open_text = nullptr;
void* g_open_text_context = nullptr;

char* read_open_module(const char* path) {
    const std::string* text = g_open_text != nullptr ? g_open_text(path, g_open_text_context) : nullptr;
    if (text == nullptr) return nullptr;
    auto* buffer = static_cast<char*>(mem_alloc(text->size() + 1));
    std::memcpy(buffer, text->data(), text->size());
    buffer[text->size()] = '\0';
    return buffer;
}

void collect(const Diagnostic& d, void* context) {
    auto* out = static_cast<Analysis*>(context);
    CollectedDiagnostic c;
    c.path = d.path != nullptr ? d.path : "";
    c.line = d.line;
    c.column = d.column;
    c.length = d.length;
    c.message = d.message != nullptr ? d.message : "";
    c.note = d.note != nullptr ? d.note : "";
    c.help = d.help != nullptr ? d.help : "";
    out->diagnostics.push_back(std::move(c));
}

// Installs the hooks for one compilation and takes them out again, however it ends.
struct Hooks {
    Hooks(Analysis* out, OpenTextLookup open_text, void* context) {
        g_open_text = open_text;
        g_open_text_context = context;
        compiler_set_module_text_reader(read_open_module);
        diag_set_receiver(collect, out);
        symbol_index_begin(&out->index);
    }
    ~Hooks() {
        g_symbol_index = nullptr;
        diag_set_receiver(nullptr, nullptr);
        compiler_set_module_text_reader(nullptr);
        g_open_text = nullptr;
        g_open_text_context = nullptr;
        compiler_forget_tables();
        diag_init(nullptr, nullptr);
    }
    Hooks(const Hooks&) = delete;
    Hooks& operator=(const Hooks&) = delete;
};

}  // namespace

void analysis_run(const std::string& text, const std::string& path, OpenTextLookup open_text, void* context,
                  Analysis* out) {
    *out = Analysis{};
    Hooks hooks(out, open_text, context);
    vm_check(text.c_str(), path.c_str());
    out->main_file = symbol_index_end();
}
