// Readers of request parameters: each checks the type it reads and raises an
// invalid-params error naming the member, so a malformed request is answered
// instead of crashing a handler.
#include "lsp/protocol.h"

#include <climits>

const json* member(const json& obj, const char* key) {
    if (!obj.is_object()) return nullptr;
    auto it = obj.find(key);
    return it == obj.end() ? nullptr : &*it;
}

const json& require_object(const json& obj, const char* key) {
    const json* m = member(obj, key);
    if (m == nullptr || !m->is_object()) throw RequestError{ERROR_INVALID_PARAMS, std::string(key) + " must be an object"};
    return *m;
}

std::string require_string(const json& obj, const char* key) {
    const json* m = member(obj, key);
    if (m == nullptr || !m->is_string()) throw RequestError{ERROR_INVALID_PARAMS, std::string(key) + " must be a string"};
    return m->get<std::string>();
}

long long require_integer(const json& obj, const char* key) {
    const json* m = member(obj, key);
    if (m == nullptr || !m->is_number_integer()) {
        throw RequestError{ERROR_INVALID_PARAMS, std::string(key) + " must be an integer"};
    }
    if (m->is_number_unsigned()) {
        auto u = m->get<unsigned long long>();
        if (u > static_cast<unsigned long long>(LLONG_MAX)) {
            throw RequestError{ERROR_INVALID_PARAMS, std::string(key) + " is out of range"};
        }
        return static_cast<long long>(u);
    }
    return m->get<long long>();
}

Document& require_document(Server& server, const json& params) {
    std::string uri = require_string(require_object(params, "textDocument"), "uri");
    Document* doc = document_find(server.documents, uri);
    if (doc == nullptr) throw RequestError{ERROR_INVALID_PARAMS, "document is not open: " + uri};
    return *doc;
}

size_t require_position(const Server& server, const Document& doc, const json& params) {
    return offset_of(server, doc, require_object(params, "position"));
}

size_t offset_of(const Server& server, const Document& doc, const json& position) {
    if (!position.is_object()) throw RequestError{ERROR_INVALID_PARAMS, "a position must be an object"};
    long long line = require_integer(position, "line");
    long long character = require_integer(position, "character");
    size_t offset = 0;
    if (!position_to_offset(doc.text, doc.lines, line, character, server.encoding, &offset)) {
        throw RequestError{ERROR_INVALID_PARAMS, "position " + std::to_string(line) + ":" + std::to_string(character) +
                                                     " is outside the document"};
    }
    return offset;
}

json range_of(const Server& server, const std::string& text, const LineTable& lines, size_t start, size_t end) {
    long long sl, sc, el, ec;
    offset_to_position(text, lines, start, server.encoding, &sl, &sc);
    offset_to_position(text, lines, end, server.encoding, &el, &ec);
    return json{{"start", {{"line", sl}, {"character", sc}}}, {"end", {{"line", el}, {"character", ec}}}};
}
