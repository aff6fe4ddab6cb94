// One HTTP connection's notifications: reading and framing its requests, back-pressure, time-outs, and when it ends.
#include "server/HTTPUpdateServiceSocket.h"

#include <algorithm>
#include <cassert>
#include <new>

#include "common/LogSink.h"
#include "platform/Win32Codes.h"
#include "server/Replies.h"
#include "server/RequestLine.h"
#include "server/ServerContext.h"
#include "threading/Clock.h"

CHTTPUpdateServiceSocket::CHTTPUpdateServiceSocket(CServerContext& context, IConnectionReports& reports,
                                                   std::uint64_t id)
    : m_context(context), m_reports(reports), m_nId(id), m_nLastActivityMs(TickCount64()) {}

CHTTPUpdateServiceSocket::~CHTTPUpdateServiceSocket() = default;

// ---------------------------------------------------------------------------
// Notifications

void CHTTPUpdateServiceSocket::OnReceive(int errorCode) {
    CAsyncSocket::OnReceive(errorCode);
    if (m_state == ConnectionState::Closed) return;
    try {
        if (m_state == ConnectionState::Lingering) {
            DrainLingering();
        } else if (m_state == ConnectionState::Reading || m_state == ConnectionState::ReadPaused) {
            // Not reading now means no further read notification until the
            // queue drains and ResumeReading reads again.
            if (ShouldPauseReading()) {
                Apply(ConnectionEvent::Pause);
            } else {
                if (m_state == ConnectionState::ReadPaused) Apply(ConnectionEvent::Resume);
                ServeInput(true);
            }
        }
    } catch (const std::bad_alloc&) {
        OnOutOfMemory();
    }
    FinishNotification();
}

void CHTTPUpdateServiceSocket::OnSend(int errorCode) {
    try {
        if (m_state != ConnectionState::Closed) {
            SendPending();
            ResumeReading();
        }
    } catch (const std::bad_alloc&) {
        OnOutOfMemory();
    }
    CAsyncSocket::OnSend(errorCode);
    FinishNotification();
}

void CHTTPUpdateServiceSocket::OnClose(int errorCode) {
    CAsyncSocket::OnClose(errorCode);
    if (m_state == ConnectionState::Closed) return;
    const bool lingering = m_state == ConnectionState::Lingering;
    if (errorCode != 0 || lingering) {
        // Broken (reset): nothing more reaches the peer. Lingering: the peer's close was awaited.
        Finish(lingering ? CloseCause::AfterReply : CloseCause::Client);
        return;
    }
    // The peer shut down its sending side; it may still read what it asked for.
    m_peerInput = std::max(m_peerInput, PeerInput::ShutDown);
    try {
        // Some systems report a reset as an orderly close: a send tells.
        SendPending();
        if (m_state == ConnectionState::Reading) ServeInput(true);
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
        while (m_state == ConnectionState::Reading) {
            if (ShouldPauseReading()) {
                Apply(ConnectionEvent::Pause);
                return;
            }
            const CRequestFramer::Step step = m_framer.Next(head);
            if (step == CRequestFramer::Step::NeedMore) break;
            ServeRequest(head, step == CRequestFramer::Step::HeadTooLarge);
            // A head that follows waits from the end of this request on.
            m_nHeadSinceMs = 0;
            NoteKeptHead(0);
        }
        if (m_state != ConnectionState::Reading) return;
        if (m_peerInput == PeerInput::Ended) {
            // The data ended inside a head: a client may end its last request with its close.
            if (m_framer.TakeUnfinishedHead(head)) ServeRequest(head, false);
            NoteKeptHead(0);
            return;
        }
        if (!readMore) return;

        char* buffer = m_context.RequestBuffer();
        if (buffer == nullptr) throw std::bad_alloc();
        const int received = Receive(buffer, static_cast<int>(CServerContext::kRequestBufferSize), 0);
        if (received == 0) {
            m_peerInput = PeerInput::Ended;
            continue;
        }
        if (received < 0) {
            // Nothing waits now; any other error means the connection broke.
            if (CAsyncSocket::GetLastError() != static_cast<int>(WSAEWOULDBLOCK)) Break(CloseCause::Client);
            return;
        }
        NoteActivity();
        m_bReceivedAny = true;
        m_framer.Receive(std::string_view(buffer, static_cast<std::size_t>(received)));
        NoteKeptHead(m_nLastActivityMs);
        // One read per notification (the next one comes while data waits),
        // except after the peer's close: then the rest is read now.
        readMore = m_peerInput != PeerInput::Open;
    }
}

