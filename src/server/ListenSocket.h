// The listening socket of a listener thread: accepts clients into new connections of its connection set.
#pragma once

#include "platform/AsyncSocket.h"

class CConnectionSet;

class CHTTPUpdateServiceListenSocket : public CAsyncSocket {
  public:
    // Connections taken per accept notification at most: a burst of clients
    // is taken from the backlog quickly, and established connections still
    // get their turn between the bursts.
    static constexpr int kMaxAcceptsPerNotification = 64;
    // The events the listening socket selects, which every accepted
    // connection inherits: all but out-of-band data, which no connection
    // reads (so the system is not asked to watch for it).
    static constexpr long kSelectedEvents = CAsyncSocket::kAllEvents & ~FD_OOB;

    explicit CHTTPUpdateServiceListenSocket(CConnectionSet& connections) : m_connections(connections) {}

    // Accepts the waiting connections into new connection objects of the set.
    void OnAccept(int errorCode) override;

    // Accepting stopped because the process ran out of descriptors (or
    // socket buffers): every accept would fail at once and the waiting
    // connection would be announced again at once, so the thread would spin
    // for as long as the shortage lasts. New clients wait in the backlog
    // until ResumeAccepting, which the thread calls when a connection has
    // gone, or at its next periodic check.
    bool IsAcceptingPaused() const { return m_bPaused; }
    void ResumeAccepting();
    // Selects the notifications again, paused or not: a client that waits
    // unannounced (its notice was taken by an attempt that could not accept,
    // or lost by the socket layer) is announced again. For the periodic check.
    void RenewAccepting();

  private:
    // Accepts one waiting connection into `connection`; false when none was
    // accepted (nothing waits, the peer is gone, or accepting paused).
    bool AcceptOne(CAsyncSocket& connection);
    void PauseAccepting();

    CConnectionSet& m_connections;
    bool m_bPaused = false;
};
