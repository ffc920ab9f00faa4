// One analysis of a document: a check of its text by the real compiler, with the
// diagnostics collected as records instead of printed and the symbol index on.
#pragma once

#include <string>
#include <vector>

#include "compiler/symbol_index.h"

struct CollectedDiagnostic {
    std::string path;  // the file the compiler reported against
    int line = 0;      // 1-based, 0 when unknown
    int column = 0;    // 1-based byte column
    int length = 0;
    std::string message;
    std::string note;
    std::string help;
};

struct Analysis {
    std::vector<CollectedDiagnostic> diagnostics;
    SymbolIndex index;
    int main_file = -1;  // the document's file in the index
};

// Gives the unsaved text of an open document by absolute path, or null to read
// the file; asked for every imported module.
using OpenTextLookup = const std::string* (*)(const std::string& path, void* context);

// Checks text as the file at path, with imports found from there.
void analysis_run(const std::string& text, const std::string& path, OpenTextLookup open_text, void* context,
                  Analysis* out);
