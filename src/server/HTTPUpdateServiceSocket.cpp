// One HTTP connection's notifications: reading and framing its requests, back-pressure, and when it ends.
#include "server/HTTPUpdateServiceSocket.h"

#include <memory>
#include <new>

#include "common/LogSink.h"
#include "platform/DefaultFolders.h"
#include "platform/DescriptorLimit.h"
#include "platform/Win32Codes.h"
#include "server/ConnectionRegistry.h"
#include "threading/Clock.h"

namespace {

// Descriptors kept free below the process's limit for the process's own
// (its sockets, package files, the log file): once the connections would
// take more, each new one closes the longest-idle connection.
bool NearDescriptorLimit(std::size_t connections) {
    const unsigned limit = plat::DescriptorLimit();
    if (limit == 0) return false;
    const unsigned reserve = limit / 4 < 64 ? limit / 4 : 64;
    return connections + reserve >= limit;
}

bool IsResourceShortage(int error) {
    return error == static_cast<int>(WSAEMFILE) || error == static_cast<int>(WSAENOBUFS);
}

}  // namespace

CHTTPUpdateServiceSocket::CHTTPUpdateServiceSocket() : m_strPackagePath(plat::DefaultPackagesFolder()) {}

CHTTPUpdateServiceSocket::~CHTTPUpdateServiceSocket() {
    if (m_bLiveConnection) connection_registry::Remove(this);
    connection_registry::ForgetListener(this);
}

// ---------------------------------------------------------------------------
// Notifications

void CHTTPUpdateServiceSocket::OnAccept(int errorCode) {
    // Every connection that waits, up to a bound: one per notification lets
    // a burst fill the system's queue while each accept waits behind the
    // notifications of every open connection; the bound keeps those served.
    for (int taken = 0; taken < kAcceptsPerNotification && AcceptWaitingConnection(); ++taken) {
    }
    CAsyncSocket::OnAccept(errorCode);
}

bool CHTTPUpdateServiceSocket::AcceptWaitingConnection() {
    try {
        auto connection = std::make_unique<CHTTPUpdateServiceSocket>();
        for (int attempt = 0; !Accept(*connection); ++attempt) {
            // Nothing was waiting after all, or the peer is gone.
            if (!IsResourceShortage(CAsyncSocket::GetLastError())) return false;
            // Out of descriptors: an idle connection makes room for the new
            // client; without one (or when the system as a whole is out),
            // accepting waits until a connection goes.
            if (attempt == 3 || !CloseLongestIdleConnection()) {
                connection_registry::PauseAccepting(this);
                return false;
            }
        }
        connection->m_strPackagePath = m_strPackagePath;
        connection_registry::Add(connection.get());
        connection->m_bLiveConnection = true;
        connection->NoteActivity();
        CHTTPUpdateServiceSocket* accepted = connection.release();
        if (NearDescriptorLimit(connection_registry::Count())) CloseLongestIdleConnection(accepted);
        return true;
    } catch (const std::bad_alloc&) {
        // No memory for the new connection: its client sees it close.
        return false;
    }
}

void CHTTPUpdateServiceSocket::OnReceive(int errorCode) {
    CAsyncSocket::OnReceive(errorCode);
    if (!m_bLiveConnection) return;
    // The lines of the requests handled here reach the console together.
    CConsoleLineBatch consoleLines;
    try {
        if (m_bLingering) {
            DrainLingering();
        } else if (ShouldPauseReading()) {
            // Not reading now means no further read notification until the
            // queue drains and ResumeReading reads again.
            m_bReadPaused = true;
        } else {
            ServeInput(true);
        }
    } catch (const std::bad_alloc&) {
        OnOutOfMemory();
    }
    FinishNotification();
}

void CHTTPUpdateServiceSocket::OnSend(int errorCode) {
    CConsoleLineBatch consoleLines;
    try {
        SendPending();
        ResumeReading();
    } catch (const std::bad_alloc&) {
        OnOutOfMemory();
    }
    CAsyncSocket::OnSend(errorCode);
    FinishNotification();
}

