// The listener thread: owns the listening socket and serves every connection.
#pragma once

#include <memory>
#include <string>

#include "threading/WinThread.h"
#include "threading/WinThreadEx.h"

class CHTTPUpdateServiceSocket;
class CConsoleLineBatch;

class CHTTPUpdateServiceThread : public CWinThreadEx {
    DECLARE_DYNCREATE(CHTTPUpdateServiceThread)
    DECLARE_MESSAGE_MAP()

  public:
    // The start message, posted by the thread to itself, and the failure
    // notice it posts to the application thread when it cannot listen.
    static constexpr UINT kStartMessage = 0x0401;  // WM_USER + 1
    // Posted to the application thread once the socket listens (the failure
    // notice above carries the socket error as its wParam).
    static constexpr UINT kListeningMessage = 0x0403;  // WM_USER + 3
    // Posted to the thread every kStallCheckInterval ms while it listens:
    // apply the stall rule to connections whose client stopped reading.
    static constexpr UINT kStallCheckMessage = 0x0402;  // WM_USER + 2
    static constexpr DWORD kStallCheckInterval = 5000;

    CHTTPUpdateServiceThread();
    ~CHTTPUpdateServiceThread() override;

    // Set by the application while the thread is still suspended.
    int m_nPort = 80;
    std::wstring m_strPackagePath;

    // The listening socket object: created in InitInstance, opened by
    // OnInitListener, destroyed in ExitInstance.
    CHTTPUpdateServiceSocket* m_pListenSocket = nullptr;

    std::wstring GetPackagePath() const { return m_strPackagePath; }

    void SetDefaultThreadName() override;
    BOOL InitInstance() override;
    int ExitInstance() override;

    // Opens the listening socket on every local address (with the largest
    // backlog the system grants) and starts the stall checks; on failure
    // tells the application thread with the start message id.
    void OnInitListener(WPARAM wParam, LPARAM lParam);
    // Abandons and closes the connections whose transfers have stalled.
    void OnCheckStalledTransfers(WPARAM wParam, LPARAM lParam);

    // Milliseconds between stall checks; tests set it before the thread runs.
    DWORD m_dwStallCheckInterval = kStallCheckInterval;

    // The framework's lines go to the application log.
    void LogInfoText(const std::wstring& line) override;
    void LogErrorText(const std::wstring& line) override;

    // Before the thread waits for its next notification: the console lines
    // of everything handled since the last wait go out together.
    BOOL OnIdle(long count) override;

  private:
    // A small thread that posts kStallCheckMessage to this one at every
    // interval until it is told to stop: the message loop itself has no
    // timer, and a wait costs nothing between the posts.
    void StartStallTicker();
    void StopStallTicker();
    static unsigned StallTickerMain(void* argument);

    struct StallTicker {
        HANDLE stop;        // manual-reset event: end the ticker
        DWORD targetThread;  // the listener thread
        DWORD interval;
    };
    StallTicker* m_pStallTicker = nullptr;  // shared with the ticker thread until it has ended
    // Holds the thread's console lines from start to exit; written at every idle pass.
    std::unique_ptr<CConsoleLineBatch> m_pConsoleLines;
    HANDLE m_hStallTickerThread = nullptr;
};
