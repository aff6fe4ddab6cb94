// String table and message table lookups and message-text rendering (platform-independent).
#include "common/ResourceText.h"

#include <algorithm>

#include "common/ResourceData.h"

namespace resources {

namespace rd = data;

bool FindResourceString(unsigned int id, std::wstring* text) {
    for (std::size_t i = 0; i < rd::kStringCount; ++i) {
        if (rd::kStrings[i].id == id) {
            if (text) *text = rd::kStrings[i].text;
            return true;
        }
    }
    return false;
}

std::wstring LoadResourceString(unsigned int id) {
    std::wstring text;
    FindResourceString(id, &text);
    return text;
}

bool FindMessageTableText(std::uint32_t eventId, std::wstring* text) {
    for (std::size_t i = 0; i < rd::kMessageCount; ++i) {
        if (rd::kMessages[i].id == eventId) {
            if (text) *text = rd::kMessages[i].text;
            return true;
        }
    }
    return false;
}

std::wstring MessageTableText(std::uint32_t eventId) {
    std::wstring text;
    FindMessageTableText(eventId, &text);
    return text;
}

std::vector<std::uint32_t> MessageTableIds() {
    std::vector<std::uint32_t> ids;
    for (std::size_t i = 0; i < rd::kMessageCount; ++i) ids.push_back(rd::kMessages[i].id);
    std::sort(ids.begin(), ids.end());
    return ids;
}

std::vector<std::uint16_t> MessageTableLanguages() {
    return std::vector<std::uint16_t>(rd::kMessageLanguages, rd::kMessageLanguages + rd::kMessageLanguageCount);
}

std::wstring FormatMessageString(std::wstring_view text, const std::vector<std::wstring>& insertions) {
    auto isDigit = [](wchar_t c) { return c >= L'0' && c <= L'9'; };
    std::wstring out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if (c != L'%') {
            out += c;
            continue;
        }
        if (i + 1 >= text.size()) break;  // a lone % at the end gives nothing
        const wchar_t next = text[++i];
        if (next == L'0') return out;
        if (isDigit(next)) {
            const std::size_t markerStart = i - 1;
            std::size_t number = static_cast<std::size_t>(next - L'0');
            if (i + 1 < text.size() && isDigit(text[i + 1]))
                number = number * 10 + static_cast<std::size_t>(text[++i] - L'0');
            // An optional printf format between exclamation marks: the insertion
            // is always a string here, so that format is skipped.
            if (i + 1 < text.size() && text[i + 1] == L'!') {
                const std::size_t close = text.find(L'!', i + 2);
                if (close != std::wstring_view::npos) i = close;
            }
            if (number >= 1 && number <= insertions.size())
                out += insertions[number - 1];
            else
                out.append(text.substr(markerStart, i + 1 - markerStart));
            continue;
        }
        switch (next) {
            case L'n': out += L"\r\n"; break;
            case L'r': out += L'\r'; break;
            case L't': out += L'\t'; break;
            case L'b': out += L' '; break;
            default: out += next; break;
        }
    }
    return out;
}

std::wstring FormatEventMessage(std::uint32_t eventId, const std::vector<std::wstring>& insertions) {
    std::wstring text;
    if (!FindMessageTableText(eventId, &text)) return std::wstring();
    return FormatMessageString(text, insertions);
}

}  // namespace resources
