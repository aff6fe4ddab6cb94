// Platform rules for request path segments (shared by RequestPath.cpp and the backends).
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
