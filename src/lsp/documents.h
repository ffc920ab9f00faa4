// The documents the editor has open: their URI, path, unsaved text and version,
// and the latest analysis of each.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "lsp/analysis.h"
#include "lsp/positions.h"

struct Document {
    std::string uri;
    std::string path;  // the file it stands for; the URI itself when it is no file
    std::string text;
    LineTable lines;
    int64_t version = 0;
    Analysis analysis;
    // The analysis before, for completion while the text is broken mid-edit.
    std::unique_ptr<Analysis> previous;
    // Other files' URIs this document's analysis published diagnostics for.
    std::vector<std::string> published;
};

struct DocumentStore {
    std::map<std::string, Document> by_uri;
};

Document* document_find(DocumentStore& store, const std::string& uri);
Document& document_open(DocumentStore& store, const std::string& uri, std::string text, int64_t version);
void document_close(DocumentStore& store, const std::string& uri);
// The open document standing for the file at path, or null.
const Document* document_by_path(const DocumentStore& store, const std::string& path);
// Replaces the whole text, or the bytes from start to end.
void document_set_text(Document& doc, std::string text);
void document_replace(Document& doc, size_t start, size_t end, const std::string& text);
// Runs the compiler on the document, keeping the analysis before it.
void document_analyze(DocumentStore& store, Document& doc);
