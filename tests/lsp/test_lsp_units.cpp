// The language server's framing and positions: messages split across reads or
// run together, headers without a length, oversized bodies skipped; UTF-16
// columns around characters outside the basic plane and bytes that are not
// UTF-8; file URIs with escapes.
#include <gtest/gtest.h>

#include <string>

#include "lsp/positions.h"
#include "lsp/transport.h"

namespace {

TEST(Framing, ReadsMessagesSplitAndJoinedAndSkipsBadOnes) {
    FrameReader reader;
    std::string body;
    std::string one = frame_encode("{\"a\":1}");
    frame_feed(reader, one.data(), 5);
    EXPECT_EQ(frame_next(reader, &body), FRAME_NEED_MORE);
    std::string rest = one.substr(5) + "content-length: 2\r\nContent-Type: x\r\n\r\n{}" + "X-Other: 1\r\n\r\n" +
                       frame_encode("[]");
    frame_feed(reader, rest.data(), rest.size());
    ASSERT_EQ(frame_next(reader, &body), FRAME_MESSAGE);
    EXPECT_EQ(body, "{\"a\":1}");
    ASSERT_EQ(frame_next(reader, &body), FRAME_MESSAGE);
    EXPECT_EQ(body, "{}");
    EXPECT_EQ(frame_next(reader, &body), FRAME_BAD_HEADER);
    ASSERT_EQ(frame_next(reader, &body), FRAME_MESSAGE);
    EXPECT_EQ(body, "[]");
    EXPECT_EQ(frame_next(reader, &body), FRAME_NEED_MORE);
}

TEST(Framing, SkipsABodyAboveTheLimitAndKeepsInStep) {
    FrameReader reader;
    std::string body;
    std::string header = "Content-Length: " + std::to_string(LSP_BODY_MAX + 1) + "\r\n\r\n";
    frame_feed(reader, header.data(), header.size());
    EXPECT_EQ(frame_next(reader, &body), FRAME_TOO_LARGE);
    std::string filler(LSP_BODY_MAX / 2, 'x');
    frame_feed(reader, filler.data(), filler.size());
    frame_feed(reader, filler.data(), filler.size());
    std::string tail = "y" + frame_encode("{}");
    frame_feed(reader, tail.data(), tail.size());
    ASSERT_EQ(frame_next(reader, &body), FRAME_MESSAGE);
    EXPECT_EQ(body, "{}");
    // A length at the limit is read; one with too many digits is a bad header.
    std::string junk = "Content-Length: 123456789012345678901\r\n\r\n";
    frame_feed(reader, junk.data(), junk.size());
    EXPECT_EQ(frame_next(reader, &body), FRAME_BAD_HEADER);
    std::string endless(LSP_HEADER_MAX + 1, 'h');
    frame_feed(reader, endless.data(), endless.size());
    EXPECT_EQ(frame_next(reader, &body), FRAME_BAD_HEADER);
}

TEST(Positions, CountUtf16UnitsAndBytes) {
    // "a😀é" then a byte that starts no character, then "b".
    std::string text = "x\na\xF0\x9F\x98\x80\xC3\xA9\xFF" "b\n";
    LineTable lines = line_table_of(text);
    size_t offset = 0;
    ASSERT_TRUE(position_to_offset(text, lines, 1, 3, ENCODING_UTF16, &offset));
    EXPECT_EQ(offset, 7u);  // after the emoji, two units
    ASSERT_TRUE(position_to_offset(text, lines, 1, 2, ENCODING_UTF16, &offset));
    EXPECT_EQ(offset, 3u);  // inside the pair: the emoji's start
    ASSERT_TRUE(position_to_offset(text, lines, 1, 5, ENCODING_UTF16, &offset));
    EXPECT_EQ(offset, 10u);  // the stray byte counts one unit
    ASSERT_TRUE(position_to_offset(text, lines, 1, 99, ENCODING_UTF16, &offset));
    EXPECT_EQ(offset, 11u);  // past the end of the line: its end
    ASSERT_TRUE(position_to_offset(text, lines, 1, 4, ENCODING_UTF8, &offset));
    EXPECT_EQ(offset, 6u);
    ASSERT_TRUE(position_to_offset(text, lines, 2, 0, ENCODING_UTF16, &offset));
    EXPECT_FALSE(position_to_offset(text, lines, 3, 0, ENCODING_UTF16, &offset));
    EXPECT_FALSE(position_to_offset(text, lines, -1, 0, ENCODING_UTF16, &offset));
    long long line, character;
    offset_to_position(text, lines, 10, ENCODING_UTF16, &line, &character);
    EXPECT_EQ(line, 1);
    EXPECT_EQ(character, 5);
    offset_to_position(text, lines, 10, ENCODING_UTF8, &line, &character);
    EXPECT_EQ(character, 8);
    // The carriage return of a CRLF line ending is no character of the line.
    std::string crlf = "ab\r\ncd";
    ASSERT_TRUE(position_to_offset(crlf, line_table_of(crlf), 0, 9, ENCODING_UTF16, &offset));
    EXPECT_EQ(offset, 2u);
}

TEST(Positions, FileUris) {
    EXPECT_EQ(uri_to_path("file:///tmp/a%20b/m%C3%A9.vsr"), "/tmp/a b/m\xC3\xA9.vsr");
    EXPECT_EQ(path_to_uri("/tmp/a b/m\xC3\xA9.vsr"), "file:///tmp/a%20b/m%C3%A9.vsr");
    EXPECT_EQ(uri_to_path("file://localhost/x.vsr"), "/x.vsr");
    EXPECT_EQ(uri_to_path("file://elsewhere/x.vsr"), "");
    EXPECT_EQ(uri_to_path("untitled:Untitled-1"), "");
    EXPECT_EQ(uri_to_path("file:///a%00b"), "");
}

}  // namespace
