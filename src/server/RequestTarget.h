// The paths one request target may name, decoded, in the order they are tried.
//
// Standard clients write a target in ways a setup program never does, and
// each has one reading that serves them without changing what a setup
// program's request means:
// - a target in absolute form ("http://host:port/path", the scheme in any
//   case) names the path after its authority;
// - "+" in a path means a space, but no standard client escapes a "+" that
//   belongs to a name: when the space reading names nothing, the path with
//   the "+" kept is tried ("%2B" is always a "+");
// - a query string ("?" and what follows it) means nothing to this server:
//   when the whole path names nothing, the part before the first "?" is tried.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// One decoded reading of a request path.
struct RequestPathReading {
    std::wstring path;
    // The decoded bytes are text (UTF-8, or on Windows the ANSI code page)
    // and so may name a file; otherwise `path` is a lossy rendering for the log.
    bool mayNameFile = false;
};

// The target without "http://authority" when it is in absolute form; unchanged otherwise.
std::wstring_view WithoutAbsoluteAuthority(std::wstring_view target);

// Whether decoding leaves `raw` as it is: ASCII without "%" (nor "+" when
// it stands for a space).
bool IsPlainRequestPath(std::wstring_view raw, bool plusIsSpace);

// Decodes a request path (UrlDecodeBytes). Bytes that are not UTF-8 are
// read in the system ANSI code page where that reads them (Windows: the
// listing's own encoding); otherwise the result is lossy and false.
bool DecodeRequestPath(std::wstring_view raw, bool plusIsSpace, std::wstring& decoded);

// The readings of `target`, the one every request had before first:
// the whole path with "+" as a space, then with "+" kept (when it holds a
// "+"), then the same two of the part before its first "?" (when it holds
// one). A reading equal to an earlier one is left out.
std::vector<RequestPathReading> RequestPathReadings(std::wstring_view target);
