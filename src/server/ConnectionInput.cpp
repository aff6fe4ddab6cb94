// Reading a connection's requests: receiving, framing, back-pressure, and the head bytes it keeps.
#include <algorithm>
#include <new>

#include "common/LogSink.h"
#include "platform/Win32Codes.h"
#include "server/HTTPUpdateServiceSocket.h"
#include "server/Replies.h"
#include "server/ServerContext.h"
#include "threading/Clock.h"

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
