// The listener thread: start-up, the listening socket, the loop's timers, and clean-up at exit.
#include "server/HTTPUpdateServiceThread.h"

#include "common/LogSink.h"
#include "platform/ActivatedSocket.h"
#include "platform/AsyncSocket.h"
#include "platform/DescriptorLimit.h"
#include "platform/Handles.h"
#include "platform/ListenBacklog.h"
#include "platform/MessageQueue.h"
#include "platform/ServiceWatchdog.h"
#include "platform/Win32Codes.h"
#include "server/ConnectionSet.h"
#include "server/ListenSocket.h"
#include "threading/Clock.h"

const MessageMap* CHTTPUpdateServiceThread::GetThisMessageMap() {
    static const MessageMapEntry entries[] = {
        OnMessage<&CHTTPUpdateServiceThread::OnInitListener>(kStartMessage),
        OnMessage<&CHTTPUpdateServiceThread::OnFinishReplies>(kFinishRepliesMessage),
    };
    static const MessageMap map = MessageMapOf<CWinThreadEx>(entries);
    return &map;
}

// The start message is the one tracked message: it is timed and runs inside
// the framework's exception boundary.
CHTTPUpdateServiceThread::CHTTPUpdateServiceThread(std::shared_ptr<const CServerConfig> config, IListenerEvents* events,
                                                   DWORD stopTimeoutMs)
    : CWinThreadEx(kStartMessage, kStartMessage, kStartMessage, stopTimeoutMs),
      m_pConfig(std::move(config)),
      m_pEvents(events) {}

CHTTPUpdateServiceThread::CHTTPUpdateServiceThread() : CHTTPUpdateServiceThread(nullptr, nullptr) {}

CHTTPUpdateServiceThread::~CHTTPUpdateServiceThread() = default;

void CHTTPUpdateServiceThread::SetDefaultThreadName() { m_strThreadName = L"HTTPUpdateServiceThread"; }

BOOL CHTTPUpdateServiceThread::InitInstance() {
    if (!OnThreadStart(m_nStartMessage, 0, 0)) return FALSE;
    if (!m_pConfig) m_pConfig = std::make_shared<const CServerConfig>();
    // Every client costs a descriptor: take all the system allows.
    plat::RaiseDescriptorLimit();
    const DWORD self = m_nThreadID;
    m_pConnections = std::make_unique<CConnectionSet>(
        m_pConfig, [self] { plat::PostToThread(self, kListingReadyMessage, 0, 0); });
    m_pListenSocket = new CHTTPUpdateServiceListenSocket(*m_pConnections);
    m_pLogLines = std::make_unique<CLogLineBatch>();
    return TRUE;
}

void CHTTPUpdateServiceThread::OnInitListener(WPARAM, LPARAM) {
    const int port = m_pConfig->m_nPort;
    AppLog(L"Initialize Listener: PackagePath='%s', Port='%ld'", m_pConfig->m_strPackagePath, port);

    // A port outside 0-65535 would be cut to its low 16 bits by the socket
    // layer and open some other port: refuse it as an invalid argument.
    // A listen that fails after the bind (another process may have started
    // listening on the port in between) is a failure too, not a success.
    int error = static_cast<int>(WSAEINVAL);
    if (port >= 0 && port <= 65535) {
        const std::wstring& configured = m_pConfig->m_strServerAddress;
        const wchar_t* address = configured.empty() ? nullptr : configured.c_str();
        // A socket the service manager listens on for us (socket activation)
        // is used as it is; binding the port ourselves would fail beside it.
        const plat::SocketHandle handed = plat::ActivatedListenSocket();
        const long events = CHTTPUpdateServiceListenSocket::kSelectedEvents;
        const bool listening =
            handed != plat::kInvalidSocket
                ? m_pListenSocket->AttachListening(handed, static_cast<UINT>(port), events)
                : m_pListenSocket->Create(static_cast<UINT>(port), SOCK_STREAM, events, address) &&
                      m_pListenSocket->Listen(plat::MaxListenBacklog());
        if (listening) {
            if (handed != plat::kInvalidSocket) AppLog(L"Listening on the socket handed over by the service manager");
            else if (address == nullptr && !m_pListenSocket->IsIPv6())
                AppLog(L"IPv6 is not available on this system: listening on IPv4 addresses only");
            AppLog(L"CHTTPUpdateServiceThread Initialized!");
            m_nNextCheckMs = TickCount64() + m_pConfig->limits.nCheckIntervalMs;
            if (m_pEvents) m_pEvents->OnListening();
            return;
        }
        error = CAsyncSocket::GetLastError();
        m_pListenSocket->Close();
    }
    AppLog(L"CHTTPUpdateServiceThread Initialization failed! WSAErrorCode: %ld", error);
    if (m_pEvents) m_pEvents->OnListenFailed(static_cast<DWORD>(error));
}

void CHTTPUpdateServiceThread::OnPassEnded(bool beforeWait) {
    if (m_pConnections) {
        m_pConnections->AfterNotification();
        // A connection went: a listener that ran out of descriptors accepts again.
        if (m_pListenSocket->IsAcceptingPaused() && !m_pConnections->NearDescriptorLimit())
            m_pListenSocket->ResumeAccepting();
        const std::uint64_t now = TickCount64();
        m_nPassEndedMs = now;
        if (m_nNextCheckMs != 0 && now >= m_nNextCheckMs) RunPeriodicCheck(now);
        if (m_evRepliesFinished != nullptr) CheckRepliesFinished(now);
    }
    // Then the lines of the pass, those of the work above included.
    CWinThreadEx::OnPassEnded(beforeWait);
}

