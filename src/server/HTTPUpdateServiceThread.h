// The listener thread: owns the listening socket and serves every connection.
#pragma once

#include <string>

#include "platform/WinThread.h"
#include "threading/WinThreadEx.h"

class CHTTPUpdateServiceSocket;

class CHTTPUpdateServiceThread : public CWinThreadEx {
    DECLARE_DYNCREATE(CHTTPUpdateServiceThread)
    DECLARE_MESSAGE_MAP()

  public:
    // The start message, posted by the thread to itself, and the failure
    // notice it posts to the application thread when it cannot listen.
    static constexpr UINT kStartMessage = 0x0401;  // WM_USER + 1
    static constexpr int kListenBacklog = 5;

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

    // Opens the listening socket on every local address (backlog 5); on
    // failure tells the application thread with the start message id.
    void OnInitListener(WPARAM wParam, LPARAM lParam);

    // The framework's lines go to the application log.
    void LogInfoText(const std::wstring& line) override;
    void LogErrorText(const std::wstring& line) override;
};
