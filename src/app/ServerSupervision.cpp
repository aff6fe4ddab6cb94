// The application thread's life: start-up, listener (re)starts, retries and exit.
#include <new>

#include "app/ApplicationRun.h"
#include "app/VelmoraService.h"
#include "app/VelmoraServiceApp.h"
#include "platform/AsyncSocket.h"
#include "platform/ComponentLibrary.h"
#include "platform/Handles.h"
#include "platform/MessageQueue.h"
#include "platform/Win32Codes.h"
#include "server/HTTPUpdateServiceThread.h"
#include "threading/Clock.h"

const MessageMap* CVelmoraServiceApp::GetThisMessageMap() {
    static const MessageMapEntry entries[] = {
        OnMessage<&CVelmoraServiceApp::OnSocketInitFailed>(kListenFailedMessage),
        OnMessage<&CVelmoraServiceApp::OnListenerListening>(kListeningMessage),
    };
    static const MessageMap map = MessageMapOf<CWinApp>(entries);
    return &map;
}

namespace {

// The error of a failed call, or `fallback` when the call left none.
DWORD LastErrorOr(DWORD fallback) {
    const DWORD error = plat::LastError();
    return error != NO_ERROR ? error : fallback;
}
}  // namespace

BOOL CVelmoraServiceApp::InitInstance() {
    CWinApp::InitInstance();
    if (!m_strLogFile.empty()) Log(L"Logging to: '%s'", m_strLogFile);
    WarnIfPackagesFolderIsOpen();
    if (!plat::InitSockets()) {
        const DWORD error = LastErrorOr(ERROR_DLL_INIT_FAILED);
        Log(L"AfxSocketInit FAILED");
        if (m_pService) m_pService->OnServerStartFailed(L"the socket library could not be started", error);
        return FALSE;
    }
    if (!plat::InitComponentLibrary()) {
        const DWORD error = LastErrorOr(ERROR_DLL_INIT_FAILED);
        Log(L"AfxOleInit FAILED");
        if (m_pService) m_pService->OnServerStartFailed(L"the component library could not be started", error);
        return FALSE;
    }
    // Start-up is over when the listener cannot even be created; in console
    // mode the thread stays in its message loop until it is told to quit.
    if (!ReInitThread()) {
        if (m_pService) {
            m_pService->OnServerStartFailed(L"the listener thread could not be created", ERROR_NOT_ENOUGH_MEMORY);
            return FALSE;
        }
        ExitInstance();
    }
    return TRUE;
}

void CVelmoraServiceApp::GiveUpStart(const std::wstring& reason, DWORD error) {
    m_pService->OnServerStartFailed(reason, error);
    // ExitInstance runs once the loop has the quit message.
    plat::PostToThread(m_nThreadID, WM_QUIT, 0, 0);
}

void CVelmoraServiceApp::OnListenerListening(WPARAM, LPARAM) {
    if (m_pService) m_pService->OnServerListening();
}

bool CVelmoraServiceApp::ReInitThread() {
    if (m_pListenerThread != nullptr) {
        Log(L"ReInitThread: Stopping CHTTPUpdateServiceThread");
        if (m_pService) m_pService->OnServerStopping();
        // A listener that does not stop within its time is left to itself
        // (and a second one started); the end of the program waits for it.
        StopListener();
    }
    m_pListenerThread = CreateListenerThread(ServerConfig(), this);
    if (m_pListenerThread == nullptr) {
        Log(L"ReInitThread: Could not create CHTTPUpdateServiceThread!");
        return false;
    }
    m_pListenerThread->ResumeThread();
    return true;
}

std::shared_ptr<const CServerConfig> CVelmoraServiceApp::ServerConfig() {
    // Made once, from the options as they stand when the first listener starts.
    if (!m_pServerConfig) {
        auto config = std::make_shared<CServerConfig>();
        config->m_nPort = m_nServerPort;
        config->m_strServerAddress = m_strServerAddress;
        config->m_strPackagePath = m_strPackagesPath;
        config->m_bHeadSizes = m_bHeadSizes;
        config->m_bMetrics = m_bMetrics;
        config->m_pFigures = m_pFigures;
        m_pServerConfig = std::move(config);
    }
    return m_pServerConfig;
}

