// The program's application object: owns the log, starts, restarts and stops the listener.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/GatheredLines.h"
#include "app/LogLinePrefix.h"
#include "common/Format.h"
#include "server/ListenerEvents.h"
#include "threading/RecursiveRWLock.h"
#include "threading/WinThread.h"

class CVelmoraService;
class CHTTPUpdateServiceThread;
struct CServerConfig;
struct CServerFigures;

class CVelmoraServiceApp : public CWinApp, private IListenerEvents {
    DECLARE_MESSAGE_MAP()

  public:
    // Posted to the application thread by its listener's events: the socket
    // cannot listen (wParam: the socket error), or it listens. The first has
    // the listener's start message number, as peers of the program expect.
    static constexpr UINT kListenFailedMessage = 0x0401;  // WM_USER + 1
    static constexpr UINT kListeningMessage = 0x0403;     // WM_USER + 3

    // Listener start-up is abandoned on the 21st failure; restarts are one second apart.
    static constexpr int MAX_SOCKET_INIT_FAILURES = 20;
    static constexpr unsigned SOCKET_RETRY_DELAY_MS = 1000;

    // `service` is the owning service, or null in console mode.
    explicit CVelmoraServiceApp(CVelmoraService* service);
    ~CVelmoraServiceApp() override;

    // One log line to every configured output: the log file, the event log
    // (service mode with "-logevents"), the console (console mode). Callable
    // from any thread; the format is filled from typed arguments, and a
    // finished text must be passed as the argument of "%s".
    template <typename... Args>
    void Log(std::wstring_view format, const Args&... args) {
        // A line that no output takes is not even formatted.
        if (!HasLogOutput()) return;
        if constexpr (sizeof...(Args) == 0) {
            LogFormatted(format, nullptr, 0);
        } else {
            const fmt_detail::Arg list[] = {fmt_detail::MakeArg(args)...};
            LogFormatted(format, list, sizeof...(Args));
        }
    }
    // One line from a format and its arguments to every configured output.
    void LogFormatted(std::wstring_view format, const fmt_detail::Arg* args, std::size_t count);
    // One finished line to every configured output.
    void LogText(const std::wstring& line) {
        CWriteLockGuard guard(&m_logLock);
        WriteLogLine(line);
    }
    // Some output takes log lines: a log file, the event log, the console.
    // What decides it is set before the application thread starts.
    bool HasLogOutput() const { return !m_strLogFile.empty() || m_bConsoleMode || (m_pService != nullptr && m_bLogEvents); }

    // Application thread: starts the socket and component libraries and the listener.
    BOOL InitInstance() override;
    // Stops the listener; in console mode the object stops being the current application.
    int ExitInstance() override;
    // Stops the current listener, if any, and starts a new one with the
    // configured port, address and packages folder. False when it cannot be created.
    virtual bool ReInitThread();
    // Listener threads that were asked to stop and had not ended within
    // their time are waited for up to `milliseconds` more; true when none
    // runs any more.
    bool WaitForUnstoppedListeners(DWORD milliseconds);
    // The listener could not open its port (wParam: the socket error): retry
    // after a second, up to 20 times. Then console mode stays up without a
    // listener; a service gives up and ends the application thread, and the
    // service stops as failed.
    void OnSocketInitFailed(WPARAM wParam, LPARAM lParam);
    // The listener listens: a service now reports itself running.
    void OnListenerListening(WPARAM wParam, LPARAM lParam);

    // The server's settings, made from the options once, shared with every listener.
    std::shared_ptr<const CServerConfig> ServerConfig();
    // Takes a "-serveraddress:" value (empty: every address). False when it
    // names no address: the reason is logged, and a service is told that its
    // start is refused with ERROR_INVALID_PARAMETER.
    bool SetServerAddress(std::wstring_view value);

