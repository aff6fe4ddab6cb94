// One HTTP connection's notifications: reading and framing its requests, back-pressure, time-outs, and when it ends.
#include "server/HTTPUpdateServiceSocket.h"

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
    if (m_bFinished) return;
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
    if (m_bFinished) return;
    if (errorCode != 0 || m_bLingering) {
        // Broken (reset): nothing more reaches the peer. Lingering: the peer's close was awaited.
        Finish(m_bLingering ? CloseCause::AfterReply : CloseCause::Client);
        return;
    }
    // The peer shut down its sending side; it may still read what it asked for.
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
            // A head that follows waits from the end of this request on.
            m_nHeadSinceMs = 0;
            NoteKeptHead(0);
        }
        if (m_bBroken || m_bCloseWhenSent) return;
        if (m_bInputEnded) {
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
            m_bInputEnded = true;
            continue;
        }
        if (received < 0) {
            // Nothing waits now; any other error means the connection broke.
            if (CAsyncSocket::GetLastError() != static_cast<int>(WSAEWOULDBLOCK)) m_bBroken = true;
            return;
        }
        NoteActivity();
        m_bReceivedAny = true;
        m_framer.Receive(std::string_view(buffer, static_cast<std::size_t>(received)));
        NoteKeptHead(m_nLastActivityMs);
        // One read per notification (the next one comes while data waits),
        // except after the peer's close: then the rest is read now.
        readMore = m_bPeerClosed;
    }
}

void CHTTPUpdateServiceSocket::ServeRequest(RequestHead& head, bool headTooLarge) {
    if (head.closeAfterReply || m_bStopping) m_bCloseWhenSent = true;
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
           m_nListingsBuilding > 0;
}

void CHTTPUpdateServiceSocket::ResumeReading() {
    if (!m_bReadPaused || m_bBroken || m_bFinished || ShouldPauseReading()) return;
    m_bReadPaused = false;
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
    return m_sendQueue.IsIdle() && m_framer.IsBetweenRequests() && m_lstDeferred.empty() && !m_bReadPaused &&
           !m_bBroken && !m_bFinished;
}

void CHTTPUpdateServiceSocket::NoteActivity() { m_nLastActivityMs = TickCount64(); }

// ---------------------------------------------------------------------------
// End of a connection

void CHTTPUpdateServiceSocket::FinishNotification() {
    if (m_bFinished) return;
    if (m_bBroken || m_sendQueue.WasAbandoned()) {
        Finish(BrokenCause());
        return;
    }
    if (!m_sendQueue.IsIdle() || m_bReadPaused) return;
    // Every reply owed went out.
    if (m_bInputEnded || (m_bPeerClosed && m_bCloseWhenSent)) {
        Finish(CloseCause::Client);
        return;
    }
    if (m_bCloseWhenSent && !m_bLingering) {
        StartLingering();
        if (m_bInputEnded || m_bBroken) Finish(CloseCause::AfterReply);
    }
}

CloseCause CHTTPUpdateServiceSocket::BrokenCause() const {
    if (m_bOutOfMemory) return CloseCause::Error;
    if (m_bLingering) return CloseCause::AfterReply;  // the peer's close, awaited
    if (m_bBroken) return CloseCause::Client;          // a reset, or a send the peer no longer takes
    return CloseCause::Error;                          // a transfer abandoned: a read failed, a file shrank
}

void CHTTPUpdateServiceSocket::Finish(CloseCause cause) {
    if (m_bFinished) return;
    m_bFinished = true;
    m_context.Figures().CountClose(cause);
    Close();
    // What the connection held goes back now, not when the set deletes it.
    m_sendQueue.DropAll();
    m_framer = CRequestFramer();
    m_headLease.Release();
    m_lstDeferred.clear();
    m_nHeadSinceMs = 0;
    m_reports.OnConnectionFinished(*this);
}

void CHTTPUpdateServiceSocket::CloseNow(const wchar_t* reason, CloseCause cause) {
    if (m_bFinished) return;
    if (reason != nullptr) {
        try {
            AppLog(L"%s", std::wstring_view(reason));
        } catch (const std::bad_alloc&) {
            // The line is lost; the connection still closes.
        }
    }
    Finish(cause);
}

