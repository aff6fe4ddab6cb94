// Platform-independent part of request path mapping: splitting, resolving
// "." and "..", confinement and the length limit. Segment rules and the
// file checks come from the platform backends.
#include "server/RequestPath.h"

#include <vector>

#include "platform/RequestPathRules.h"
#include "platform/Win32Codes.h"

namespace {
bool IsSeparator(wchar_t c) { return c == L'/' || c == L'\\'; }
// The segment is exactly `count` dots ("." or "..").
bool IsDots(std::wstring_view segment, std::size_t count) {
    return segment.size() == count && segment[0] == L'.' && segment[count - 1] == L'.';
}
}  // namespace

RequestPathVerdict MapRequestPath(std::wstring_view packagesFolder, std::wstring_view requestPath,
                                  std::wstring& fullPath) {
    fullPath.clear();
    if (requestPath.find(L'\0') != std::wstring_view::npos) return RequestPathVerdict::Refused;

    std::vector<std::wstring_view> segments;
    segments.reserve(8);  // one allocation for the paths of every day
    std::size_t i = 0;
    while (i < requestPath.size()) {
        while (i < requestPath.size() && IsSeparator(requestPath[i])) ++i;
        const std::size_t start = i;
        while (i < requestPath.size() && !IsSeparator(requestPath[i])) ++i;
        const std::wstring_view segment = requestPath.substr(start, i - start);
        if (segment.empty() || IsDots(segment, 1)) continue;
        if (IsDots(segment, 2)) {
            if (segments.empty()) return RequestPathVerdict::Refused;  // would leave the packages folder
            segments.pop_back();
            continue;
        }
        if (!plat::detail::SegmentAllowed(segment)) return RequestPathVerdict::Refused;
        segments.push_back(segment);
    }

    std::wstring joined;
    joined.reserve(packagesFolder.size() + requestPath.size() + 1);
    joined = packagesFolder;
    if (!joined.empty() && IsSeparator(joined.back())) joined.pop_back();
    for (const auto& segment : segments) {
        joined += plat::PathSeparator();
        joined += segment;
    }
    if (joined.size() >= MAX_PATH) return RequestPathVerdict::Refused;
    if (!segments.empty() && !plat::detail::JoinedPathIsExact(joined, segments.size())) return RequestPathVerdict::Refused;
    fullPath = std::move(joined);
    return RequestPathVerdict::Mapped;
}

