// Converts XML documents into a Windows code page without losing a character to the default character.
#include "platform/win32/XmlCodePage.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>

namespace plat {

namespace {

// The code pages Windows uses as the active (ANSI) code page.
struct CodePageName {
    unsigned codePage;
    const char* name;
};
constexpr CodePageName kNames[] = {
    {874, "windows-874"},       {932, "Shift_JIS"},         {936, "GBK"},
    // Windows' own name for 949 (a superset of EUC-KR, which names fewer syllables).
    {949, "ks_c_5601-1987"},    {950, "Big5"},              {1250, "windows-1250"},
    {1251, "windows-1251"},     {1252, "windows-1252"},     {1253, "windows-1253"},
    {1254, "windows-1254"},     {1255, "windows-1255"},     {1256, "windows-1256"},
    {1257, "windows-1257"},     {1258, "windows-1258"},     {CP_UTF8, "UTF-8"},
};

bool IsAscii(wchar_t c) { return static_cast<std::uint16_t>(c) < 0x80; }

// Appends `text` in `codePage` when every character of it has bytes there
// (no default character, no best-fit look-alike such as "e" for "é").
bool AppendExactly(std::string& out, std::wstring_view text, unsigned codePage) {
    // UTF-8 holds every character, and WideCharToMultiByte takes neither the
    // flag nor the question for it.
    const bool utf8 = codePage == CP_UTF8;
    BOOL usedDefault = FALSE;
    const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
    BOOL* const askUsedDefault = utf8 ? nullptr : &usedDefault;
    const int size = static_cast<int>(text.size());
    const int needed = ::WideCharToMultiByte(codePage, flags, text.data(), size, nullptr, 0, nullptr, askUsedDefault);
    if (needed <= 0 || usedDefault) return false;
    const std::size_t start = out.size();
    out.resize(start + static_cast<std::size_t>(needed));
    ::WideCharToMultiByte(codePage, flags, text.data(), size, out.data() + start, needed, nullptr, nullptr);
    return true;
}

// One reference for the whole code point: a surrogate pair is one character.
void AppendReference(std::string& out, std::wstring_view character) {
    std::uint32_t c = static_cast<std::uint16_t>(character[0]);
    if (character.size() == 2) c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<std::uint16_t>(character[1]) - 0xDC00);
    out += "&#" + std::to_string(c) + ";";
}

// Appends a run of characters beyond ASCII: whole when the code page holds
// all of them (the common case), else character by character.
void AppendRun(std::string& out, std::wstring_view run, unsigned codePage, bool named) {
    if (named && AppendExactly(out, run, codePage)) return;
    for (std::size_t i = 0; i < run.size();) {
        const bool pair = i + 1 < run.size() && run[i] >= 0xD800 && run[i] <= 0xDBFF && run[i + 1] >= 0xDC00 &&
                          run[i + 1] <= 0xDFFF;
        const std::wstring_view character = run.substr(i, pair ? 2 : 1);
        if (!named || !AppendExactly(out, character, codePage)) AppendReference(out, character);
        i += character.size();
    }
}

}  // namespace

const char* XmlEncodingName(unsigned codePage) {
    for (const CodePageName& entry : kNames) {
        if (entry.codePage == codePage) return entry.name;
    }
    return nullptr;
}

std::string XmlDocumentToCodePage(std::wstring_view document, unsigned codePage) {
    std::string out;
    // ASCII is the same byte in every code page Windows runs with: an
    // ASCII-only document keeps the plain bytes it always had.
    if (std::all_of(document.begin(), document.end(), IsAscii)) {
        out.reserve(document.size());
        for (wchar_t c : document) out += static_cast<char>(c);
        return out;
    }
    const char* const name = XmlEncodingName(codePage);
    if (name != nullptr) out = std::string("<?xml version=\"1.0\" encoding=\"") + name + "\"?>";
    out.reserve(out.size() + document.size());
    for (std::size_t i = 0; i < document.size();) {
        std::size_t end = i;
        while (end < document.size() && IsAscii(document[end])) ++end;
        for (; i < end; ++i) out += static_cast<char>(document[i]);
        while (end < document.size() && !IsAscii(document[end])) ++end;
        if (end > i) AppendRun(out, document.substr(i, end - i), codePage, name != nullptr);
        i = end;
    }
    return out;
}

}  // namespace plat
