// Conversions between editor positions and byte offsets. The compiler counts
// columns in bytes; UTF-16 clients count a character outside the basic plane as
// two units, every other character as one; bytes that begin no valid character
// count one unit each, so that every byte offset has a position.
#include "lsp/positions.h"

#include <algorithm>

namespace {

// Bytes of the UTF-8 character that starts with lead, and its UTF-16 units;
// a byte that starts no character is taken alone.
void character_at(const std::string& text, size_t at, size_t end, size_t* bytes, int* units) {
    auto lead = static_cast<unsigned char>(text[at]);
    size_t n = 1;
    int u = 1;
    if (lead >= 0xC2 && lead <= 0xDF) n = 2;
    else if (lead >= 0xE0 && lead <= 0xEF) n = 3;
    else if (lead >= 0xF0 && lead <= 0xF4) n = 4, u = 2;
    if (n > 1) {
        bool whole = at + n <= end;
        for (size_t i = 1; whole && i < n; i++) {
            auto c = static_cast<unsigned char>(text[at + i]);
            if (c < 0x80 || c > 0xBF) whole = false;
        }
        if (!whole) n = 1, u = 1;
    }
    *bytes = n;
    *units = u;
}

// Where a line's text ends: before its line feed, and before a carriage
// return that comes with one.
size_t line_end(const std::string& text, const LineTable& lines, size_t line) {
    size_t end = line + 1 < lines.starts.size() ? lines.starts[line + 1] - 1 : text.size();
    if (end > lines.starts[line] && end < text.size() && text[end - 1] == '\r') end--;
    return end;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

LineTable line_table_of(const std::string& text) {
    LineTable lines;
    lines.starts.push_back(0);
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '\n') lines.starts.push_back(i + 1);
    }
    return lines;
}

bool position_to_offset(const std::string& text, const LineTable& lines, long long line, long long character,
                        PositionEncoding encoding, size_t* offset) {
    if (line < 0 || character < 0 || static_cast<unsigned long long>(line) >= lines.starts.size()) return false;
    size_t at = lines.starts[static_cast<size_t>(line)];
    size_t end = line_end(text, lines, static_cast<size_t>(line));
    if (encoding == ENCODING_UTF8) {
        *offset = std::min(at + static_cast<size_t>(std::min<long long>(character, static_cast<long long>(end - at))), end);
        return true;
    }
    long long units = 0;
    while (at < end && units < character) {
        size_t bytes;
        int u;
        character_at(text, at, end, &bytes, &u);
        // A position inside a surrogate pair stands for the character's start.
        if (units + u > character) break;
        units += u;
        at += bytes;
    }
    *offset = at;
    return true;
}

void offset_to_position(const std::string& text, const LineTable& lines, size_t offset, PositionEncoding encoding,
                        long long* line, long long* character) {
    if (offset > text.size()) offset = text.size();
    auto it = std::upper_bound(lines.starts.begin(), lines.starts.end(), offset) - 1;
    size_t start = *it;
    *line = static_cast<long long>(it - lines.starts.begin());
    if (encoding == ENCODING_UTF8) {
        *character = static_cast<long long>(offset - start);
        return;
    }
    long long units = 0;
    size_t at = start;
    while (at < offset) {
        size_t bytes;
        int u;
        character_at(text, at, text.size(), &bytes, &u);
        units += u;
        at += bytes;
    }
    *character = units;
}

std::string uri_to_path(const std::string& uri) {
    const std::string scheme = "file://";
    if (uri.compare(0, scheme.size(), scheme) != 0) return "";
    size_t at = scheme.size();
    // file://host/path: only the local host is a path of this machine.
    size_t slash = uri.find('/', at);
    if (slash == std::string::npos) return "";
    std::string host = uri.substr(at, slash - at);
    if (!host.empty() && host != "localhost") return "";
    std::string path;
    for (size_t i = slash; i < uri.size(); i++) {
        char c = uri[i];
        if (c == '%' && i + 2 < uri.size() && hex_value(uri[i + 1]) >= 0 && hex_value(uri[i + 2]) >= 0) {
            path += static_cast<char>(hex_value(uri[i + 1]) * 16 + hex_value(uri[i + 2]));
            i += 2;
        } else if (c == '?' || c == '#') {
            break;
        } else {
            path += c;
        }
    }
    // A path holding a NUL cannot be opened; it names no file.
    if (path.find('\0') != std::string::npos) return "";
    return path;
}

std::string path_to_uri(const std::string& path) {
    static const char hex[] = "0123456789ABCDEF";
    std::string uri = "file://";
    for (char c : path) {
        auto b = static_cast<unsigned char>(c);
        bool plain = (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') || b == '/' ||
                     b == '-' || b == '.' || b == '_' || b == '~';
        if (plain) {
            uri += c;
        } else {
            uri += '%';
            uri += hex[b >> 4];
            uri += hex[b & 15];
        }
    }
    return uri;
}
