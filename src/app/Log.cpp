// The application log: file line, event-log copy and console echo of every Log call.
#include <algorithm>
#include <string>
#include <string_view>

#include "app/ConsolePrint.h"
#include "app/PackagesFolderWarning.h"
#include "app/VelmoraService.h"
#include "app/VelmoraServiceApp.h"
#include "common/Format.h"
#include "common/LogSink.h"
#include "common/ResourceIds.h"
#include "common/TextTrim.h"
#include "platform/AppendFile.h"
#include "platform/Console.h"
#include "platform/EventLog.h"
#include "platform/Handles.h"
#include "platform/ServiceCodes.h"
#include "platform/SystemErrorText.h"
#include "platform/Text.h"
#include "platform/Win32Codes.h"
#include "server/ServerFigures.h"

namespace {

// The file is written as text: every line break is stored as CR LF. A line
// break that already is CR LF (the multi-line handler error lines) is kept
// as it is instead of becoming CR CR LF. The text between line breaks is
// converted to 8-bit text in runs (a run never splits a character), and the
// line ends in CR LF, with no second CR after a message ending in CR.
void AppendTextModeLineAsAnsi(std::string& out, std::wstring_view text) {
    std::size_t run = 0;
    for (std::size_t i = text.find(L'\n'); i != std::wstring_view::npos; i = text.find(L'\n', i + 1)) {
        plat::AppendWideAsAnsi(out, text.substr(run, i - run));
        if (i == 0 || text[i - 1] != L'\r') out += '\r';
        out += '\n';
        run = i + 1;
    }
    plat::AppendWideAsAnsi(out, text.substr(run));
    if (text.empty() || text.back() != L'\r') out += '\r';
    out += '\n';
}

// The event of a copied log line is passed as it is, not through MapEventId.
using resource_ids::kEventLogLine;

// The program's sink: lines go to the current application object; a
// thread's gathered lines to the log file, then the console.
class CApplicationLogSink final : public ILogSink {
  public:
    bool TakesLines() const override {
        const CVelmoraServiceApp* app = GetVelmoraApp();
        return app != nullptr && app->HasLogOutput();
    }
    void WriteLine(const std::wstring& line) override {
        if (CVelmoraServiceApp* app = GetVelmoraApp()) app->LogText(line);
    }
    void WriteFormatted(std::wstring_view format, const fmt_detail::Arg* args, std::size_t count) override {
        if (CVelmoraServiceApp* app = GetVelmoraApp()) app->LogFormatted(format, args, count);
    }
    void WriteGatheredLines(bool passEnded) override {
        if (CVelmoraServiceApp* app = GetVelmoraApp()) app->WriteGatheredLogFileLines();
        FlushGatheredConsoleLines(passEnded);
    }
};

}  // namespace

void InstallApplicationLogSink() {
    // Kept past the end of main: a thread may still log while the process ends.
    static CApplicationLogSink* const sink = new CApplicationLogSink;
    InstallLogSink(sink);
}

void CVelmoraServiceApp::LogFormatted(std::wstring_view format, const fmt_detail::Arg* args, std::size_t count) {
    CWriteLockGuard guard(&m_logLock);
    // Made in room kept from line to line. A line logged on this thread while
    // this one is written (the lock lets it) finds no room kept and makes its own.
    std::wstring message = std::move(m_strLogMessage);
    message.clear();
    fmt_detail::AppendFormatWide(message, format, args, count);
    WriteLogLine(message);
    m_strLogMessage = std::move(message);
}

void CVelmoraServiceApp::WriteLogLine(const std::wstring& message) {
    WriteLogFileLine(message);
    // As a service with "-logevents", every line is also an information event
    // (its message text is "%1." and so reads as the line and a full stop).
    // A failed report is ignored: the file line is already written.
    if (m_pService != nullptr && m_bLogEvents && m_pService->IsEventLogEnabled()) {
        const wchar_t* text = message.c_str();
        m_pService->EventLog().Report(EVENTLOG_INFORMATION_TYPE, kEventLogLine, 1, &text);
    }
    if (m_bConsoleMode) ConsolePrintText(message);
}

void CVelmoraServiceApp::WriteLogFileLine(const std::wstring& message) {
    if (m_strLogFile.empty()) return;
    // "<local date and time>: <process id>: <message>" and a line break,
    // made as the bytes of the file in one piece, in a buffer kept from line
    // to line (a busy server writes several lines per request); what comes
    // before the message is made once a second.
    std::string& line = m_strLogBytes;
    line.assign(m_logLinePrefix.Now());
    AppendTextModeLineAsAnsi(line, message);
    m_gatheredLogFileLines.Add(m_strLogBytes, LogLineBatchDepth() > 0,
                               [this](std::string_view bytes) { AppendToLogFile(bytes); });
}

void CVelmoraServiceApp::WriteGatheredLogFileLines() {
    if (!m_gatheredLogFileLines.HasOwn()) return;
    CWriteLockGuard guard(&m_logLock);
    m_gatheredLogFileLines.WriteOwn([this](std::string_view bytes) { AppendToLogFile(bytes); });
}

void CVelmoraServiceApp::AppendToLogFile(std::string_view bytes) {
    // The file is opened for every write, so it can be moved away or deleted
    // at any time: the next write starts a new one. Lines that cannot be
    // written (missing folder, no access, another writer, disk full) are
    // dropped; the other outputs still get them.
    DWORD error = NO_ERROR;
    const bool written = plat::AppendToFile(m_strLogFile, bytes, &error) != FALSE;
    if (!written) m_pFigures->CountDroppedLogLines(static_cast<std::uint64_t>(std::count(bytes.begin(), bytes.end(), '\n')));
    if (written == m_bLogFileFailing) ReportLogFileState(!written, error);
}

void CVelmoraServiceApp::ReportLogFileState(bool failing, DWORD error) {
    m_bLogFileFailing = failing;
    // Said outside the log itself, which is what fails: an administrator
    // finds it where the service's other messages are.
    const std::wstring text =
        failing ? FormatW(L"The log file '%s' cannot be written (error %lu, %s); its lines are dropped until it can "
                          L"be written again",
                          m_strLogFile, error, WithoutTrailingLineBreaks(plat::SystemErrorText(error)))
                : FormatW(L"The log file '%s' is written again", m_strLogFile);
    if (m_pService == nullptr) {
        plat::WriteStandardError(text + L".\n");
    } else if (m_pService->IsEventLogEnabled()) {
        const wchar_t* strings = text.c_str();
        m_pService->EventLog().Report(failing ? EVENTLOG_ERROR_TYPE : EVENTLOG_INFORMATION_TYPE, kEventLogLine, 1,
                                      &strings);
    }
}

void CVelmoraServiceApp::WarnIfPackagesFolderIsOpen() {
    const std::wstring warning = PackagesFolderWarning(m_strPackagesPath);
    if (warning.empty()) return;
    CWriteLockGuard guard(&m_logLock);
    WriteLogFileLine(warning);
    if (m_bConsoleMode) ConsolePrintText(warning);
    // One event of its own type, in place of the copy that "-logevents" would make.
    if (m_pService != nullptr && m_pService->IsEventLogEnabled()) {
        const wchar_t* text = warning.c_str();
        m_pService->EventLog().Report(EVENTLOG_WARNING_TYPE, kEventLogLine, 1, &text);
    }
}