    std::wstring GetLogFile() const { return m_strLogFile; }
    void SetLogFile(const std::wstring& path) { m_strLogFile = path; }
    // The clock whose second the log file lines show (a test's own clock);
    // set before lines are logged.
    void SetLogClock(CLogLinePrefix::Clock clock) { m_logLinePrefix = CLogLinePrefix(clock); }

    // Appends one line (local date and time, process id, message, CR LF) to
    // the log file, if any; inside a log line batch (common/LogSink.h) the
    // line is gathered and appended with the thread's other lines.
    void WriteLogFileLine(const std::wstring& message);
    // The log file lines the calling thread gathered are appended now.
    void WriteGatheredLogFileLines();

    CRecursiveRWLock m_logLock;
    CVelmoraService* m_pService;
    CHTTPUpdateServiceThread* m_pListenerThread = nullptr;
    int m_nServerPort = 80;
    std::wstring m_strServerAddress;  // the address literal to listen on; empty: every address
    std::wstring m_strPackagesPath;
    std::wstring m_strLogFile;
    bool m_bLogEvents = false;
    bool m_bHeadSizes = false;  // "-headsizes": a "head" request of a package gets its size
    bool m_bConsoleMode = false;
    bool m_bMetrics = true;  // GET /metrics from loopback clients is answered
    int m_nSocketInitFailures = 0;
    DWORD m_dwLastSocketError = 0;  // of the last failed listener start

  protected:
    // A new listener thread with `config` that tells `events` whether it
    // listens, created suspended; null when it cannot be created.
    virtual CHTTPUpdateServiceThread* CreateListenerThread(std::shared_ptr<const CServerConfig> config,
                                                           IListenerEvents* events);

  private:
    // The listener's events (on the listener thread), passed on to the
    // application thread as its messages.
    void OnListening() override;
    void OnListenFailed(DWORD error) override;
    // Stops the current listener; one that does not end within its time is
    // remembered in m_lstUnstoppedListeners.
    void StopListener();
    // Steps of Log after the lock is held: file, event log, console.
    void WriteLogLine(const std::wstring& message);
    // Service mode: start-up is over without a server; the application
    // thread ends and the service stops as failed with `error`.
    void GiveUpStart(const std::wstring& reason, DWORD error);
    // Opens the log file, appends `bytes` (whole lines) and closes it again.
    void AppendToLogFile(std::string_view bytes);
    // At start: a packages folder that others than the administrators can
    // fill is warned of once, in the log file, on the console (console mode)
    // and as a warning event (service), whether or not log lines are copied there.
    void WarnIfPackagesFolderIsOpen();
    // Once when the log file starts failing and once when it can be written
    // again: to the event log (service) or standard error (console mode).
    void ReportLogFileState(bool failing, DWORD error);

    std::shared_ptr<const CServerConfig> m_pServerConfig;
    // What the listeners count, from the application's start on (the log's
    // dropped lines too).
    const std::shared_ptr<CServerFigures> m_pFigures;
    // Handles of listener threads that did not stop when asked (application thread only).
    std::vector<HANDLE> m_lstUnstoppedListeners;
    const bool m_bOwnedByService = m_pService != nullptr;  // as constructed
    bool m_bLogFileFailing = false;  // guarded by m_logLock
    // The log file line being written, as bytes, and the date, time and
    // process id that start it (guarded by m_logLock).
    std::string m_strLogBytes;
    CLogLinePrefix m_logLinePrefix;
    // Room for the message of the line being logged (guarded by m_logLock).
    std::wstring m_strLogMessage;
    // Log file lines of a thread's batch, appended together: a batch larger
    // than this is appended in parts (guarded by m_logLock).
    static constexpr std::size_t kMaxGatheredLogBytes = 64 * 1024;
    CGatheredLines<std::string> m_gatheredLogFileLines{kMaxGatheredLogBytes};
};

// The process's current application object, when it is a CVelmoraServiceApp.
CVelmoraServiceApp* GetVelmoraApp();

// Installs the program's log sink (common/LogSink.h): the lines of AppLog go
// to the current application object, and none when there is none.
void InstallApplicationLogSink();
