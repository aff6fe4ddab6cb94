// Scans over wide text sixteen characters at a time, for the log line and
// the request path: most of what they see is plain ASCII.
#pragma once

#include <cstddef>

// Copies the ASCII characters at the start of `from` (up to `count`) to
// `to`, one byte each, and returns how many were copied: it stops before
// the first character above 0x7F.
std::size_t CopyAsciiPrefix(const wchar_t* from, std::size_t count, char* to);

// The index of the first control character (below 0x20, or 0x7F) in
// `chars[start, count)`, or `count` when there is none.
std::size_t FindControlCharacter(const wchar_t* chars, std::size_t start, std::size_t count);