void CHTTPUpdateServiceSocket::EndAfterQueuedReplies() {
    if (m_bFinished || m_bStopping) return;
    m_bStopping = true;
    m_nStopMs = TickCount64();
    if (m_bLingering) return;
    CLogLineBatch logLines;
    // A request that arrived before the stop (its client sent it on a
    // connection it had every reason to trust) is still answered: what waits
    // is read once. The next request served ends the connection (ServeRequest).
    try {
        if (!m_bReadPaused && !m_bCloseWhenSent && !m_bBroken) ServeInput(true);
    } catch (const std::bad_alloc&) {
        OnOutOfMemory();
    }
    // Nothing owed and nothing on its way: closed now. Otherwise it ends as
    // after a reply that closes, once its queue is empty; a request that
    // arrives in part is read to its end first.
    if (!OwesReplies()) {
        Finish(CloseCause::Stop);
        return;
    }
    // A new connection's first request is read and answered when it comes
    // (ServeRequest then makes it the last).
    if (m_framer.BufferedBytes() == 0 && m_bReceivedAny) m_bCloseWhenSent = true;
    FinishNotification();
}

bool CHTTPUpdateServiceSocket::OwesReplies() const {
    return !m_bFinished && !m_bLingering && !m_bBroken &&
           (!m_sendQueue.IsIdle() || !m_lstDeferred.empty() || m_nListingsBuilding > 0 ||
            (!m_bCloseWhenSent && m_framer.BufferedBytes() != 0) || AwaitsFirstRequest());
}

bool CHTTPUpdateServiceSocket::AwaitsFirstRequest() const {
    return m_bStopping && !m_bReceivedAny && !m_bPeerClosed && !m_bInputEnded &&
           TickCount64() < m_nStopMs + kFirstRequestGraceMs;
}

void CHTTPUpdateServiceSocket::EndIfFirstRequestNeverCame() {
    if (m_bStopping && !m_bReceivedAny && !m_bFinished && !m_bLingering && !AwaitsFirstRequest())
        Finish(CloseCause::Stop);
}

void CHTTPUpdateServiceSocket::StartLingering() {
    m_bLingering = true;
    m_nLingerStartMs = TickCount64();
    ShutDown(kShutdownSends);
    DrainLingering();
}

void CHTTPUpdateServiceSocket::DrainLingering() {
    char* buffer = m_context.RequestBuffer();
    if (buffer == nullptr) {
        m_bBroken = true;
        return;
    }
    const int received = Receive(buffer, static_cast<int>(CServerContext::kRequestBufferSize), 0);
    if (received == 0) {
        m_bInputEnded = true;
        m_bBroken = true;  // the peer closed too: done
    } else if (received < 0 && CAsyncSocket::GetLastError() != static_cast<int>(WSAEWOULDBLOCK)) {
        m_bBroken = true;
    }
}

void CHTTPUpdateServiceSocket::OnOutOfMemory() {
    m_bBroken = true;
    m_bOutOfMemory = true;
    try {
        AppLog(L"Connection closed: not enough memory to serve it");
    } catch (const std::bad_alloc&) {
        // The line is lost; the connection still closes.
    }
}

bool CHTTPUpdateServiceSocket::CheckProgress(std::uint64_t nowSeconds, std::uint64_t nowMs) {
    if (m_bFinished) return false;
    if (m_bLingering) {
        if (nowMs - m_nLingerStartMs < kLingerMs) return false;
        Finish(CloseCause::AfterReply);
        return true;
    }
    // A head that does not end in time: only while the connection owes its
    // client nothing (otherwise the stall rule judges it).
    const std::uint64_t headTimeout = m_context.Config().limits.nHeadTimeoutMs;
    if (m_nHeadSinceMs != 0 && m_sendQueue.IsIdle() && !m_bReadPaused && nowMs >= m_nHeadSinceMs &&
        nowMs - m_nHeadSinceMs >= headTimeout) {
        try {
            AppLog(L"Request head not complete after %llu seconds: connection closed",
                   static_cast<unsigned long long>(headTimeout / 1000));
        } catch (const std::bad_alloc&) {
        }
        Finish(CloseCause::HeadTimeout);
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
    FinishNotification();
    if (m_bFinished) return true;
    if (!m_sendQueue.AbandonIfStalled(nowSeconds)) return false;
    Finish(CloseCause::Stall);
    return true;
}
