// The exact 8-bit texts of the replies a connection gives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Head of a file's 200 reply; its body is the file's bytes. The length is
// written whole, also for files of 2 GiB and more.
std::string FileReplyHeader(std::int64_t contentLength);

// Head of a 206 reply: `length` bytes from `first` of a file of `size`
// bytes. The 200 reply's two fields come first, in their order, and
// Content-Range after them.
std::string PartialReplyHeader(std::uint64_t first, std::uint64_t length, std::uint64_t size);

// The 416 reply for a file of `size` bytes: the same three fields, the range
// as "*", length 0, no body.
std::string RangeNotSatisfiableReply(std::uint64_t size);

// The 200 reply to a "head" request: the file header with length 0, no body.
std::string HeadOkReply();

// A 200 text/html reply carrying `body` (already 8-bit text); the length
// counts its bytes.
std::string TextReply(std::string_view body);

// The head of that reply alone, for a body of `bodyBytes` bytes (a "head"
// request of a listing, or a body sent from elsewhere).
std::string TextReplyHeader(std::size_t bodyBytes);

// The 404 reply, length 0, no body.
std::string NotFoundReply();

// The 503 reply, length 0, no body: a package that exists could not be
// opened because the server itself ran short (descriptors, memory); the
// client may try again.
std::string UnavailableReply();
