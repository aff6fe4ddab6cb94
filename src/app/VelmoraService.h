// The program's service class: carries the options to the application object and runs it as the service body.
#pragma once

#include <cstdint>
#include <string>

#include "app/ApplicationOptions.h"

#include "service/NTService.h"
#include "service/ServiceWatchdog.h"
#include "threading/Sync.h"

class CVelmoraService : public CNTService {
  public:
    CVelmoraService(const wchar_t* serviceName, const wchar_t* displayName, const wchar_t* description);
    ~CVelmoraService() override;

    // Reports start-pending, runs the application object on its own thread
    // and waits until that thread has ended. The service counts as running
    // only once the server listens (OnServerListening). When the application
    // gave up starting the server, the service stops as failed: Win32 exit
    // code 1066 (ERROR_SERVICE_SPECIFIC_ERROR) with the cause as the
    // service-specific exit code (or the cause itself as the Win32 exit code
    // when the options were refused), and an error event that says why.
    void ServiceMain(DWORD argc, wchar_t** argv) override;
    // Asks the application thread to quit and reports stop-pending.
    void OnStop() override;
    // Prints the usage text (resource_ids::kUsageText) to standard output.
    void ShowHelp() override;

    // Told by the application thread while the server comes up.
    // The server listens: running is reported, with the "started" event
    // (once). Run by a service manager that keeps no watchdog (Windows), the
    // program's own watchdog starts here: a listener that gives no heartbeat
    // for kServiceWatchdogPeriodMilliseconds then ends the process
    // (OnListenerHung), and the service manager's failure actions start the
    // service again. Console and foreground runs are not watched.
    void OnServerListening();
    // The listener is about to be stopped on purpose: the watchdog stops first.
    void OnServerStopping();
    // About every second while replies in flight finish after a stop
    // control: the next stop-pending checkpoint, with a wait hint that
    // covers the next second.
    void OnServerStopWaiting();
    // The port is tried again: the next start-pending checkpoint.
    void OnServerRetrying();
    // Start-up is given up: `error` becomes the service-specific exit code,
    // and "<reason>: <error>, <its text>" the text of the error event.
    void OnServerStartFailed(const std::wstring& reason, DWORD error);
    // The options cannot start a server: the service stops as failed with
    // `error` as its Win32 exit code (no service-specific code), and the
    // error event says why, as above.
    void OnServerStartRefused(const std::wstring& reason, DWORD error);

    // The application options from the command line (empty or 0: not given).
    ApplicationOptions m_options;

  private:
    // `refused`: `error` is the Win32 exit code rather than a service-specific one.
    void RecordStartFailure(const std::wstring& reason, DWORD error, bool refused);
    // The watchdog's hung action: an error event that says why, then the end
    // of the process with 1053 (ERROR_SERVICE_REQUEST_TIMEOUT), which the
    // service manager sees as a crash.
    void OnListenerHung(std::uint64_t silentMilliseconds);
    // True when the service manager started this service body (not the foreground mode).
    bool IsRunByServiceManager();

    // Guards the start state below, and keeps the running and stop-pending
    // reports of two threads in the order of their decisions.
    CCriticalSection m_csStart;
    DWORD m_dwStartCheckPoint = 1;
    DWORD m_dwStopCheckPoint = 1;
    bool m_bRunning = false;
    bool m_bStopRequested = false;
    bool m_bStartFailed = false;
    bool m_bStartRefused = false;  // m_dwStartError is the Win32 exit code, not a service-specific one
    DWORD m_dwStartError = 0;
    std::wstring m_strStartFailure;
    CServiceWatchdog m_watchdog;
};
