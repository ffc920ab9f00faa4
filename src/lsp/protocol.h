// What the request handlers share: JSON-RPC error codes, the error a handler
// raises for a bad request, and readers of parameters that check their types.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

#include "lsp/server.h"

using json = nlohmann::json;

enum ErrorCode : int {
    ERROR_PARSE = -32700,
    ERROR_INVALID_REQUEST = -32600,
    ERROR_METHOD_NOT_FOUND = -32601,
    ERROR_INVALID_PARAMS = -32602,
    ERROR_INTERNAL = -32603,
    ERROR_SERVER_NOT_INITIALIZED = -32002,
};

// Raised by a handler; becomes the error response of its request.
struct RequestError {
    int code;
    std::string message;
};

// The member of an object, or null when obj is no object or lacks it.
const json* member(const json& obj, const char* key);
// The members a request must have, of the right type; RequestError otherwise.
const json& require_object(const json& obj, const char* key);
std::string require_string(const json& obj, const char* key);
long long require_integer(const json& obj, const char* key);

// textDocument/uri of params, and that document, which must be open.
Document& require_document(Server& server, const json& params);
// The byte offset of params' position in doc.
size_t require_position(const Server& server, const Document& doc, const json& params);
// The byte offset of a position object in doc.
size_t offset_of(const Server& server, const Document& doc, const json& position);
// An LSP range from byte offsets of doc.
json range_of(const Server& server, const std::string& text, const LineTable& lines, size_t start, size_t end);

// Language features, answering from the document's latest analysis.
json feature_hover(Server& server, Document& doc, size_t offset);
json feature_definition(Server& server, Document& doc, size_t offset);
json feature_document_symbols(Server& server, Document& doc);
json feature_completion(Server& server, Document& doc, size_t offset);
