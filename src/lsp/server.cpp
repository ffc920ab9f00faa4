// The message loop's handlers: JSON-RPC requests, notifications and errors, the
// lifecycle (initialize, shutdown, exit), document synchronisation, and the
// diagnostics published after every change. A bad message gets an error
// response (or, as a notification, is dropped); nothing a client sends ends
// the server except `exit`.
#include <exception>
#include <set>

#include "lsp/protocol.h"

namespace {

constexpr const char* SERVER_NAME = "vessrin-lsp";
constexpr const char* SERVER_VERSION = "0.1.0";

void send(Server& server, const json& message) {
    // Texts from files on disk may hold bytes that are not UTF-8: they are
    // replaced rather than allowed to fail the whole message.
    server.outbox += frame_encode(message.dump(-1, ' ', false, json::error_handler_t::replace));
}

void send_result(Server& server, const json& id, const json& result) {
    send(server, json{{"jsonrpc", "2.0"}, {"id", id}, {"result", result}});
}

void send_error(Server& server, const json& id, int code, const std::string& message) {
    send(server, json{{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", message}}}});
}

void send_notification(Server& server, const char* method, const json& params) {
    send(server, json{{"jsonrpc", "2.0"}, {"method", method}, {"params", params}});
}

// ---------------------------------------------------------------------------
// Diagnostics
// ---------------------------------------------------------------------------

json diagnostic_json(const Server& server, const std::string& uri, const std::string* text, const LineTable* lines,
                     const CollectedDiagnostic& d) {
    json range;
    if (text != nullptr && lines != nullptr) {
        size_t start = 0;
        if (d.line >= 1) {
            auto line = static_cast<size_t>(d.line - 1);
            if (line >= lines->starts.size()) {
                start = text->size();
            } else {
                size_t line_start = lines->starts[line];
                size_t line_end = line + 1 < lines->starts.size() ? lines->starts[line + 1] - 1 : text->size();
                size_t column = d.column > 1 ? static_cast<size_t>(d.column - 1) : 0;
                start = line_start + std::min(column, line_end - line_start);
            }
        }
        size_t end = start + (d.length > 0 ? static_cast<size_t>(d.length) : 0);
        range = range_of(server, *text, *lines, start, std::min(end, text->size()));
    } else {
        // Without the text, bytes are the best guess at characters.
        int line = d.line > 0 ? d.line - 1 : 0;
        int column = d.column > 0 ? d.column - 1 : 0;
        range = {{"start", {{"line", line}, {"character", column}}},
                 {"end", {{"line", line}, {"character", column + std::max(d.length, 0)}}}};
    }
    json out = {{"range", range}, {"severity", 1}, {"source", "vessrin"}, {"message", d.message}};
    if (!d.help.empty()) {
        out["relatedInformation"] =
            json::array({{{"location", {{"uri", uri}, {"range", range}}}, {"message", "help: " + d.help}}});
    }
    return out;
}

void publish(Server& server, const std::string& uri, const json& diagnostics, const int64_t* version) {
    json params = {{"uri", uri}, {"diagnostics", diagnostics}};
    if (version != nullptr) params["version"] = *version;
    send_notification(server, "textDocument/publishDiagnostics", params);
}

// The document's own errors go to it; errors in a module it imports go to that
// module's file, unless the module is open and so has diagnostics of its own.
void publish_analysis(Server& server, Document& doc) {
    json own = json::array();
    std::map<std::string, json> others;
    const Analysis& a = doc.analysis;
    for (const CollectedDiagnostic& d : a.diagnostics) {
        if (d.path == doc.path) {
            own.push_back(diagnostic_json(server, doc.uri, &doc.text, &doc.lines, d));
            continue;
        }
        if (document_by_path(server.documents, d.path) != nullptr) continue;
        std::string uri = path_to_uri(d.path);
        int file = symbol_index_file(a.index, d.path);
        json& list = others[uri];
        if (list.is_null()) list = json::array();
        if (file >= 0) {
            const std::string& text = a.index.files[static_cast<size_t>(file)].text;
            LineTable lines = line_table_of(text);
            list.push_back(diagnostic_json(server, uri, &text, &lines, d));
        } else {
            list.push_back(diagnostic_json(server, uri, nullptr, nullptr, d));
        }
    }
    publish(server, doc.uri, own, &doc.version);
    std::vector<std::string> published;
    for (const auto& [uri, list] : others) {
        publish(server, uri, list, nullptr);
        published.push_back(uri);
    }
    for (const std::string& uri : doc.published) {
        if (others.count(uri) == 0) publish(server, uri, json::array(), nullptr);
    }
    doc.published = std::move(published);
}

void analyze_and_publish(Server& server, Document& doc) {
    document_analyze(server.documents, doc);
    publish_analysis(server, doc);
}

// ---------------------------------------------------------------------------
// Lifecycle and document notifications
// ---------------------------------------------------------------------------

bool offers_utf8(const json& params) {
    const json* capabilities = member(params, "capabilities");
    const json* general = capabilities != nullptr ? member(*capabilities, "general") : nullptr;
    const json* encodings = general != nullptr ? member(*general, "positionEncodings") : nullptr;
    if (encodings == nullptr || !encodings->is_array()) return false;
    for (const json& e : *encodings) {
        if (e.is_string() && e.get<std::string>() == "utf-8") return true;
    }
    return false;
}

json initialize(Server& server, const json& params) {
    if (server.initialized) throw RequestError{ERROR_INVALID_REQUEST, "initialize was already received"};
    server.encoding = offers_utf8(params) ? ENCODING_UTF8 : ENCODING_UTF16;
    server.initialized = true;
    json capabilities = {
        {"positionEncoding", server.encoding == ENCODING_UTF8 ? "utf-8" : "utf-16"},
        {"textDocumentSync", {{"openClose", true}, {"change", 1}, {"save", {{"includeText", false}}}}},
        {"hoverProvider", true},
        {"definitionProvider", true},
        {"documentSymbolProvider", true},
        {"completionProvider", {{"triggerCharacters", json::array({"."})}}},
    };
    return json{{"capabilities", capabilities}, {"serverInfo", {{"name", SERVER_NAME}, {"version", SERVER_VERSION}}}};
}

void did_open(Server& server, const json& params) {
    const json& item = require_object(params, "textDocument");
    std::string uri = require_string(item, "uri");
    std::string text = require_string(item, "text");
    long long version = require_integer(item, "version");
    analyze_and_publish(server, document_open(server.documents, uri, std::move(text), version));
}

void did_change(Server& server, const json& params) {
    Document& doc = require_document(server, params);
    const json* changes = member(params, "contentChanges");
    if (changes == nullptr || !changes->is_array()) throw RequestError{ERROR_INVALID_PARAMS, "contentChanges"};
    // A bad change leaves the text as it was rather than half edited.
    std::string before = doc.text;
    try {
        for (const json& change : *changes) {
            std::string text = require_string(change, "text");
            const json* range = member(change, "range");
            if (range == nullptr) {
                document_set_text(doc, std::move(text));
                continue;
            }
            size_t start = offset_of(server, doc, require_object(*range, "start"));
            size_t end = offset_of(server, doc, require_object(*range, "end"));
            document_replace(doc, start, end, text);
        }
    } catch (const RequestError&) {
        document_set_text(doc, std::move(before));
        throw;
    }
    const json& item = require_object(params, "textDocument");
    if (const json* version = member(item, "version"); version != nullptr && version->is_number_integer()) {
        doc.version = version->get<int64_t>();
    }
    analyze_and_publish(server, doc);
}

void did_close(Server& server, const json& params) {
    Document& doc = require_document(server, params);
    std::string uri = doc.uri;
    std::vector<std::string> published = doc.published;
    document_close(server.documents, uri);
    publish(server, uri, json::array(), nullptr);
    for (const std::string& other : published) publish(server, other, json::array(), nullptr);
}

// A saved file may be imported by any open document: all are checked again.
void did_save(Server& server, const json& params) {
    require_document(server, params);
    for (auto& [uri, doc] : server.documents.by_uri) analyze_and_publish(server, doc);
}

// ---------------------------------------------------------------------------
// Dispatch
// ---------------------------------------------------------------------------

json handle_request(Server& server, const std::string& method, const json& params) {
    if (method == "initialize") return initialize(server, params);
    if (!server.initialized) throw RequestError{ERROR_SERVER_NOT_INITIALIZED, "the server is not initialized"};
    if (server.shutting_down) throw RequestError{ERROR_INVALID_REQUEST, "the server is shutting down"};
    if (method == "shutdown") {
        server.shutting_down = true;
        return nullptr;
    }
    if (method == "textDocument/hover") {
        Document& doc = require_document(server, params);
        return feature_hover(server, doc, require_position(server, doc, params));
    }
    if (method == "textDocument/definition") {
        Document& doc = require_document(server, params);
        return feature_definition(server, doc, require_position(server, doc, params));
    }
    if (method == "textDocument/documentSymbol") return feature_document_symbols(server, require_document(server, params));
    if (method == "textDocument/completion") {
        Document& doc = require_document(server, params);
        return feature_completion(server, doc, require_position(server, doc, params));
    }
    throw RequestError{ERROR_METHOD_NOT_FOUND, "unknown method: " + method};
}

void handle_notification(Server& server, const std::string& method, const json& params) {
    if (method == "exit") {
        server.exited = true;
        server.exit_code = server.shutting_down ? 0 : 1;
        return;
    }
    if (!server.initialized || server.shutting_down) return;
    if (method == "textDocument/didOpen") did_open(server, params);
    else if (method == "textDocument/didChange") did_change(server, params);
    else if (method == "textDocument/didClose") did_close(server, params);
    else if (method == "textDocument/didSave") did_save(server, params);
}

bool valid_id(const json& id) { return id.is_number_integer() || id.is_string(); }

}  // namespace

void server_handle(Server& server, const std::string& body) {
    json message = json::parse(body, nullptr, false);
    if (message.is_discarded()) {
        send_error(server, nullptr, ERROR_PARSE, "the message is not valid JSON");
        return;
    }
    if (!message.is_object()) {
        send_error(server, nullptr, ERROR_INVALID_REQUEST, "a message must be a JSON object");
        return;
    }
    const json* id = member(message, "id");
    const json* method = member(message, "method");
    if (method == nullptr && id != nullptr && (member(message, "result") || member(message, "error"))) {
        return;  // a response to a request this server never sends
    }
    if (method == nullptr || !method->is_string() || (id != nullptr && !valid_id(*id))) {
        send_error(server, id != nullptr && valid_id(*id) ? *id : json(nullptr), ERROR_INVALID_REQUEST,
                   "a request needs a string method and an integer or string id");
        return;
    }
    // Taken by reference: a copy of deeply nested parameters would recurse.
    static const json no_params;
    const json* given = member(message, "params");
    const json& params = given != nullptr ? *given : no_params;
    std::string name = method->get<std::string>();
    if (id == nullptr) {
        // Notifications are never answered, not even with an error.
        try {
            handle_notification(server, name, params);
        } catch (const RequestError&) {
        } catch (const std::exception&) {
        }
        return;
    }
    try {
        send_result(server, *id, handle_request(server, name, params));
    } catch (const RequestError& e) {
        send_error(server, *id, e.code, e.message);
    } catch (const std::exception& e) {
        send_error(server, *id, ERROR_INTERNAL, std::string("internal error: ") + e.what());
    }
}

void server_frame_error(Server& server, FrameStatus status) {
    if (status == FRAME_TOO_LARGE) {
        send_error(server, nullptr, ERROR_INVALID_REQUEST, "the message is larger than the server accepts");
    } else if (status == FRAME_BAD_HEADER) {
        send_error(server, nullptr, ERROR_PARSE, "a message header without a valid Content-Length");
    }
}

void server_receive(Server& server, FrameReader& reader, const char* data, size_t size) {
    frame_feed(reader, data, size);
    std::string body;
    while (!server.exited) {
        FrameStatus status = frame_next(reader, &body);
        if (status == FRAME_NEED_MORE) break;
        if (status == FRAME_MESSAGE) {
            server_handle(server, body);
        } else {
            server_frame_error(server, status);
        }
    }
}
