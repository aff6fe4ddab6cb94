// A connection's ends in time: the lingering close after its last reply, a head that never ends, a stall.
#include <new>

#include "common/LogSink.h"
#include "platform/Win32Codes.h"
#include "server/HTTPUpdateServiceSocket.h"
#include "server/ServerContext.h"
#include "threading/Clock.h"

void CHTTPUpdateServiceSocket::StartLingering() {
    Apply(ConnectionEvent::RepliesSent);
    m_nLingerStartMs = TickCount64();
    ShutDown(kShutdownSends);
    DrainLingering();
}

void CHTTPUpdateServiceSocket::DrainLingering() {
    char* buffer = m_context.RequestBuffer();
    if (buffer == nullptr) {
        Break(CloseCause::AfterReply);
        return;
    }
    const int received = Receive(buffer, static_cast<int>(CServerContext::kRequestBufferSize), 0);
    if (received == 0) {
        m_peerInput = PeerInput::Ended;
        Break(CloseCause::AfterReply);  // the peer closed too: done
    } else if (received < 0 && CAsyncSocket::GetLastError() != static_cast<int>(WSAEWOULDBLOCK)) {
        Break(CloseCause::AfterReply);
    }
}

bool CHTTPUpdateServiceSocket::CheckProgress(std::uint64_t nowSeconds, std::uint64_t nowMs) {
    if (m_state == ConnectionState::Closed) return false;
    if (m_state == ConnectionState::Lingering) {
        if (nowMs - m_nLingerStartMs < kLingerMs) return false;
        Finish(CloseCause::AfterReply);
        return true;
    }
    // A head that does not end in time: only while the connection owes its
    // client nothing (otherwise the stall rule judges it).
    const std::uint64_t headTimeout = m_context.Config().limits.nHeadTimeoutMs;
    if (m_nHeadSinceMs != 0 && m_sendQueue.IsIdle() && m_state != ConnectionState::ReadPaused &&
        nowMs >= m_nHeadSinceMs && nowMs - m_nHeadSinceMs >= headTimeout) {
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
    if (m_state == ConnectionState::Closed) return true;
    if (!m_sendQueue.AbandonIfStalled(nowSeconds)) return false;
    Finish(CloseCause::Stall);
    return true;
}