void CHTTPUpdateServiceSocket::OnClose(int errorCode) {
    CAsyncSocket::OnClose(errorCode);
    // Only accepted connections own themselves; a listening socket belongs to its thread object.
    if (!m_bLiveConnection) return;
    if (errorCode != 0 || m_bLingering) {
        // Broken (reset): nothing more reaches the peer. Lingering: the peer's close was awaited.
        CloseAndRelease();
        return;
    }
    // The peer shut down its sending side; it may still read what it asked for.
    CConsoleLineBatch consoleLines;
    m_bPeerClosed = true;
    try {
        // Some systems report a reset as an orderly close: a send tells.
        SendPending();
        if (!m_bReadPaused) ServeInput(true);
    } catch (const std::bad_alloc&) {
        OnOutOfMemory();
    }
    FinishNotification();
}

// ---------------------------------------------------------------------------
// Input

void CHTTPUpdateServiceSocket::ServeInput(bool readMore) {
    for (;;) {
        RequestHead head;
        while (!m_bBroken && !m_bCloseWhenSent) {
            if (ShouldPauseReading()) {
                m_bReadPaused = true;
                return;
            }
            const CRequestFramer::Step step = m_framer.Next(head);
            if (step == CRequestFramer::Step::NeedMore) break;
            ServeRequest(head, step == CRequestFramer::Step::HeadTooLarge);
        }
        if (m_bBroken || m_bCloseWhenSent) return;
        if (m_bInputEnded) {
            // The data ended inside a head: a client may end its last request with its close.
            if (m_framer.TakeUnfinishedHead(head)) ServeRequest(head, false);
            return;
        }
        if (!readMore) return;

        char* buffer = connection_registry::RequestBuffer();
        if (buffer == nullptr) throw std::bad_alloc();
        const int received = Receive(buffer, static_cast<int>(kRequestBufferSize), 0);
        if (received == 0) {
            m_bInputEnded = true;
            continue;
        }
        if (received < 0) {
            // Nothing waits now; any other error means the connection broke.
            if (CAsyncSocket::GetLastError() != static_cast<int>(WSAEWOULDBLOCK)) m_bBroken = true;
            return;
        }
        NoteActivity();
        m_framer.Receive(std::string_view(buffer, static_cast<std::size_t>(received)));
        // One read per notification (the next one comes while data waits),
        // except after the peer's close: then the rest is read now.
        readMore = m_bPeerClosed;
    }
}

void CHTTPUpdateServiceSocket::ServeRequest(RequestHead& head, bool headTooLarge) {
    if (head.closeAfterReply) m_bCloseWhenSent = true;
    if (!headTooLarge) {
        if (head.hasWords) HandleRequest(head.line.method, std::move(head.line.path));
        return;
    }
    // An overlong head gets the 404 reply, whatever it asks for.
    if (head.hasWords) {
        HandleRequest(head.line.method, std::move(head.line.path), true);
    } else {
        SendNotFound();
    }
    AppLog(L"Request head longer than %lu bytes: connection closed",
           static_cast<unsigned long>(CRequestFramer::kMaxHeadBytes));
}

bool CHTTPUpdateServiceSocket::ShouldPauseReading() const {
    return m_sendQueue.QueuedEntries() > kMaxQueuedEntries || m_sendQueue.QueuedMemoryBytes() > kMaxQueuedMemoryBytes;
}

void CHTTPUpdateServiceSocket::ResumeReading() {
    if (!m_bReadPaused || m_bBroken || ShouldPauseReading()) return;
    m_bReadPaused = false;
    // The read notification that found the queue full was not answered with
    // a receive, so no other comes: read now.
    ServeInput(true);
}

bool CHTTPUpdateServiceSocket::IsIdle() const {
    return m_sendQueue.IsIdle() && m_framer.IsBetweenRequests() && !m_bReadPaused && !m_bBroken;
}

void CHTTPUpdateServiceSocket::NoteActivity() { m_nLastActivityMs = TickCount64(); }

// ---------------------------------------------------------------------------
// End of a connection

