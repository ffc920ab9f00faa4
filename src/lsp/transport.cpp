// Content-Length framing: headers end at an empty line; only Content-Length is
// read (Content-Type is accepted and ignored). Malformed or oversized frames are
// dropped so that the stream stays in step for the messages after them.
#include "lsp/transport.h"

#include <cctype>
#include <cstring>

namespace {

// Twenty digits hold any size_t; more are a malformed header.
constexpr size_t LENGTH_DIGITS_MAX = 20;
constexpr char HEADER_END[] = "\r\n\r\n";
constexpr size_t HEADER_END_SIZE = sizeof HEADER_END - 1;

bool same_name(const std::string& a, const char* b) {
    size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; i++) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

std::string trimmed(const std::string& s) {
    size_t a = 0, b = s.size();
    while (a < b && (s[a] == ' ' || s[a] == '\t')) a++;
    while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t')) b--;
    return s.substr(a, b - a);
}

// The Content-Length of a header block; false when it has none that parses.
bool content_length(const std::string& header, size_t* length) {
    bool found = false;
    size_t start = 0;
    while (start <= header.size()) {
        size_t end = header.find("\r\n", start);
        if (end == std::string::npos) end = header.size();
        std::string line = header.substr(start, end - start);
        start = end + 2;
        size_t colon = line.find(':');
        if (colon == std::string::npos) {
            if (line.empty()) continue;
            return false;
        }
        if (!same_name(trimmed(line.substr(0, colon)), "Content-Length")) continue;
        std::string value = trimmed(line.substr(colon + 1));
        if (value.empty() || value.size() > LENGTH_DIGITS_MAX) return false;
        size_t n = 0;
        for (char c : value) {
            if (c < '0' || c > '9') return false;
            size_t digit = static_cast<size_t>(c - '0');
            if (n > (SIZE_MAX - digit) / 10) return false;
            n = n * 10 + digit;
        }
        *length = n;
        found = true;
    }
    return found;
}

}  // namespace

void frame_feed(FrameReader& reader, const char* data, size_t size) {
    if (reader.skipping > 0) {
        size_t dropped = size < reader.skipping ? size : reader.skipping;
        reader.skipping -= dropped;
        data += dropped;
        size -= dropped;
    }
    reader.buffer.append(data, size);
}

FrameStatus frame_next(FrameReader& reader, std::string* body) {
    if (reader.skipping > 0) {
        size_t dropped = reader.buffer.size() < reader.skipping ? reader.buffer.size() : reader.skipping;
        reader.buffer.erase(0, dropped);
        reader.skipping -= dropped;
        if (reader.skipping > 0) return FRAME_NEED_MORE;
    }
    size_t end = reader.buffer.find(HEADER_END);
    if (end == std::string::npos) {
        if (reader.buffer.size() <= LSP_HEADER_MAX) return FRAME_NEED_MORE;
        // Keep the tail: it may hold the start of the next real header.
        reader.buffer.erase(0, reader.buffer.size() - HEADER_END_SIZE);
        return FRAME_BAD_HEADER;
    }
    size_t length = 0;
    if (end > LSP_HEADER_MAX || !content_length(reader.buffer.substr(0, end), &length)) {
        reader.buffer.erase(0, end + HEADER_END_SIZE);
        return FRAME_BAD_HEADER;
    }
    size_t body_start = end + HEADER_END_SIZE;
    if (length > LSP_BODY_MAX) {
        reader.buffer.erase(0, body_start);
        reader.skipping = length;
        size_t dropped = reader.buffer.size() < length ? reader.buffer.size() : length;
        reader.buffer.erase(0, dropped);
        reader.skipping -= dropped;
        return FRAME_TOO_LARGE;
    }
    if (reader.buffer.size() - body_start < length) return FRAME_NEED_MORE;
    body->assign(reader.buffer, body_start, length);
    reader.buffer.erase(0, body_start + length);
    return FRAME_MESSAGE;
}

std::string frame_encode(const std::string& body) {
    return "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}