void CVelmoraServiceApp::OnSocketInitFailed(WPARAM wParam, LPARAM) {
    if (wParam != 0) m_dwLastSocketError = static_cast<DWORD>(wParam);
    Log(L"OnSocketInitFailed: Seems init failed!");
    ++m_nSocketInitFailures;
    if (m_nSocketInitFailures > MAX_SOCKET_INIT_FAILURES) {
        Log(L"OnSocketInitFailed: Failed too much! Aborting startup!");
        if (m_pService) {
            GiveUpStart(FormatW(L"could not listen on port %ld after %d attempts", m_nServerPort, m_nSocketInitFailures),
                        m_dwLastSocketError);
            return;
        }
        ExitInstance();
        return;
    }
    Log(L"OnSocketInitFailed: Will retry in 1 seconds ...");
    if (m_pService) m_pService->OnServerRetrying();
    plat::SleepMilliseconds(SOCKET_RETRY_DELAY_MS);
    if (!ReInitThread() && m_pService)
        GiveUpStart(L"the listener thread could not be created", ERROR_NOT_ENOUGH_MEMORY);
}

CHTTPUpdateServiceThread* CVelmoraServiceApp::CreateListenerThread(std::shared_ptr<const CServerConfig> config,
                                                                   IListenerEvents* events) {
    auto* listener = new (std::nothrow) CHTTPUpdateServiceThread(std::move(config), events);
    if (listener == nullptr) return nullptr;
    if (listener->CreateThread(CREATE_SUSPENDED)) return listener;
    delete listener;
    return nullptr;
}

void CVelmoraServiceApp::OnListening() { plat::PostToThread(m_nThreadID, kListeningMessage, 0, 0); }

void CVelmoraServiceApp::OnListenFailed(DWORD error) {
    plat::PostToThread(m_nThreadID, kListenFailedMessage, static_cast<WPARAM>(error), 0);
}

void CVelmoraServiceApp::StopListener() {
    // The listener deletes its own object when it ends: a handle of our own
    // tells whether it did.
    HANDLE thread = plat::DuplicateHandleObject(m_pListenerThread->m_hThread);
    if (m_pListenerThread->StopThread()) {
        if (thread != nullptr) plat::CloseHandleObject(thread);
    } else if (thread != nullptr) {
        m_lstUnstoppedListeners.push_back(thread);
    }
}

bool CVelmoraServiceApp::WaitForUnstoppedListeners(DWORD milliseconds) {
    const std::uint64_t deadline = TickCount64() + milliseconds;
    while (!m_lstUnstoppedListeners.empty()) {
        const std::uint64_t now = TickCount64();
        const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
        if (plat::WaitForObject(m_lstUnstoppedListeners.back(), left) != WAIT_OBJECT_0) return false;
        plat::CloseHandleObject(m_lstUnstoppedListeners.back());
        m_lstUnstoppedListeners.pop_back();
    }
    return true;
}

int CVelmoraServiceApp::ExitInstance() {
    if (m_pListenerThread != nullptr) {
        if (m_pService) m_pService->OnServerStopping();
        // Replies in flight finish first; the service says meanwhile that it is stopping.
        m_pListenerThread->FinishRepliesInFlight([this] {
            if (m_pService) m_pService->OnServerStopWaiting();
        });
        StopListener();
    }
    m_pListenerThread = nullptr;
    // A listener still running may log through this object (and the service
    // it reports to): the object stays when its thread ends, until the end
    // of the program.
    if (!m_lstUnstoppedListeners.empty()) {
        m_bAutoDelete = FALSE;
        KeepApplicationUntilProgramEnd(this);
    }
    const int result = CWinApp::ExitInstance();
    if (m_bConsoleMode) AfxSetCurrentApp(nullptr);
    return result;
}
