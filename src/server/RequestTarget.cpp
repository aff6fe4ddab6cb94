// Request target readings: the absolute form's authority dropped, "+" kept, the query string left out.
#include "server/RequestTarget.h"

#include <type_traits>

#include "common/Utf8.h"
#include "platform/RequestPathRules.h"
#include "server/RequestLine.h"

namespace {

constexpr std::wstring_view kAbsoluteScheme = L"http://";

void AddReading(std::vector<RequestPathReading>& readings, std::wstring_view raw, bool plusIsSpace) {
    RequestPathReading reading;
    reading.mayNameFile = DecodeRequestPath(raw, plusIsSpace, reading.path);
    for (const RequestPathReading& earlier : readings)
        if (earlier.path == reading.path && earlier.mayNameFile == reading.mayNameFile) return;
    readings.push_back(std::move(reading));
}

}  // namespace

std::wstring_view WithoutAbsoluteAuthority(std::wstring_view target) {
    if (!AsciiStartsWithNoCase(target, kAbsoluteScheme)) return target;
    target.remove_prefix(kAbsoluteScheme.size());
    // The authority ends where the path or the query begins.
    const std::size_t end = target.find_first_of(L"/?");
    return end == std::wstring_view::npos ? std::wstring_view() : target.substr(end);
}

bool IsPlainRequestPath(std::wstring_view raw, bool plusIsSpace) {
    // Without an early exit, so that the compiler can look at several characters at once.
    using Unit = std::make_unsigned_t<wchar_t>;
    Unit odd = 0;
    for (const wchar_t c : raw) {
        odd |= static_cast<Unit>(c) & ~Unit{0x7F};
        odd |= static_cast<Unit>(c == L'%');
        odd |= static_cast<Unit>(plusIsSpace && c == L'+');
    }
    return odd == 0;
}

bool DecodeRequestPath(std::wstring_view raw, bool plusIsSpace, std::wstring& decoded) {
    if (IsPlainRequestPath(raw, plusIsSpace)) {
        decoded.assign(raw);
        return true;
    }
    const std::string bytes = UrlDecodeBytes(raw, plusIsSpace);
    if (TryUtf8ToWide(bytes, decoded)) return true;
    if (plat::ReadNonUtf8RequestBytes(bytes, decoded)) return true;
    decoded = Utf8ToWideLossy(bytes);
    return false;
}

std::vector<RequestPathReading> RequestPathReadings(std::wstring_view target) {
    const std::wstring_view path = WithoutAbsoluteAuthority(target);
    std::vector<RequestPathReading> readings;
    AddReading(readings, path, true);
    if (path.find(L'+') != std::wstring_view::npos) AddReading(readings, path, false);
    const std::size_t query = path.find(L'?');
    if (query != std::wstring_view::npos) {
        const std::wstring_view beforeQuery = path.substr(0, query);
        AddReading(readings, beforeQuery, true);
        if (beforeQuery.find(L'+') != std::wstring_view::npos) AddReading(readings, beforeQuery, false);
    }
    return readings;
}
