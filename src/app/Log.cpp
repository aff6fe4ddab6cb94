// The application log: file line, event-log copy and console echo of every Log call.
#include <string>
#include <string_view>

#include "app/ConsolePrint.h"
#include "app/VelmoraService.h"
#include "app/VelmoraServiceApp.h"
#include "platform/AppendFile.h"
#include "platform/EventLog.h"
#include "platform/ServiceCodes.h"
#include "platform/Handles.h"
#include "platform/Text.h"

namespace {

// The file is written as text: every line break is stored as CR LF. A line
// break that already is CR LF (the multi-line handler error lines) is kept
// as it is instead of becoming CR CR LF.
void AppendTextModeLineEnds(std::wstring& out, std::wstring_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'\n' && (i == 0 || text[i - 1] != L'\r')) out += L'\r';
        out += text[i];
    }
}

void AppendDecimal(std::wstring& out, DWORD value) {
    wchar_t digits[10];
    int count = 0;
    do {
        digits[count++] = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0) out += digits[--count];
}

// The event of a copied log line; passed as it is, not through MapEventId.
constexpr DWORD kLogLineEvent = 0x40000010;

}  // namespace

void CVelmoraServiceApp::WriteLogLine(const std::wstring& message) {
    WriteLogFileLine(message);
    // As a service with "-logevents", every line is also an information event
    // (its message text is "%1." and so reads as the line and a full stop).
    // A failed report is ignored: the file line is already written.
    if (m_pService != nullptr && m_bLogEvents && m_pService->IsEventLogEnabled()) {
        const wchar_t* text = message.c_str();
        m_pService->EventLog().Report(EVENTLOG_INFORMATION_TYPE, kLogLineEvent, 1, &text);
    }
    if (m_bConsoleMode) ConsolePrintText(message);
}

void CVelmoraServiceApp::WriteLogFileLine(const std::wstring& message) {
    if (m_strLogFile.empty()) return;
    // "<local date and time>: <process id>: <message>" and a line break,
    // built in one piece (a busy server writes several lines per request).
    const std::wstring stamp = plat::LocalDateTimeText();
    std::wstring line;
    line.reserve(stamp.size() + 16 + message.size() + 2);
    line += stamp;
    line += L": ";
    AppendDecimal(line, plat::CurrentProcessId());
    line += L": ";
    AppendTextModeLineEnds(line, message);
    if (line.back() != L'\r') line += L'\r';  // a message ending in CR gets no second one
    line += L'\n';
    // A line that cannot be written (missing folder, no access, another
    // writer, disk full) is dropped; the other outputs still get it.
    plat::AppendToFile(m_strLogFile, plat::WideToAnsi(line));
}
