// Escaping and cutting request-derived text for log lines.
#include "server/RequestLogText.h"

namespace {
bool IsControl(wchar_t c) { return c < 0x20 || c == 0x7F; }
}  // namespace

std::wstring RequestTextForLog(std::wstring_view text) {
    const bool cut = text.size() > kLoggedRequestTextLimit;
    if (cut) text = text.substr(0, kLoggedRequestTextLimit);
    std::wstring out;
    out.reserve(text.size() + (cut ? 3 : 0));
    static constexpr wchar_t kHex[] = L"0123456789ABCDEF";
    for (wchar_t c : text) {
        if (IsControl(c)) {
            out += L"\\x";
            out += kHex[(c >> 4) & 0xF];
            out += kHex[c & 0xF];
        } else {
            out += c;
        }
    }
    if (cut) out += L"...";
    return out;
}
