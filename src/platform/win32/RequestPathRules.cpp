// Windows request path rules: refuse every name the file system would read
// as something other than the file asked for.
#include <windows.h>

#include <io.h>

#include <string>

#include "platform/RequestPathRules.h"
#include "platform/win32/DeviceNames.h"

namespace plat {
namespace detail {

bool SegmentAllowed(std::wstring_view segment) {
    for (wchar_t c : segment) {
        if (c < 0x20 || c == L':' || c == L'*' || c == L'?' || c == L'"' || c == L'<' || c == L'>' || c == L'|')
            return false;
    }
    if (segment.back() == L'.' || segment.back() == L' ') return false;
    return !win32::IsReservedDeviceName(segment);
}

bool JoinedPathIsExact(const std::wstring& fullPath, std::size_t askedSegments) {
    // Only a path that exists can be a short name; a missing one is answered 404 later.
    // One call with room for any path the rules let through: each call looks
    // up every folder of the path in the file system.
    std::wstring longPath(MAX_PATH + 1, L'\0');
    DWORD written = ::GetLongPathNameW(fullPath.c_str(), longPath.data(), static_cast<DWORD>(longPath.size()));
    if (written >= longPath.size()) {
        longPath.assign(written, L'\0');
        written = ::GetLongPathNameW(fullPath.c_str(), longPath.data(), static_cast<DWORD>(longPath.size()));
    }
    if (written == 0 || written >= longPath.size()) return true;
    longPath.resize(written);
    // Compare the asked segments, ignoring case as the file system does.
    auto tail = [](const std::wstring& path, std::size_t count) {
        std::size_t pos = path.size();
        for (std::size_t k = 0; k < count && pos != std::wstring::npos && pos > 0; ++k)
            pos = path.find_last_of(L"\\/", pos - 1);
        return pos == std::wstring::npos ? path : path.substr(pos);
    };
    const std::wstring asked = tail(fullPath, askedSegments);
    const std::wstring actual = tail(longPath, askedSegments);
    return ::CompareStringOrdinal(asked.c_str(), static_cast<int>(asked.size()), actual.c_str(),
                                  static_cast<int>(actual.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace detail

bool PathExists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }
bool PathReadable(const std::wstring& path) { return ::_waccess(path.c_str(), 4) == 0; }
wchar_t PathSeparator() { return L'\\'; }

bool ReadNonUtf8RequestBytes(std::string_view bytes, std::wstring& text) {
    text.clear();
    if (bytes.empty()) return true;
    // Bytes the code page does not define (or any invalid UTF-8, where the
    // code page is UTF-8) are refused rather than read as a default character.
    const int size = static_cast<int>(bytes.size());
    const int needed = ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes.data(), size, nullptr, 0);
    if (needed <= 0) return false;
    text.resize(static_cast<std::size_t>(needed));
    return ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes.data(), size, text.data(), needed) == needed;
}

}  // namespace plat
