// Reading the method and path from the bytes of one request, and decoding the path.
#pragma once

#include <string>
#include <string_view>

// The first two words of a request line.
struct RequestLine {
    std::wstring method;
    std::wstring path;  // empty when the line holds only the method
    // The line's last word, after the path, is "HTTP/1.0": its client reads
    // a reply to the end of the connection unless told otherwise.
    bool http10 = false;
};

// Reads the request line from `request`: the bytes up to the first NUL, one
// wide character per byte, split at CR and LF (blank lines before it are
// skipped), then at runs of spaces. Returns false when the line holds no
// word at all (an empty read, or only CR, LF and spaces): such a request is
// dropped without a reply. Everything after the path is ignored.
bool ParseRequestLine(std::string_view request, RequestLine& line);

// Decodes a request path in place: "%hh" becomes the byte hh ("%x"-style:
// optional white space and sign, either letter case, 0 when nothing reads),
// "+" a space, every other character its low 8 bits; a "%" with fewer than
// two characters after it is dropped. The bytes are then read as UTF-8.
// Returns true when they are valid UTF-8. Otherwise `path` holds a lossy
// rendering (invalid sequences as U+FFFD) fit for a log line, never for
// naming a file.
bool UrlDecodePath(std::wstring& path);

// The bytes UrlDecodePath reads as UTF-8, with "+" read as a space when
// `plusIsSpace`, otherwise kept as "+".
std::string UrlDecodeBytes(std::wstring_view path, bool plusIsSpace = true);
