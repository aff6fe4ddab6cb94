// The listener thread: start-up, the listening socket, and clean-up at exit.
#include "server/HTTPUpdateServiceThread.h"

#include "common/LogSink.h"
#include "platform/AsyncSocket.h"
#include "platform/DescriptorLimit.h"
#include "platform/Handles.h"
#include "platform/ListenBacklog.h"
#include "platform/MessageQueue.h"
#include "platform/Win32Codes.h"
#include "server/HTTPUpdateServiceSocket.h"

const MessageMap* CHTTPUpdateServiceThread::GetThisMessageMap() {
    static const MessageMapEntry entries[] = {
        OnMessage<&CHTTPUpdateServiceThread::OnInitListener>(kStartMessage),
        OnMessage<&CHTTPUpdateServiceThread::OnCheckStalledTransfers>(kStallCheckMessage),
    };
    static const MessageMap map = MessageMapOf<CWinThreadEx>(entries);
    return &map;
}

// The start message is the one tracked message: it is timed and runs inside
// the framework's exception boundary.
CHTTPUpdateServiceThread::CHTTPUpdateServiceThread() : CWinThreadEx(kStartMessage, kStartMessage, kStartMessage) {}

CHTTPUpdateServiceThread::~CHTTPUpdateServiceThread() = default;

void CHTTPUpdateServiceThread::SetDefaultThreadName() { m_strThreadName = L"HTTPUpdateServiceThread"; }

BOOL CHTTPUpdateServiceThread::InitInstance() {
    if (!OnThreadStart(m_nStartMessage, 0, 0)) return FALSE;
    // Every client costs a descriptor: take all the system allows.
    plat::RaiseDescriptorLimit();
    m_pListenSocket = new CHTTPUpdateServiceSocket();
    m_pConsoleLines = std::make_unique<CConsoleLineBatch>();
    return TRUE;
}

BOOL CHTTPUpdateServiceThread::OnIdle(long count) {
    const BOOL more = CWinThreadEx::OnIdle(count);
    WriteGatheredConsoleLines();
    return more;
}

void CHTTPUpdateServiceThread::OnInitListener(WPARAM, LPARAM) {
    AppLog(L"Initialize Listener: PackagePath='%s', Port='%ld'", m_strPackagePath, m_nPort);
    m_pListenSocket->m_strPackagePath = GetPackagePath();

    // A port outside 0-65535 would be cut to its low 16 bits by the socket
    // layer and open some other port: refuse it as an invalid argument.
    // A listen that fails after the bind (another process may have started
    // listening on the port in between) is a failure too, not a success.
    // The backlog is the largest the system grants: a burst beyond it has
    // its handshakes dropped, and each such client waits a second or more
    // before it tries again.
    int error = static_cast<int>(WSAEINVAL);
    if (m_nPort >= 0 && m_nPort <= 65535) {
        if (m_pListenSocket->Create(static_cast<UINT>(m_nPort), SOCK_STREAM, CAsyncSocket::kAllEvents, nullptr) &&
            m_pListenSocket->Listen(plat::MaxListenBacklog())) {
            AppLog(L"CHTTPUpdateServiceThread Initialized!");
            StartStallTicker();
            if (CWinApp* app = AfxGetApp()) plat::PostToThread(app->m_nThreadID, kListeningMessage, 0, 0);
            return;
        }
        error = CAsyncSocket::GetLastError();
        m_pListenSocket->Close();
    }
    AppLog(L"CHTTPUpdateServiceThread Initialization failed! WSAErrorCode: %ld", error);
    if (CWinApp* app = AfxGetApp())
        plat::PostToThread(app->m_nThreadID, kStartMessage, static_cast<WPARAM>(static_cast<DWORD>(error)), 0);
}

void CHTTPUpdateServiceThread::OnCheckStalledTransfers(WPARAM, LPARAM) {
    CHTTPUpdateServiceSocket::AbandonStalledTransfers();
}

void CHTTPUpdateServiceThread::StartStallTicker() {
    if (m_pStallTicker != nullptr) return;
    auto* ticker = new StallTicker{plat::CreateEventObject(true, false), m_nThreadID, m_dwStallCheckInterval};
    if (ticker->stop != nullptr) {
        m_hStallTickerThread = plat::StartThread(&CHTTPUpdateServiceThread::StallTickerMain, ticker, false, nullptr);
        if (m_hStallTickerThread != nullptr) {
            m_pStallTicker = ticker;
            return;
        }
        plat::CloseHandleObject(ticker->stop);
    }
    // Without the ticker the stall rule still applies whenever a buffer is refilled.
    delete ticker;
}

void CHTTPUpdateServiceThread::StopStallTicker() {
    if (m_pStallTicker == nullptr) return;
    plat::SignalEvent(m_pStallTicker->stop);
    plat::WaitForObject(m_hStallTickerThread, INFINITE);
    plat::CloseHandleObject(m_hStallTickerThread);
    plat::CloseHandleObject(m_pStallTicker->stop);
    delete m_pStallTicker;
    m_pStallTicker = nullptr;
    m_hStallTickerThread = nullptr;
}

unsigned CHTTPUpdateServiceThread::StallTickerMain(void* argument) {
    const auto* ticker = static_cast<const StallTicker*>(argument);
    // A full queue or an ended listener only drops one check; the next comes soon.
    while (plat::WaitForObject(ticker->stop, ticker->interval) == WAIT_TIMEOUT)
        plat::PostToThread(ticker->targetThread, kStallCheckMessage, 0, 0);
    return 0;
}

int CHTTPUpdateServiceThread::ExitInstance() {
    StopStallTicker();
    if (m_pListenSocket != nullptr) {
        m_pListenSocket->Close();
        delete m_pListenSocket;
        m_pListenSocket = nullptr;
    }
    // Connections own themselves; the thread that delivers their
    // notifications is ending, so close and release every one still open.
    CHTTPUpdateServiceSocket::CloseAllConnections();
    const int exitCode = CWinThreadEx::ExitInstance();
    m_pConsoleLines.reset();  // the thread's last console lines go out
    return exitCode;
}

void CHTTPUpdateServiceThread::LogInfoText(const std::wstring& line) { AppLog(L"%s", line); }
void CHTTPUpdateServiceThread::LogErrorText(const std::wstring& line) { AppLog(L"%s", line); }
