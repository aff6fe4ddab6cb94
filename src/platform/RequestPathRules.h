// Platform rules for request paths: which segments may name a file, whether a
// joined path is exactly what was asked for, and the file checks the server makes.
#pragma once

#include <string>
#include <string_view>

namespace plat::detail {

// Whether one path segment (neither empty, "." nor "..") may name a file.
bool SegmentAllowed(std::wstring_view segment);

// Whether the joined, existing or missing path names exactly what was asked
// for (Windows: no 8.3 short name stands for a long one). `asked` is the
// number of trailing segments that came from the request.
bool JoinedPathIsExact(const std::wstring& fullPath, std::size_t askedSegments);

}  // namespace plat::detail

namespace plat {

// The file or folder exists (GetFileAttributesW finds it).
bool PathExists(const std::wstring& path);
// The file or folder exists and may be read (_waccess with mode 4).
bool PathReadable(const std::wstring& path);

// The platform's path separator.
wchar_t PathSeparator();

// Request path bytes that are not UTF-8, read in the system ANSI code page:
// the folder listing's own encoding, so a client that sends a name back in
// the listing's bytes names that file. False when the code page does not
// read them either (POSIX: it is UTF-8, which they are not).
bool ReadNonUtf8RequestBytes(std::string_view bytes, std::wstring& text);

}  // namespace plat
