// Platform-independent part of request path mapping: splitting, resolving
// "." and "..", confinement and the length limit. Segment rules and the
// file checks come from the platform backends.
#include "server/RequestPath.h"

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

    // The path is put together as it is read: each segment is appended after
    // a separator, and ".." cuts the last appended segment off again.
    fullPath.reserve(packagesFolder.size() + requestPath.size() + 1);
    fullPath = packagesFolder;
    if (!fullPath.empty() && IsSeparator(fullPath.back())) fullPath.pop_back();
    std::size_t segments = 0;
    std::size_t i = 0;
    while (i < requestPath.size()) {
        while (i < requestPath.size() && IsSeparator(requestPath[i])) ++i;
        const std::size_t start = i;
        while (i < requestPath.size() && !IsSeparator(requestPath[i])) ++i;
        const std::wstring_view segment = requestPath.substr(start, i - start);
        if (segment.empty() || IsDots(segment, 1)) continue;
        if (IsDots(segment, 2)) {
            if (segments == 0) {  // would leave the packages folder
                fullPath.clear();
                return RequestPathVerdict::Refused;
            }
            // A segment holds no separator: the last one starts the last segment.
            fullPath.resize(fullPath.find_last_of(plat::PathSeparator()));
            --segments;
            continue;
        }
        if (!plat::detail::SegmentAllowed(segment)) {
            fullPath.clear();
            return RequestPathVerdict::Refused;
        }
        fullPath += plat::PathSeparator();
        fullPath += segment;
        ++segments;
    }
    if (fullPath.size() >= MAX_PATH || (segments != 0 && !plat::detail::JoinedPathIsExact(fullPath, segments))) {
        fullPath.clear();
        return RequestPathVerdict::Refused;
    }
    return RequestPathVerdict::Mapped;
}
