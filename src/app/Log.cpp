// The application log: file line, event-log copy and console echo of every Log call.
#include <string>

#include "app/ConsolePrint.h"
#include "app/VelmoraService.h"
#include "app/VelmoraServiceApp.h"
#include "platform/AppendFile.h"
#include "platform/Console.h"
#include "platform/EventLog.h"
#include "platform/ServiceCodes.h"
#include "platform/Handles.h"
#include "platform/Sync.h"
#include "platform/Text.h"

namespace {

// The file is written as text: every line break is stored as CR LF. A line
// break that already is CR LF (the multi-line handler error lines) is kept
// as it is instead of becoming CR CR LF.
std::wstring ToTextModeLineEnds(const std::wstring& text) {
    std::wstring out;
    out.reserve(text.size() + 2);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'\n' && (i == 0 || text[i - 1] != L'\r')) out += L'\r';
        out += text[i];
    }
    return out;
}

// The event of a copied log line; passed as it is, not through MapEventId.
constexpr DWORD kLogLineEvent = 0x40000010;

CCriticalSection& ConsoleLock() {
    static CCriticalSection lock;  // created on first use, thread-safe
    return lock;
}

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
    if (m_bConsoleMode) ConsolePrint(L"%s", message);
}

void CVelmoraServiceApp::WriteLogFileLine(const std::wstring& message) {
    if (m_strLogFile.empty()) return;
    const std::wstring line = plat::LocalDateTimeText() + L": " + FormatW(L"%ld", plat::CurrentProcessId()) +
                              L": " + message + L"\n";
    // A line that cannot be written (missing folder, no access, another
    // writer, disk full) is dropped; the other outputs still get it.
    plat::AppendToFile(m_strLogFile, plat::WideToAnsi(ToTextModeLineEnds(line)));
}

void ConsolePrintText(std::wstring_view text) {
    if (CVelmoraServiceApp* app = GetVelmoraApp(); app != nullptr && app->m_pService != nullptr) return;
    CSingleLock lock(ConsoleLock());
    plat::WriteConsoleLine(text);
}
