// Reply texts: exactly two header fields (three for a part of a file), nothing else, no Date, Server or Connection field.
#include "server/Replies.h"

#include <charconv>

#include "common/Format.h"

namespace {
// "%ld" prints the argument's full 64-bit value: the formatter takes the
// argument's own width, so lengths of 2 GiB and more are never truncated.
constexpr std::string_view kOctetStreamOk =
    "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: %ld\r\n\r\n";
constexpr std::string_view kTextOk = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: %ld\r\n\r\n%s";
constexpr std::string_view kNotFound =
    "HTTP/1.1 404 NOT FOUND\r\nContent-Type: application/octet-stream\r\nContent-Length: %ld\r\n\r\n";
constexpr std::string_view kUnavailable =
    "HTTP/1.1 503 SERVICE UNAVAILABLE\r\nContent-Type: application/octet-stream\r\nContent-Length: %ld\r\n\r\n";
// A client that reads the fields it knows at the places every other reply
// has them finds them there; Content-Range follows them.
constexpr std::string_view kPartial =
    "HTTP/1.1 206 PARTIAL CONTENT\r\nContent-Type: application/octet-stream\r\nContent-Length: %llu\r\n"
    "Content-Range: bytes %llu-%llu/%llu\r\n\r\n";
constexpr std::string_view kNotSatisfiable =
    "HTTP/1.1 416 RANGE NOT SATISFIABLE\r\nContent-Type: application/octet-stream\r\nContent-Length: %ld\r\n"
    "Content-Range: bytes */%llu\r\n\r\n";
}  // namespace

std::string FileReplyHeader(std::int64_t contentLength) {
    // Every download builds this header: the same text as kOctetStreamOk
    // with "%ld", put together directly instead of through the formatter.
    constexpr std::string_view kHead =
        "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: ";
    constexpr std::string_view kTail = "\r\n\r\n";
    char digits[24];
    const std::to_chars_result written = std::to_chars(digits, digits + sizeof digits, contentLength);
    std::string header;
    header.reserve(kHead.size() + static_cast<std::size_t>(written.ptr - digits) + kTail.size());
    header.append(kHead).append(digits, written.ptr).append(kTail);
    return header;
}

std::string PartialReplyHeader(std::uint64_t first, std::uint64_t length, std::uint64_t size) {
    return FormatA(kPartial, length, first, first + length - 1, size);
}

std::string RangeNotSatisfiableReply(std::uint64_t size) { return FormatA(kNotSatisfiable, std::int64_t{0}, size); }

std::string HeadOkReply() { return FormatA(kOctetStreamOk, std::int64_t{0}); }

std::string TextReplyHeader(std::size_t bodyBytes) {
    return FormatA(kTextOk, static_cast<std::int64_t>(bodyBytes), std::string_view());
}

std::string TextReply(std::string_view body) {
    // A listing can be megabytes: its body is copied once, not run through the formatter.
    const std::string header = TextReplyHeader(body.size());
    std::string reply;
    reply.reserve(header.size() + body.size());
    reply.append(header).append(body);
    return reply;
}

std::string NotFoundReply() { return FormatA(kNotFound, std::int64_t{0}); }

std::string UnavailableReply() { return FormatA(kUnavailable, std::int64_t{0}); }
