// The language server's state and its message handling: one JSON-RPC message in,
// any responses and notifications out (framed, appended to the outbox).
#pragma once

#include <string>

#include "lsp/documents.h"
#include "lsp/positions.h"
#include "lsp/transport.h"

struct Server {
    DocumentStore documents;
    PositionEncoding encoding = ENCODING_UTF16;
    bool initialized = false;
    bool shutting_down = false;
    bool exited = false;
    int exit_code = 0;
    std::string outbox;
};

// Handles one message body.
void server_handle(Server& server, const std::string& body);
// Answers a frame that could not be read (no usable header, or too large).
void server_frame_error(Server& server, FrameStatus status);
// Feeds bytes from the client and handles every complete message in them.
void server_receive(Server& server, FrameReader& reader, const char* data, size_t size);
