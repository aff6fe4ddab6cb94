// Windows reserved device names.
#include "platform/win32/DeviceNames.h"

#include <string>

namespace plat::win32 {
namespace {

// The names are ASCII words, compared ignoring ASCII case.
wchar_t AsciiUpper(wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

bool IsPortDigit(wchar_t c) { return (c >= L'0' && c <= L'9') || c == L'\u00B9' || c == L'\u00B2' || c == L'\u00B3'; }

}  // namespace

bool IsReservedDeviceName(std::wstring_view name) {
    std::wstring_view base = name.substr(0, name.find(L'.'));
    while (!base.empty() && base.back() == L' ') base.remove_suffix(1);
    std::wstring upper(base.size(), L'\0');
    for (std::size_t i = 0; i < base.size(); ++i) upper[i] = AsciiUpper(base[i]);

    for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$", L"CLOCK$"})
        if (upper == device) return true;
    return upper.size() == 4 && (upper.compare(0, 3, L"COM") == 0 || upper.compare(0, 3, L"LPT") == 0) &&
           IsPortDigit(upper[3]);
}

}  // namespace plat::win32