bool CHTTPUpdateServiceSocket::FinishNotification() {
    if (!m_bLiveConnection) return false;
    if (m_bBroken || m_sendQueue.WasAbandoned()) {
        CloseAndRelease();
        return true;
    }
    if (!m_sendQueue.IsIdle() || m_bReadPaused) return false;
    // Every reply owed went out.
    if (m_bInputEnded || (m_bPeerClosed && m_bCloseWhenSent)) {
        CloseAndRelease();
        return true;
    }
    if (m_bCloseWhenSent && !m_bLingering) {
        StartLingering();
        if (m_bInputEnded || m_bBroken) {
            CloseAndRelease();
            return true;
        }
    }
    return false;
}

void CHTTPUpdateServiceSocket::CloseAndRelease() {
    Close();
    if (m_bLiveConnection) delete this;
}

void CHTTPUpdateServiceSocket::StartLingering() {
    m_bLingering = true;
    m_nLingerStartMs = TickCount64();
    ShutDown(kShutdownSends);
    DrainLingering();
}

void CHTTPUpdateServiceSocket::DrainLingering() {
    char* buffer = connection_registry::RequestBuffer();
    if (buffer == nullptr) {
        m_bBroken = true;
        return;
    }
    const int received = Receive(buffer, static_cast<int>(kRequestBufferSize), 0);
    if (received == 0) {
        m_bInputEnded = true;
        m_bBroken = true;  // the peer closed too: done
    } else if (received < 0 && CAsyncSocket::GetLastError() != static_cast<int>(WSAEWOULDBLOCK)) {
        m_bBroken = true;
    }
}

void CHTTPUpdateServiceSocket::OnOutOfMemory() {
    m_bBroken = true;
    try {
        AppLog(L"Connection closed: not enough memory to serve it");
    } catch (const std::bad_alloc&) {
        // The line is lost; the connection still closes.
    }
}

bool CHTTPUpdateServiceSocket::CheckProgress(std::uint64_t nowSeconds, std::uint64_t nowMs) {
    CConsoleLineBatch consoleLines;
    if (m_bLingering) {
        if (nowMs - m_nLingerStartMs < kLingerMs) return false;
        CloseAndRelease();
        return true;
    }
    if (!m_sendQueue.IsWaiting()) return false;
    try {
        // The system announces room only once a good part of its buffer is
        // free; a client that reads slowly makes progress long before that.
        SendPending();
        ResumeReading();
    } catch (const std::bad_alloc&) {
        OnOutOfMemory();
    }
    if (FinishNotification()) return true;
    if (!m_sendQueue.AbandonIfStalled(nowSeconds)) return false;
    CloseAndRelease();
    return true;
}

// ---------------------------------------------------------------------------
// Sending

void CHTTPUpdateServiceSocket::SendPending() { m_sendQueue.SendPending(*this); }

int CHTTPUpdateServiceSocket::NoteSendResult(int result) {
    if (result > 0) {
        NoteActivity();
    } else if (result < 0 && CAsyncSocket::GetLastError() != static_cast<int>(WSAEWOULDBLOCK)) {
        m_bBroken = true;  // the peer is gone: nothing more can be delivered
    }
    return result;
}

int CHTTPUpdateServiceSocket::SendBytes(const char* data, int length) { return NoteSendResult(Send(data, length, 0)); }

// Package files go from the file to the socket without the transfer buffer
// where the platform can do that; everything else is read and sent.
bool CHTTPUpdateServiceSocket::SendsFileBytes(const CFile& file) const {
    return CAsyncSocket::CanSendFileBytes() && dynamic_cast<const CDiskFile*>(&file) != nullptr;
}

int CHTTPUpdateServiceSocket::SendFileBytes(const char* head, int headLength, CFile& file, ULONGLONG offset,
                                            int length) {
    const auto* disk = dynamic_cast<const CDiskFile*>(&file);
    if (disk == nullptr) return SOCKET_ERROR;
    const int sent = CAsyncSocket::SendFileBytes(head, headLength, *disk, offset, length);
    if (sent == SOCKET_ERROR && GetLastError() == static_cast<int>(ERROR_HANDLE_EOF)) return kFileEnded;
    return NoteSendResult(sent);
}
