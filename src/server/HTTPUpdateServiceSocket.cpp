// One HTTP connection's notifications, the moves of its state, and its close.
#include "server/HTTPUpdateServiceSocket.h"

#include <algorithm>
#include <cassert>
#include <new>

#include "common/LogSink.h"
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
