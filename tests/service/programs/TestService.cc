// A small service built on CNTService, run under the real service manager by
// the service host tests (Wine's SCM on Windows, a systemd-style notify
// socket on POSIX). It writes what happens to it into a log file.
//
// Usage: TestService [--log FILE] [--gate FILE] [--exit WIN32 SPECIFIC]
//                    [--name NAME] [--display NAME]
//   --gate   stay in SERVICE_START_PENDING (checkpoint 1) until FILE exists
//   --exit   end by throwing CNTServiceTerminateException with these codes
// Exit code: 0, or the last error of a failed StartCtrlDispatcher.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>

#include "common/Format.h"
#include "common/Utf8.h"
#include "platform/Handles.h"
#include "platform/ServiceCodes.h"
#include "service/NTService.h"

namespace {

std::string g_logPath;
std::mutex g_logMutex;
DWORD g_dispatcherThread = 0;

void LogLine(const std::wstring& line) {
    if (g_logPath.empty()) return;
    std::lock_guard lock(g_logMutex);
    std::ofstream out(g_logPath, std::ios::app | std::ios::binary);
    out << WideToUtf8(line) << '\n';
}

constexpr DWORD kMaxRunMilliseconds = 300000;

const wchar_t* ThreadName() { return plat::CurrentThreadId() == g_dispatcherThread ? L"dispatcher" : L"other"; }

class CTestService : public CNTService {
  public:
    CTestService(const std::wstring& name, const std::wstring& display, std::string gatePath, bool terminate,
                 DWORD win32ExitCode, DWORD specificExitCode)
        : CNTService(name.c_str(), display.c_str(), L"Service host framework test service"),
          m_gatePath(std::move(gatePath)),
          m_terminate(terminate),
          m_win32ExitCode(win32ExitCode),
          m_specificExitCode(specificExitCode),
          m_stopRequested(plat::CreateEventObject(true, false)),
          m_stopHandled(plat::CreateEventObject(true, false)) {}

    ~CTestService() override {
        plat::CloseHandleObject(m_stopRequested);
        plat::CloseHandleObject(m_stopHandled);
    }

    void ServiceMain(DWORD argc, wchar_t** argv) override {
        LogLine(FormatW(L"ServiceMain argc=%lu argv0=%s thread=%s", argc,
                        (argc > 0 && argv && argv[0]) ? argv[0] : L"", ThreadName()));
        ReportStatus(SERVICE_START_PENDING, 1, 5000);
        m_eventLog.Report(EVENTLOG_INFORMATION_TYPE, MapEventId(0x40000001), {m_strDisplayName});
        if (!m_gatePath.empty()) {
            for (int i = 0; i < 3000 && !std::filesystem::exists(m_gatePath); ++i) plat::SleepMilliseconds(20);
        }
        ReportStatus(SERVICE_START_PENDING, 2, 4000);
        LogLine(L"reporting running");
        ReportStatus(SERVICE_RUNNING);
        // Two insertion strings, and one decimal code, for the event log checks.
        m_eventLog.ReportErrorCodeAndText(MapEventId(0xC000000E), SERVICE_RUNNING, L"1460, Test timeout text");
        m_eventLog.ReportErrorCode(MapEventId(0xC000000B), 5);

        // Bounded, so that a test that fails half-way leaves no service behind for long.
        plat::WaitForObject(m_stopRequested, kMaxRunMilliseconds);
        // Let the stop control finish its own status report first, so the
        // order of the reports is always the same.
        plat::WaitForObject(m_stopHandled, kMaxRunMilliseconds);
        LogLine(L"ServiceMain ending");
        if (m_terminate) throw CNTServiceTerminateException(m_win32ExitCode, m_specificExitCode);
    }

    DWORD HandleControl(DWORD control, DWORD eventType, void* eventData) override {
        LogLine(FormatW(L"control %lu thread=%s", control, ThreadName()));
        const DWORD result = CNTService::HandleControl(control, eventType, eventData);
        LogLine(FormatW(L"control %lu result=%lu", control, result));
        if (control == SERVICE_CONTROL_STOP) plat::SignalEvent(m_stopHandled);
        return result;
    }

    void OnStop() override {
        CNTService::OnStop();  // the "stopped" event
        ReportStatus(SERVICE_STOP_PENDING, 1, 3000);
        plat::SignalEvent(m_stopRequested);
    }

    void OnUserDefinedRequest(DWORD control) override { LogLine(FormatW(L"user-defined request %lu", control)); }

  private:
    std::string m_gatePath;
    bool m_terminate;
    DWORD m_win32ExitCode;
    DWORD m_specificExitCode;
    HANDLE m_stopRequested;
    HANDLE m_stopHandled;
};

}  // namespace

int main(int argc, char** argv) {
    std::wstring name = L"VelmoraTestService";
    std::wstring display = L"Velmora Test Service";
    std::string gate;
    bool terminate = false;
    DWORD win32ExitCode = 0, specificExitCode = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--log" && hasValue) g_logPath = argv[++i];
        else if (arg == "--gate" && hasValue) gate = argv[++i];
        else if (arg == "--name" && hasValue) name = Utf8ToWideLossy(argv[++i]);
        else if (arg == "--display" && hasValue) display = Utf8ToWideLossy(argv[++i]);
        else if (arg == "--exit" && i + 2 < argc) {
            terminate = true;
            win32ExitCode = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 10));
            specificExitCode = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 10));
        }
    }
    g_dispatcherThread = plat::CurrentThreadId();
    CTestService service(name, display, gate, terminate, win32ExitCode, specificExitCode);
    LogLine(L"StartCtrlDispatcher");
    if (!service.StartCtrlDispatcher()) {
        const DWORD error = plat::LastError();
        LogLine(FormatW(L"StartCtrlDispatcher failed, error %lu", error));
        return static_cast<int>(error);
    }
    LogLine(L"StartCtrlDispatcher returned");
    return 0;
}
