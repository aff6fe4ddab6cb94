// Request line parsing and path decoding for the connection's request handler.
#include "server/RequestLine.h"

#include <cstring>

#include "common/Utf8.h"

namespace {

bool IsLineBreak(char c) { return c == '\r' || c == '\n'; }

// The first `c` in [from, to), or `to`.
const char* FindByte(const char* from, const char* to, char c) {
    const void* found = std::memchr(from, c, static_cast<std::size_t>(to - from));
    return found != nullptr ? static_cast<const char*>(found) : to;
}

bool IsScanfSpace(wchar_t c) { return c == L' ' || (c >= L'\t' && c <= L'\r'); }

int HexDigitValue(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

// The value "%x" reads from exactly these characters: leading white space,
// an optional sign, an optional "0x", then hex digits; 0 when none read.
long ScanHexLikePercentX(std::wstring_view text) {
    std::size_t i = 0;
    while (i < text.size() && IsScanfSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) {
        negative = text[i] == L'-';
        ++i;
    }
    if (i + 1 < text.size() && text[i] == L'0' && (text[i + 1] == L'x' || text[i + 1] == L'X')) i += 2;
    long value = 0;
    for (; i < text.size(); ++i) {
        const int digit = HexDigitValue(text[i]);
        if (digit < 0) break;
        value = value * 16 + digit;
    }
    return negative ? -value : value;
}

}  // namespace

bool ParseRequestLine(std::string_view request, RequestLine& line) {
    line.method.clear();
    line.path.clear();
    line.http10 = false;
    // The line: after any leading line breaks, up to the next one; the
    // request is read as a C string would be, so it also ends at a NUL byte.
    const char* p = request.data();
    const char* const end = p + request.size();
    while (p != end && IsLineBreak(*p)) ++p;
    // The first CR, LF or NUL ends it, found by the library's searches (a
    // character-by-character loop costs about ten instructions a byte).
    const char* lineEnd = FindByte(p, end, '\n');
    lineEnd = FindByte(p, lineEnd, '\r');
    lineEnd = FindByte(p, lineEnd, '\0');

    std::string_view words[2];
    std::size_t found = 0;
    while (found < 2) {
        while (p != lineEnd && *p == ' ') ++p;
        if (p == lineEnd) break;
        const char* const wordStart = p;
        p = FindByte(p, lineEnd, ' ');
        words[found++] = std::string_view(wordStart, static_cast<std::size_t>(p - wordStart));
    }
    if (found == 0) return false;
    if (found == 2) {
        // What follows the path; its last word is the version.
        std::string_view rest(p, static_cast<std::size_t>(lineEnd - p));
        while (!rest.empty() && rest.back() == ' ') rest.remove_suffix(1);
        const std::size_t lastSpace = rest.rfind(' ');
        line.http10 = lastSpace != std::string_view::npos && rest.substr(lastSpace + 1) == "HTTP/1.0";
    }
    line.method = BytesToWide(words[0]);
    line.path = BytesToWide(words[1]);
    return true;
}

std::string UrlDecodeBytes(std::wstring_view path, bool plusIsSpace) {
    std::string bytes;
    std::size_t plain = 0;  // the leading characters that stand for themselves, copied in one go
    while (plain < path.size() && path[plain] != L'%' && (path[plain] != L'+' || !plusIsSpace)) ++plain;
    bytes.resize(plain);
    for (std::size_t i = 0; i < plain; ++i) bytes[i] = static_cast<char>(static_cast<unsigned>(path[i]) & 0xFF);
    if (plain == path.size()) return bytes;
    bytes.reserve(path.size());
    for (std::size_t i = plain; i < path.size(); ++i) {
        const wchar_t c = path[i];
        if (c == L'%') {
            if (i + 2 < path.size()) {
                bytes.push_back(static_cast<char>(ScanHexLikePercentX(path.substr(i + 1, 2)) & 0xFF));
                i += 2;
            }
        } else if (c == L'+' && plusIsSpace) {
            bytes.push_back(' ');
        } else {
            bytes.push_back(static_cast<char>(static_cast<unsigned>(c) & 0xFF));
        }
    }
    return bytes;
}

bool UrlDecodePath(std::wstring& path) {
    const std::string bytes = UrlDecodeBytes(path);
    std::wstring decoded;
    if (TryUtf8ToWide(bytes, decoded)) {
        path = std::move(decoded);
        return true;
    }
    path = Utf8ToWideLossy(bytes);
    return false;
}
