// The wire format of the language server: JSON-RPC message bodies framed by a
// Content-Length header, read from a byte stream in whatever pieces it arrives.
#pragma once

#include <cstddef>
#include <string>

// A body larger than this is skipped unread: no editor sends a source file of
// this size, and buffering it could exhaust memory.
inline constexpr size_t LSP_BODY_MAX = size_t{64} << 20;
// A header block longer than this is not a header; it is thrown away.
inline constexpr size_t LSP_HEADER_MAX = 8192;

struct FrameReader {
    std::string buffer;
    size_t skipping = 0;  // bytes of a refused body still to be dropped
};

enum FrameStatus {
    FRAME_NEED_MORE,   // nothing complete yet
    FRAME_MESSAGE,     // *body holds one message
    FRAME_BAD_HEADER,  // a header block without a usable Content-Length was dropped
    FRAME_TOO_LARGE,   // a body beyond LSP_BODY_MAX is being dropped
};

void frame_feed(FrameReader& reader, const char* data, size_t size);
// The next complete frame of what was fed, if any.
FrameStatus frame_next(FrameReader& reader, std::string* body);
std::string frame_encode(const std::string& body);
