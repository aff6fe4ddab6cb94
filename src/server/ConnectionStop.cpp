// A connection when the server stops: the requests that arrived are answered, then it closes.
#include <algorithm>
#include <new>

#include "common/LogSink.h"
#include "server/HTTPUpdateServiceSocket.h"
#include "threading/Clock.h"

void CHTTPUpdateServiceSocket::EndAfterQueuedReplies() {
    if (m_state == ConnectionState::Closed || m_nStopMs != 0) return;
    m_nStopMs = std::max<std::uint64_t>(TickCount64(), 1);
    if (m_state == ConnectionState::Lingering) return;
    CLogLineBatch logLines;
    // A request that arrived before the stop (its client sent it on a
    // connection it had every reason to trust) is still answered: what waits
    // is read once. The next request served ends the connection (ServeRequest).
    try {
        if (m_state == ConnectionState::Reading) ServeInput(true);
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
    if (m_framer.BufferedBytes() == 0 && m_bReceivedAny) Apply(ConnectionEvent::ServeLast);
    FinishNotification();
}

bool CHTTPUpdateServiceSocket::OwesReplies() const {
    const bool serving = m_state == ConnectionState::Reading || m_state == ConnectionState::ReadPaused;
    return (serving || m_state == ConnectionState::SendingThenClose) &&
           (!m_sendQueue.IsIdle() || !m_requests.Empty() || (serving && m_framer.BufferedBytes() != 0) ||
            AwaitsFirstRequest());
}

bool CHTTPUpdateServiceSocket::AwaitsFirstRequest() const {
    return m_nStopMs != 0 && !m_bReceivedAny && m_peerInput == PeerInput::Open &&
           TickCount64() < m_nStopMs + kFirstRequestGraceMs;
}

void CHTTPUpdateServiceSocket::EndIfFirstRequestNeverCame() {
    if (m_nStopMs != 0 && !m_bReceivedAny && m_state != ConnectionState::Closed &&
        m_state != ConnectionState::Lingering && !AwaitsFirstRequest())
        Finish(CloseCause::Stop);
}
