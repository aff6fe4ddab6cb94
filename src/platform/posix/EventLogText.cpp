// The one-line event text and syslog severity of the POSIX event log.
#include "platform/posix/EventLogText.h"

#include "common/Format.h"
#include "common/ResourceText.h"

namespace plat {

std::wstring EventLogLine(DWORD eventId, const std::vector<std::wstring>& insertions) {
    std::wstring text;
    if (resources::FindMessageTableText(eventId, &text)) {
        text = resources::FormatMessageString(text, insertions);
    } else {
        text = FormatW(L"Event 0x%08X", eventId);
        for (std::size_t i = 0; i < insertions.size(); ++i) {
            text += i == 0 ? L": " : L", ";
            text += insertions[i];
        }
    }
    std::wstring line;
    line.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if (c == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') continue;  // CR LF: one break
        if (c == L'\t') line += c;
        else if (c < 0x20 || c == 0x7F) line += L' ';
        else line += c;
    }
    while (!line.empty() && (line.back() == L' ' || line.back() == L'\t')) line.pop_back();
    return line;
}

int SyslogSeverityOfEventType(std::uint16_t type) {
    switch (type) {
        case 0x0001: return 3;  // error: LOG_ERR
        case 0x0010: return 3;  // audit failure
        case 0x0002: return 4;  // warning: LOG_WARNING
        default: return 6;      // information, success, audit success: LOG_INFO
    }
}

}  // namespace plat
