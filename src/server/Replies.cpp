// Reply texts: exactly two header fields, nothing else, no Date, Server or Connection field.
#include "server/Replies.h"

#include "common/Format.h"

namespace {
// "%ld" prints the argument's full 64-bit value: the formatter takes the
// argument's own width, so lengths of 2 GiB and more are never truncated.
constexpr std::string_view kOctetStreamOk =
    "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: %ld\r\n\r\n";
constexpr std::string_view kTextOk = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: %ld\r\n\r\n%s";
constexpr std::string_view kNotFound =
    "HTTP/1.1 404 NOT FOUND\r\nContent-Type: application/octet-stream\r\nContent-Length: %ld\r\n\r\n";
}  // namespace

std::string FileReplyHeader(std::int64_t contentLength) { return FormatA(kOctetStreamOk, contentLength); }

std::string HeadOkReply() { return FormatA(kOctetStreamOk, std::int64_t{0}); }

std::string TextReply(std::string_view body) {
    return FormatA(kTextOk, static_cast<std::int64_t>(body.size()), body);
}

std::string NotFoundReply() { return FormatA(kNotFound, std::int64_t{0}); }