DWORD CHTTPUpdateServiceThread::MessageWaitTimeout() {
    if (m_nNextCheckMs == 0) return plat::kWaitForever;
    // The time at the end of the last pass: the thread ends a pass before it
    // waits, and a check a moment late does no harm (no clock reading per message).
    return m_nPassEndedMs >= m_nNextCheckMs ? 0 : static_cast<DWORD>(m_nNextCheckMs - m_nPassEndedMs);
}

void CHTTPUpdateServiceThread::RunPeriodicCheck(std::uint64_t now) {
    m_nNextCheckMs = now + m_pConfig->limits.nCheckIntervalMs;
    // While replies finish, the loop wakes for the end of their time as well.
    if (m_evRepliesFinished != nullptr && m_nFinishDeadlineMs < m_nNextCheckMs)
        m_nNextCheckMs = m_nFinishDeadlineMs > now ? m_nFinishDeadlineMs : now + 1;
    // The loop dispatches: the service's watchdog hears that the listener is alive.
    plat::ServiceHeartbeat();
    if (m_pListenSocket->m_hSocket != plat::kInvalidSocket) m_pListenSocket->RenewAccepting();
    m_pConnections->CheckConnections();
}

void CHTTPUpdateServiceThread::FinishRepliesInFlight(const std::function<void()>& waiting) {
    HANDLE finished = plat::CreateEventObject(true, false);
    if (finished == nullptr) return;
    HANDLE forListener = plat::DuplicateHandleObject(finished);
    // The settings were made before the thread ran and do not change.
    const DWORD limit = m_pConfig ? m_pConfig->limits.nStopFinishMs : 0;
    if (forListener == nullptr ||
        !PostMessage(kFinishRepliesMessage, 0, reinterpret_cast<LPARAM>(forListener))) {
        if (forListener != nullptr) plat::CloseHandleObject(forListener);
        plat::CloseHandleObject(finished);
        return;
    }
    // The listener signals at the end of the time; the margin covers a loop
    // busy with a long notification.
    constexpr DWORD kSlice = 1000;
    for (DWORD waited = 0; waited < limit + 2 * kSlice; waited += kSlice) {
        if (plat::WaitForObject(finished, kSlice) == WAIT_OBJECT_0) break;
        if (waiting) waiting();
    }
    plat::CloseHandleObject(finished);
}

void CHTTPUpdateServiceThread::OnFinishReplies(WPARAM, LPARAM lParam) {
    HANDLE finished = reinterpret_cast<HANDLE>(lParam);
    if (m_evRepliesFinished != nullptr || !m_pConnections) {
        plat::SignalEvent(finished);
        plat::CloseHandleObject(finished);
        return;
    }
    m_evRepliesFinished = finished;
    const std::uint64_t now = TickCount64();
    m_nFinishDeadlineMs = now + m_pConfig->limits.nStopFinishMs;
    // No new client: the port closes (a handed-over socket stays open with
    // the service manager, whose backlog keeps the clients that come now).
    m_pListenSocket->Close();
    m_pConnections->EndAfterQueuedReplies();
    m_pConnections->EndWaitsForFirstRequests();
    const std::size_t owing = m_pConnections->RepliesInFlight();
    if (owing != 0)
        AppLog(L"Stopping: waiting up to %lu seconds for the replies to %u clients",
               static_cast<unsigned long>(m_pConfig->limits.nStopFinishMs / 1000), static_cast<unsigned>(owing));
    if (m_nNextCheckMs == 0 || m_nFinishDeadlineMs < m_nNextCheckMs) m_nNextCheckMs = m_nFinishDeadlineMs;
    CheckRepliesFinished(now);
}

void CHTTPUpdateServiceThread::CheckRepliesFinished(std::uint64_t now) {
    m_pConnections->EndWaitsForFirstRequests();
    const std::size_t owing = m_pConnections->RepliesInFlight();
    if (owing != 0 && now < m_nFinishDeadlineMs) return;
    if (owing != 0)
        AppLog(L"Stopping: the replies to %u clients did not finish in time and are cut", static_cast<unsigned>(owing));
    plat::SignalEvent(m_evRepliesFinished);
    plat::CloseHandleObject(m_evRepliesFinished);
    m_evRepliesFinished = nullptr;
}

int CHTTPUpdateServiceThread::ExitInstance() {
    if (m_evRepliesFinished != nullptr) {
        plat::SignalEvent(m_evRepliesFinished);
        plat::CloseHandleObject(m_evRepliesFinished);
        m_evRepliesFinished = nullptr;
    }
    m_nNextCheckMs = 0;
    if (m_pListenSocket != nullptr) {
        m_pListenSocket->Close();
        delete m_pListenSocket;
        m_pListenSocket = nullptr;
    }
    // The thread that delivers the connections' notifications is ending:
    // every connection still open is closed, and the listing workers stop.
    m_pConnections.reset();
    const int exitCode = CWinThreadEx::ExitInstance();
    m_pLogLines.reset();  // the thread's last log lines go out
    return exitCode;
}

void CHTTPUpdateServiceThread::LogInfoText(const std::wstring& line) { AppLog(L"%s", line); }
void CHTTPUpdateServiceThread::LogErrorText(const std::wstring& line) { AppLog(L"%s", line); }
