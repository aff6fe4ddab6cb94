// The application thread's life: start-up, listener (re)starts, retries and exit.
#include "app/VelmoraServiceApp.h"
#include "platform/AsyncSocket.h"
#include "platform/ComponentLibrary.h"
#include "platform/Handles.h"
#include "platform/Win32Codes.h"
#include "server/HTTPUpdateServiceThread.h"

const MessageMap* CVelmoraServiceApp::GetThisMessageMap() {
    static const MessageMapEntry entries[] = {
        OnMessage<&CVelmoraServiceApp::OnSocketInitFailed>(CHTTPUpdateServiceThread::kStartMessage),
    };
    static const MessageMap map = MessageMapOf<CWinApp>(entries);
    return &map;
}

BOOL CVelmoraServiceApp::InitInstance() {
    CWinApp::InitInstance();
    if (!m_strLogFile.empty()) Log(L"Logging to: '%s'", m_strLogFile);
    if (!plat::InitSockets()) {
        Log(L"AfxSocketInit FAILED");
        return FALSE;
    }
    if (!plat::InitComponentLibrary()) {
        Log(L"AfxOleInit FAILED");
        return FALSE;
    }
    // Start-up is over when the listener cannot even be created; the thread
    // stays in its message loop until it is told to quit.
    if (!ReInitThread()) ExitInstance();
    return TRUE;
}

bool CVelmoraServiceApp::ReInitThread() {
    if (m_pListenerThread != nullptr) {
        Log(L"ReInitThread: Stopping CHTTPUpdateServiceThread");
        // A listener that does not stop within its time is left to itself.
        m_pListenerThread->StopThread();
    }
    m_pListenerThread = dynamic_cast<CHTTPUpdateServiceThread*>(
        AfxBeginThread(RUNTIME_CLASS(CHTTPUpdateServiceThread), THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED));
    if (m_pListenerThread == nullptr) {
        Log(L"ReInitThread: Could not create CHTTPUpdateServiceThread!");
        return false;
    }
    m_pListenerThread->m_nPort = m_nServerPort;
    m_pListenerThread->m_strPackagePath = m_strPackagesPath;
    m_pListenerThread->ResumeThread();
    return true;
}

void CVelmoraServiceApp::OnSocketInitFailed(WPARAM, LPARAM) {
    Log(L"OnSocketInitFailed: Seems init failed!");
    ++m_nSocketInitFailures;
    if (m_nSocketInitFailures > MAX_SOCKET_INIT_FAILURES) {
        Log(L"OnSocketInitFailed: Failed too much! Aborting startup!");
        ExitInstance();
        return;
    }
    Log(L"OnSocketInitFailed: Will retry in 1 seconds ...");
    plat::SleepMilliseconds(SOCKET_RETRY_DELAY_MS);
    ReInitThread();
}

int CVelmoraServiceApp::ExitInstance() {
    if (m_pListenerThread != nullptr) m_pListenerThread->StopThread();
    m_pListenerThread = nullptr;
    const int result = CWinApp::ExitInstance();
    if (m_bConsoleMode) AfxSetCurrentApp(nullptr);
    return result;
}
