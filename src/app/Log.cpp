// The application log: file line, event-log copy and console echo of every Log call.
#include <string>

#include "app/ConsolePrint.h"
#include "app/VelmoraServiceApp.h"
#include "platform/AppendFile.h"
#include "platform/Console.h"
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

CCriticalSection& ConsoleLock() {
    static CCriticalSection lock;  // created on first use, thread-safe
    return lock;
}

}  // namespace

void CVelmoraServiceApp::WriteLogLine(const std::wstring& message) {
    WriteLogFileLine(message);
    // In service mode the event-log copy of the line is made here, between
    // the file line and the console echo.
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
