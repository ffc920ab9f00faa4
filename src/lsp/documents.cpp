// The document store. Imports of one open document read other open documents
// from their unsaved text, so the editor shows what the files will hold.
#include "lsp/documents.h"

Document* document_find(DocumentStore& store, const std::string& uri) {
    auto it = store.by_uri.find(uri);
    return it == store.by_uri.end() ? nullptr : &it->second;
}

Document& document_open(DocumentStore& store, const std::string& uri, std::string text, int64_t version) {
    Document& doc = store.by_uri[uri];
    doc.uri = uri;
    doc.path = uri_to_path(uri);
    if (doc.path.empty()) doc.path = uri;
    doc.version = version;
    document_set_text(doc, std::move(text));
    return doc;
}

void document_close(DocumentStore& store, const std::string& uri) { store.by_uri.erase(uri); }

const Document* document_by_path(const DocumentStore& store, const std::string& path) {
    for (const auto& [uri, doc] : store.by_uri) {
        if (doc.path == path) return &doc;
    }
    return nullptr;
}

void document_set_text(Document& doc, std::string text) {
    doc.text = std::move(text);
    doc.lines = line_table_of(doc.text);
}

void document_replace(Document& doc, size_t start, size_t end, const std::string& text) {
    if (start > doc.text.size()) start = doc.text.size();
    if (end < start) end = start;
    if (end > doc.text.size()) end = doc.text.size();
    doc.text.replace(start, end - start, text);
    doc.lines = line_table_of(doc.text);
}

namespace {

const std::string* open_text(const std::string& path, void* context) {
    const Document* doc = document_by_path(*static_cast<const DocumentStore*>(context), path);
    return doc != nullptr ? &doc->text : nullptr;
}

}  // namespace

void document_analyze(DocumentStore& store, Document& doc) {
    doc.previous = std::make_unique<Analysis>(std::move(doc.analysis));
    analysis_run(doc.text, doc.path, open_text, &store, &doc.analysis);
}
