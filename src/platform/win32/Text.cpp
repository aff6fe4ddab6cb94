// Windows 8-bit text: the active ANSI code page.
#include <windows.h>

#include "platform/Text.h"
#include "platform/win32/XmlCodePage.h"

namespace plat {

std::string WideToAnsi(std::wstring_view text) {
    if (text.empty()) return {};
    const int size = static_cast<int>(text.size());
    const int needed = ::WideCharToMultiByte(CP_ACP, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(needed > 0 ? needed : 0), '\0');
    if (needed > 0) ::WideCharToMultiByte(CP_ACP, 0, text.data(), size, out.data(), needed, nullptr, nullptr);
    return out;
}

void AppendWideAsAnsi(std::string& out, std::wstring_view text) {
    // Every ANSI code page keeps ASCII as it is: an ASCII start (most of a
    // log line, often all of it) is copied, and only the rest, from its first
    // other character on, is converted.
    std::size_t ascii = 0;
    while (ascii < text.size() && text[ascii] < 0x80) ++ascii;
    const std::size_t at = out.size();
    out.resize(at + ascii);
    char* const to = out.data() + at;
    for (std::size_t i = 0; i < ascii; ++i) to[i] = static_cast<char>(text[i]);
    text.remove_prefix(ascii);
    if (text.empty()) return;
    const int size = static_cast<int>(text.size());
    const int needed = ::WideCharToMultiByte(CP_ACP, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return;
    const std::size_t start = out.size();
    out.resize(start + static_cast<std::size_t>(needed));
    ::WideCharToMultiByte(CP_ACP, 0, text.data(), size, out.data() + start, needed, nullptr, nullptr);
}

std::wstring AnsiToWide(std::string_view bytes) {
    if (bytes.empty()) return {};
    const int size = static_cast<int>(bytes.size());
    const int needed = ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), size, nullptr, 0);
    std::wstring out(static_cast<std::size_t>(needed > 0 ? needed : 0), L'\0');
    if (needed > 0) ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), size, out.data(), needed);
    return out;
}

std::string XmlDocumentToAnsi(std::wstring_view document) { return XmlDocumentToCodePage(document, ::GetACP()); }

}  // namespace plat
