// The program's service class.
#include "app/VelmoraService.h"

#include "app/ApplicationRun.h"
#include "app/VelmoraServiceApp.h"
#include "common/Format.h"
#include "common/ResourceIds.h"
#include "common/ResourceText.h"
#include "common/TextTrim.h"
#include "platform/Console.h"
#include "platform/EventLog.h"
#include "platform/Handles.h"
#include "platform/MessageQueue.h"
#include "platform/ModuleFileName.h"
#include "platform/ServiceCodes.h"
#include "platform/ServiceManagerCodes.h"
#include "platform/ServiceWatchdog.h"
#include "platform/Win32Codes.h"

namespace {
using namespace resource_ids;

// Between two start-pending reports while the port is retried: the retry
// delay, the stop of the failed listener and the start of the next one.
constexpr DWORD kRetryWaitHint = CVelmoraServiceApp::SOCKET_RETRY_DELAY_MS + 2000;
// Between two stop-pending reports while replies in flight finish: one
// second of waiting and the margin of a busy machine.
constexpr DWORD kStopWaitHint = 3000;
// How long the service manager waits before it starts a failed service again.
constexpr DWORD kFailureRestartDelayMilliseconds = 5000;
}  // namespace

CVelmoraService::CVelmoraService(const wchar_t* serviceName, const wchar_t* displayName, const wchar_t* description)
    : CNTService(serviceName, displayName, description),
      m_watchdog(plat::kServiceWatchdogPeriodMilliseconds,
                 [this](std::uint64_t silentMilliseconds) { OnListenerHung(silentMilliseconds); }) {
    // The event source's message file is the program itself (its whole
    // path, however long), which carries the message table.
    m_strEventMessageFile = plat::ExecutableFilePath();
    m_dwStartType = SERVICE_AUTO_START;
    m_dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    // A crashed service is started again; one that gave up on its port is
    // not (it would only fail again while the port is taken).
    m_dwFailureRestartDelay = kFailureRestartDelayMilliseconds;
}

CVelmoraService::~CVelmoraService() = default;

void CVelmoraService::ServiceMain(DWORD, wchar_t**) {
    ReportStatus(SERVICE_START_PENDING, 1, 1000);

    DWORD error = NO_ERROR;
    // A refusal is reported by the application, which recorded why.
    if (RunApplication(this, m_options, nullptr, &error) == ApplicationRunResult::ThreadNotCreated)
        OnServerStartFailed(L"the main thread could not be created", error);

    bool failed;
    {
        CSingleLock lock(m_csStart);
        failed = m_bStartFailed;
    }
    if (failed) {
        if (m_bEventLogEnabled)
            m_eventLog.Report(EVENTLOG_ERROR_TYPE, MapEventId(kEventProcessStartFailed),
                              {m_strDisplayName, m_strStartFailure});
        if (m_bStartRefused) throw CNTServiceTerminateException(m_dwStartError, 0);
        throw CNTServiceTerminateException(ERROR_SERVICE_SPECIFIC_ERROR, m_dwStartError);
    }
    if (m_bEventLogEnabled) {
        const wchar_t* name = m_strDisplayName.c_str();
        m_eventLog.Report(EVENTLOG_INFORMATION_TYPE, kEventStopped, 1, &name);
    }
}

void CVelmoraService::OnServerListening() {
    CSingleLock lock(m_csStart);
    // A stop that came first stays the last word.
    if (m_bRunning || m_bStopRequested) return;
    m_bRunning = true;
    // The event before the report: whoever sees the service running (and
    // sends it requests) finds "started" ahead of the lines of the requests.
    if (m_bEventLogEnabled) {
        const wchar_t* name = m_strDisplayName.c_str();
        m_eventLog.Report(EVENTLOG_INFORMATION_TYPE, kEventStarted, 1, &name);
    }
    ReportStatus(SERVICE_RUNNING);
    if (IsRunByServiceManager() && !plat::ServiceManagerKeepsWatchdog()) m_watchdog.Start();
}

void CVelmoraService::OnServerStopping() { m_watchdog.Stop(); }

void CVelmoraService::OnServerStopWaiting() {
    CSingleLock lock(m_csStart);
    if (m_bStopRequested) ReportStatus(SERVICE_STOP_PENDING, ++m_dwStopCheckPoint, kStopWaitHint);
}

bool CVelmoraService::IsRunByServiceManager() {
    CSingleLock lock(m_csStatus);
    return m_hStatus != nullptr;
}

void CVelmoraService::OnListenerHung(std::uint64_t silentMilliseconds) {
    // Nothing here waits for the application's log lock: the hung listener may hold it.
    if (m_bEventLogEnabled) {
        const std::wstring reason =
            FormatW(L"the listener thread gave no sign of life for %llu seconds", silentMilliseconds / 1000);
        m_eventLog.Report(EVENTLOG_ERROR_TYPE, MapEventId(kEventHung), {m_strDisplayName, reason});
    }
    plat::EndProcessAtOnce(ERROR_SERVICE_REQUEST_TIMEOUT);
}

void CVelmoraService::OnServerRetrying() {
    CSingleLock lock(m_csStart);
    if (m_bRunning || m_bStopRequested) return;
    ReportStatus(SERVICE_START_PENDING, ++m_dwStartCheckPoint, kRetryWaitHint);
}

void CVelmoraService::OnServerStartFailed(const std::wstring& reason, DWORD error) {
    RecordStartFailure(reason, error, false);
}

void CVelmoraService::OnServerStartRefused(const std::wstring& reason, DWORD error) {
    RecordStartFailure(reason, error, true);
}

void CVelmoraService::RecordStartFailure(const std::wstring& reason, DWORD error, bool refused) {
    CSingleLock lock(m_csStart);
    m_bStartFailed = true;
    m_bStartRefused = refused;
    m_dwStartError = error;
    m_strStartFailure = FormatW(L"%s: %lu, %s", reason, error, WithoutTrailingWhitespace(GetSystemErrorText(error)));
}

void CVelmoraService::OnStop() {
    // The pending state is reported before the application thread is told
    // to quit: once it quits, the service body may return, the framework may
    // report SERVICE_STOPPED and (in the foreground mode, where a console
    // break calls this on a thread of its own) the service object may be
    // gone. Nothing here may touch the object after the post.
    {
        CSingleLock lock(m_csStart);
        m_bStopRequested = true;
        ReportStatus(SERVICE_STOP_PENDING, 1, 1100);
    }
    if (CWinApp* app = AfxGetApp()) plat::PostToThread(app->m_nThreadID, WM_QUIT, 0, 0);
}

void CVelmoraService::ShowHelp() { plat::WriteStandardOutput(resources::LoadResourceString(kUsageText)); }
