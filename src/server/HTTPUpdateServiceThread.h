// The listener thread: owns the listening socket and the connection set, and runs their timers in its loop.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "server/ListenerEvents.h"
#include "server/ServerConfig.h"
#include "threading/WinThread.h"
#include "threading/WinThreadEx.h"

class CConnectionSet;
class CHTTPUpdateServiceListenSocket;
class CLogLineBatch;

class CHTTPUpdateServiceThread : public CWinThreadEx {
    DECLARE_DYNCREATE(CHTTPUpdateServiceThread)
    DECLARE_MESSAGE_MAP()

  public:
    // The start message, posted by the thread to itself.
    static constexpr UINT kStartMessage = 0x0401;  // WM_USER + 1
    // Posted by a listing worker when a document is ready: it wakes the
    // loop, which hands the document out after the message.
    static constexpr UINT kListingReadyMessage = 0x0402;  // WM_USER + 2
    // Posted by FinishRepliesInFlight; its lParam is the event to signal.
    static constexpr UINT kFinishRepliesMessage = 0x0404;  // WM_USER + 4

    // A listener with the server's settings that tells `events` (when not
    // null) whether its socket listens; its owner's StopThread waits
    // `stopTimeoutMs` for it.
    CHTTPUpdateServiceThread(std::shared_ptr<const CServerConfig> config, IListenerEvents* events,
                             DWORD stopTimeoutMs = kStopTimeoutMs);
    // For creation by class: the default settings, and nobody to tell.
    CHTTPUpdateServiceThread();
    ~CHTTPUpdateServiceThread() override;

    // The server's settings (port, address, packages folder, limits): set
    // while the thread is still suspended, read-only afterwards.
    std::shared_ptr<const CServerConfig> m_pConfig;

    // The listening socket object: created in InitInstance, opened by
    // OnInitListener, destroyed in ExitInstance.
    CHTTPUpdateServiceListenSocket* m_pListenSocket = nullptr;

    void SetDefaultThreadName() override;
    BOOL InitInstance() override;
    int ExitInstance() override;

    // Opens the listening socket on the configured address (every address
    // when none is given), and tells its events whether it listens.
    void OnInitListener(WPARAM wParam, LPARAM lParam);

    // The owner's thread, before StopThread: the listener stops accepting
    // (a socket handed over by the service manager keeps the clients that
    // come meanwhile for the next process) and reading requests, closes idle
    // connections, and lets the replies already queued finish, for the
    // limits' nStopFinishMs at most. Returns when they are done or the time
    // is over; `waiting` is called about every second meanwhile.
    void FinishRepliesInFlight(const std::function<void()>& waiting);
    void OnFinishReplies(WPARAM wParam, LPARAM lParam);

    // The framework's lines go to the application log.
    void LogInfoText(const std::wstring& line) override;
    void LogErrorText(const std::wstring& line) override;

    // After every pass over the thread's notifications (and before it
    // waits): what connections reported is acted on, and the periodic check
    // runs when it is due.
    void OnPassEnded(bool beforeWait) override;
    // The wait ends in time for the next periodic check.
    DWORD MessageWaitTimeout() override;

  private:
    void RunPeriodicCheck(std::uint64_t now);
    // While replies finish: signals the owner once none is left or the time is over.
    void CheckRepliesFinished(std::uint64_t now);

    IListenerEvents* const m_pEvents;
    std::unique_ptr<CConnectionSet> m_pConnections;
    // Gathers the thread's log lines from start to exit; the message loop
    // writes them at the end of every pass over its notifications.
    std::unique_ptr<CLogLineBatch> m_pLogLines;
    std::uint64_t m_nNextCheckMs = 0;  // 0: no checks (not listening)
    std::uint64_t m_nPassEndedMs = 0;  // the tick count when the last pass ended
    HANDLE m_evRepliesFinished = nullptr;  // while replies finish: the owner's event (owned)
    std::uint64_t m_nFinishDeadlineMs = 0;
};
