// Positions as editors count them: 0-based lines and characters in UTF-16 code
// units (or in bytes when the client asks for UTF-8), against the compiler's
// byte offsets; and the file URIs that name documents.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

enum PositionEncoding {
    ENCODING_UTF16,
    ENCODING_UTF8,
};

// Byte offset of the start of every line.
struct LineTable {
    std::vector<size_t> starts;
};

LineTable line_table_of(const std::string& text);
// The byte offset of a position; false when the line is past the end of the
// text. A character beyond its line stands for the line's end.
bool position_to_offset(const std::string& text, const LineTable& lines, long long line, long long character,
                        PositionEncoding encoding, size_t* offset);
void offset_to_position(const std::string& text, const LineTable& lines, size_t offset, PositionEncoding encoding,
                        long long* line, long long* character);

// The path of a file: URI (percent-decoded); empty for any other URI.
std::string uri_to_path(const std::string& uri);
std::string path_to_uri(const std::string& path);
