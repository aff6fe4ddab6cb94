// Platform-independent text conversions.
#include "common/Utf8.h"

#include <cstdint>
#include <type_traits>

#include "common/WideScan.h"

namespace {

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

void AppendWide(std::wstring& out, char32_t cp) {
    if constexpr (sizeof(wchar_t) == 2) {
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<wchar_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<wchar_t>(0xDC00 + (cp & 0x3FF)));
            return;
        }
    }
    out.push_back(static_cast<wchar_t>(cp));
}

// Decodes one sequence at `i`; returns the code point or -1 when invalid, and
// advances `i` past what it consumed (at least one byte).
std::int32_t DecodeOne(std::string_view s, std::size_t& i) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    int extra;
    char32_t cp;
    char32_t min;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        extra = 1; cp = b0 & 0x1F; min = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        extra = 2; cp = b0 & 0x0F; min = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        extra = 3; cp = b0 & 0x07; min = 0x10000;
    } else {
        ++i;
        return -1;
    }
    std::size_t j = i + 1;
    for (int k = 0; k < extra; ++k, ++j) {
        if (j >= s.size()) { i = j; return -1; }
        const auto b = static_cast<unsigned char>(s[j]);
        if ((b & 0xC0) != 0x80) { i = j; return -1; }
        cp = (cp << 6) | (b & 0x3F);
    }
    i = j;
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
    return static_cast<std::int32_t>(cp);
}

wchar_t AsciiLowerChar(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c; }

}  // namespace

std::string WideToUtf8(std::wstring_view text) {
    std::string out;
    AppendWideToUtf8(out, text);
    return out;
}

void AppendWideToUtf8(std::string& out, std::wstring_view text) {
    // Most text (paths, log lines) is ASCII: copy it byte for byte and take
    // the general way only from the first character that needs more.
    // Through plain pointers: a store through a char pointer could change the
    // string's own members, which would be read again for every character.
    const std::size_t start = out.size();
    out.resize(start + text.size());
    char* const to = out.data() + start;
    const wchar_t* const from = text.data();
    const std::size_t size = text.size();
    const std::size_t ascii = CopyAsciiPrefix(from, size, to);
    if (ascii == size) return;
    out.resize(start + ascii);
    for (std::size_t i = ascii; i < text.size(); ++i) {
        char32_t cp = static_cast<char32_t>(text[i]);
        if constexpr (sizeof(wchar_t) == 2) {
            cp &= 0xFFFF;
            if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size()) {
                const char32_t lo = static_cast<char32_t>(text[i + 1]) & 0xFFFF;
                if (lo >= 0xDC00 && lo <= 0xDFFF) {
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                    ++i;
                }
            }
        }
        if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) cp = 0xFFFD;
        AppendUtf8(out, cp);
    }
}

bool TryUtf8ToWide(std::string_view bytes, std::wstring& out) {
    // Written straight into `out` (a request path is converted several
    // times per request): ASCII one to one, the rest decoded.
    out.resize(bytes.size());
    std::size_t ascii = 0;
    while (ascii < bytes.size() && static_cast<unsigned char>(bytes[ascii]) < 0x80) {
        out[ascii] = static_cast<wchar_t>(bytes[ascii]);
        ++ascii;
    }
    out.resize(ascii);
    for (std::size_t i = ascii; i < bytes.size();) {
        const std::int32_t cp = DecodeOne(bytes, i);
        if (cp < 0) {
            out.clear();
            return false;
        }
        AppendWide(out, static_cast<char32_t>(cp));
    }
    return true;
}

std::wstring Utf8ToWideLossy(std::string_view bytes) {
    std::wstring result;
    result.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        const std::int32_t cp = DecodeOne(bytes, i);
        AppendWide(result, cp < 0 ? U'\uFFFD' : static_cast<char32_t>(cp));
    }
    return result;
}

std::wstring BytesToWide(std::string_view bytes) {
    std::wstring out(bytes.size(), L'\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) out[i] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]));
    return out;
}

std::string WideToBytes(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t c : text) out.push_back(static_cast<char>(static_cast<std::uint32_t>(c) & 0xFF));
    return out;
}

std::wstring AsciiLower(std::wstring_view text) {
    std::wstring out(text);
    for (auto& c : out) c = AsciiLowerChar(c);
    return out;
}

std::wstring AsciiUpper(std::wstring_view text) {
    std::wstring out(text);
    for (auto& c : out) c = (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 32) : c;
    return out;
}

bool AsciiEqualsNoCase(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) return false;
    if (a == b) return true;  // the usual case: same letter case, one compare
    for (std::size_t i = 0; i < a.size(); ++i)
        if (AsciiLowerChar(a[i]) != AsciiLowerChar(b[i])) return false;
    return true;
}

bool AsciiStartsWithNoCase(std::wstring_view text, std::wstring_view prefix) {
    return text.size() >= prefix.size() && AsciiEqualsNoCase(text.substr(0, prefix.size()), prefix);
}

bool AsciiEndsWithNoCase(std::wstring_view text, std::wstring_view suffix) {
    return text.size() >= suffix.size() &&
           AsciiEqualsNoCase(text.substr(text.size() - suffix.size()), suffix);
}