void CHTTPUpdateServiceSocket::ServeRequest(RequestHead& head, bool headTooLarge) {
    if (head.closeAfterReply || m_nStopMs != 0) Apply(ConnectionEvent::ServeLast);
    if (!headTooLarge) {
        if (head.hasWords) Answer(head.line.method, std::move(head.line.path), head.rangeFields, false);
        return;
    }
    // An overlong head gets the 404 reply, whatever it asks for.
    if (head.hasWords) {
        Answer(head.line.method, std::move(head.line.path), head.rangeFields, true);
    } else {
        QueueText(NotFoundReply());
    }
    AppLog(L"Request head longer than %lu bytes: connection closed",
           static_cast<unsigned long>(CRequestFramer::kMaxHeadBytes));
}

bool CHTTPUpdateServiceSocket::ShouldPauseReading() const {
    return m_sendQueue.QueuedEntries() > kMaxQueuedEntries || m_sendQueue.QueuedMemoryBytes() > kMaxQueuedMemoryBytes ||
           m_requests.HasListings();
}

void CHTTPUpdateServiceSocket::ResumeReading() {
    if (m_state != ConnectionState::ReadPaused || ShouldPauseReading()) return;
    Apply(ConnectionEvent::Resume);
    // The read notification that found the queue full was not answered with
    // a receive, so no other comes: read now.
    ServeInput(true);
}

void CHTTPUpdateServiceSocket::NoteKeptHead(std::uint64_t nowMs) {
    const std::size_t kept = m_framer.BufferedBytes();
    if (kept != m_headLease.Amount()) m_headLease.Resize(m_context.HeadBytes(), kept);
    if (kept == 0) {
        m_nHeadSinceMs = 0;
    } else if (m_nHeadSinceMs == 0) {
        if (nowMs == 0) nowMs = TickCount64();
        m_nHeadSinceMs = nowMs != 0 ? nowMs : 1;
    }
}

std::size_t CHTTPUpdateServiceSocket::PartialHeadBytes() const { return m_framer.BufferedBytes(); }

bool CHTTPUpdateServiceSocket::IsIdle() const {
    return m_sendQueue.IsIdle() && m_framer.IsBetweenRequests() && m_requests.Empty() &&
           m_state != ConnectionState::ReadPaused && m_state != ConnectionState::Broken &&
           m_state != ConnectionState::Closed;
}

void CHTTPUpdateServiceSocket::NoteActivity() { m_nLastActivityMs = TickCount64(); }

// ---------------------------------------------------------------------------
// End of a connection

void CHTTPUpdateServiceSocket::FinishNotification() {
    if (m_state == ConnectionState::Closed) return;
    if (m_state == ConnectionState::Broken || m_sendQueue.WasAbandoned()) {
        // A transfer abandoned (a read failed, a file shrank) is the server's failure.
        Finish(m_state == ConnectionState::Broken ? m_breakCause : CloseCause::Error);
        return;
    }
    if (!m_sendQueue.IsIdle() || m_state == ConnectionState::ReadPaused) return;
    // Every reply owed went out.
    const bool last = m_state == ConnectionState::SendingThenClose;
    if (m_peerInput == PeerInput::Ended || (m_peerInput == PeerInput::ShutDown && last)) {
        Finish(CloseCause::Client);
        return;
    }
    if (last) {
        StartLingering();
        if (m_peerInput == PeerInput::Ended || m_state == ConnectionState::Broken) Finish(CloseCause::AfterReply);
    }
}

void CHTTPUpdateServiceSocket::Apply(ConnectionEvent event) {
    const std::optional<ConnectionState> next = connection_state::Next(m_state, event);
    assert(next.has_value() && "a connection event its state does not allow");
    if (next) m_state = *next;
}

void CHTTPUpdateServiceSocket::Break(CloseCause cause) {
    // Out of memory is the cause that counts, whatever broke first.
    if (m_state != ConnectionState::Broken || cause == CloseCause::Error) m_breakCause = cause;
    Apply(ConnectionEvent::Break);
}

void CHTTPUpdateServiceSocket::Finish(CloseCause cause) {
    if (m_state == ConnectionState::Closed) return;
    Apply(ConnectionEvent::Finish);
    m_context.Figures().CountClose(cause);
    Close();
    // What the connection held goes back now, not when the set deletes it.
    m_sendQueue.DropAll();
    m_framer = CRequestFramer();
    m_headLease.Release();
    m_requests.Clear();
    m_nHeadSinceMs = 0;
    m_reports.OnConnectionFinished(*this);
}

void CHTTPUpdateServiceSocket::CloseNow(const wchar_t* reason, CloseCause cause) {
    if (m_state == ConnectionState::Closed) return;
    if (reason != nullptr) {
        try {
            AppLog(L"%s", std::wstring_view(reason));
        } catch (const std::bad_alloc&) {
            // The line is lost; the connection still closes.
        }
    }
    Finish(cause);
}

void CHTTPUpdateServiceSocket::OnOutOfMemory() {
    Break(CloseCause::Error);
    try {
        AppLog(L"Connection closed: not enough memory to serve it");
    } catch (const std::bad_alloc&) {
        // The line is lost; the connection still closes.
    }
}
