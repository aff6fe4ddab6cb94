// Request line parsing, path decoding and reply texts.
#include <gtest/gtest.h>

#include <string>

#include "server/Replies.h"
#include "common/Utf8.h"
#include "server/RequestLine.h"
#include "server/RequestTarget.h"

namespace {

RequestLine Parse(std::string_view bytes, bool expectWords = true) {
    RequestLine line;
    EXPECT_EQ(ParseRequestLine(bytes, line), expectWords) << bytes;
    return line;
}

TEST(RequestLineTest, MethodAndPathOfTheFirstLine) {
    RequestLine line = Parse("GET /packages/a.zip HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(line.method, L"GET");
    EXPECT_EQ(line.path, L"/packages/a.zip");

    line = Parse("\r\n\n\r  HEAD    /b   HTTP/1.0 extra\nGET /c");
    EXPECT_EQ(line.method, L"HEAD");
    EXPECT_EQ(line.path, L"/b");

    line = Parse("GET");
    EXPECT_EQ(line.method, L"GET");
    EXPECT_EQ(line.path, L"");

    // Only spaces separate words; a tab belongs to the word.
    line = Parse("GET\t/a");
    EXPECT_EQ(line.method, L"GET\t/a");

    // One character per byte, whatever the byte.
    line = Parse("GET /\xC3\xA9");
    EXPECT_EQ(line.path, L"/\u00C3\u00A9");

    // The text ends at the first NUL byte.
    line = Parse(std::string_view("GET /a\0/b", 9));
    EXPECT_EQ(line.path, L"/a");
}

TEST(RequestLineTest, RequestsWithoutWordsAreDropped) {
    Parse("", false);
    Parse("\r\n\r\n", false);
    Parse("   \r\nGET /a", false);  // the first line is blank, not empty
    Parse(std::string_view("\0GET /a", 7), false);
}

std::wstring Decoded(std::wstring path, bool expectUtf8 = true) {
    EXPECT_EQ(UrlDecodePath(path), expectUtf8);
    return path;
}

TEST(RequestLineTest, UrlDecoding) {
    EXPECT_EQ(Decoded(L"/a%20b.zip"), L"/a b.zip");
    EXPECT_EQ(Decoded(L"/a+b.zip"), L"/a b.zip");
    EXPECT_EQ(Decoded(L"/%C3%A9"), L"/\u00e9");
    EXPECT_EQ(Decoded(L"/%c3%a9"), L"/\u00e9");
    EXPECT_EQ(Decoded(L"/\u00C3\u00A9"), L"/\u00e9");  // raw UTF-8 bytes of the wire
    EXPECT_EQ(Decoded(L"/x%4"), L"/x4");
    EXPECT_EQ(Decoded(L"/x%"), L"/x");
    EXPECT_EQ(Decoded(L"%41"), L"A");
    EXPECT_EQ(Decoded(L"/a.zip?x=1"), L"/a.zip?x=1");
    EXPECT_EQ(Decoded(L"%2e%2E%2f"), L"../");
    EXPECT_EQ(Decoded(L"%252e"), L"%2e");  // decoded once only
    // Read as "%x" reads two characters: white space and a sign are allowed,
    // and nothing readable gives 0.
    EXPECT_EQ(Decoded(L"% 9"), L"\t");
    EXPECT_EQ(Decoded(L"%+9"), L"\t");
    EXPECT_EQ(Decoded(L"%9z"), L"\t");
    EXPECT_EQ(Decoded(L"a%zzb"), std::wstring(L"a\0b", 3));
    EXPECT_EQ(Decoded(L"%0x"), std::wstring(1, L'\0'));
    EXPECT_EQ(Decoded(L""), L"");
}

// A path with nothing to decode takes a shortcut: it must read exactly as
// the full decoding reads it.
TEST(RequestLineTest, PlainPathsReadAsTheFullDecodingReadsThem) {
    const std::wstring paths[] = {L"",           L"/packages/a.zip", L"/a+b.zip",   L"/a%20b.zip",
                                  L"/\u00C3\u00A9", L"/x\x7F~!$&'()*,;=:@", L"/a.zip?x=1", std::wstring(L"/a\0b", 4),
                                  L"/\u00e9",     L"/%",              L"+",          L"/\u20AC.zip"};
    for (const std::wstring& path : paths) {
        for (const bool plusIsSpace : {true, false}) {
            SCOPED_TRACE(testing::Message() << "path of " << path.size() << " characters, plus "
                                            << (plusIsSpace ? "a space" : "kept"));
            std::wstring full;
            const bool fullIsText = TryUtf8ToWide(UrlDecodeBytes(path, plusIsSpace), full);
            std::wstring decoded;
            const bool isText = DecodeRequestPath(path, plusIsSpace, decoded);
            if (fullIsText) {
                EXPECT_TRUE(isText);
                EXPECT_EQ(decoded, full);
            }
            if (IsPlainRequestPath(path, plusIsSpace)) {
                EXPECT_TRUE(fullIsText);
                EXPECT_EQ(decoded, path);
            }
        }
    }
}

TEST(RequestLineTest, BytesThatAreNotUtf8AreReportedAndRenderedLossily) {
    EXPECT_EQ(Decoded(L"/%FF.zip", false), L"/\ufffd.zip");
    EXPECT_EQ(Decoded(L"%-1", false), L"\ufffd");  // -1: the byte 0xFF
    EXPECT_EQ(Decoded(L"/%C0%AE%C0%AE", false).find(L'.'), std::wstring::npos);  // overlong dots stay no dots
    Decoded(L"/%ED%A0%80", false);                                                // a surrogate
    EXPECT_EQ(Decoded(L"/\u00C3", false), L"/\ufffd");
}

TEST(RepliesTest, LengthsAndBodiesAreWrittenAsTheyAre) {
    EXPECT_EQ(FileReplyHeader(3221225472ll),
              "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: 3221225472\r\n\r\n");
    EXPECT_EQ(FileReplyHeader(2147483647ll),
              "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: 2147483647\r\n\r\n");
    EXPECT_EQ(HeadOkReply(), FileReplyHeader(0));
    // A body is never read as a format.
    EXPECT_EQ(TextReply("100%s %d\xE9"),
              "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 9\r\n\r\n100%s %d\xE9");
    EXPECT_EQ(NotFoundReply(),
              "HTTP/1.1 404 NOT FOUND\r\nContent-Type: application/octet-stream\r\nContent-Length: 0\r\n\r\n");
}

}  // namespace
