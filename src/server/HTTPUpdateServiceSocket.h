// One accepted HTTP connection, driven by the notifications of its socket on the listener thread.
//
// The bytes it receives are split into requests by their heads
// (server/RequestFraming.h): a request may arrive in pieces, several may
// arrive together, and each is routed (server/RequestRouting.h) and its
// reply queued, in order, on the connection's send queue: a file, a file's
// header, a folder listing (built by a listing worker while the connection
// keeps its place in the queue) or "not found". Only the method and path of
// each head's first line count, its Range and If-Range lines, and whether
// its client asks for the close (an HTTP/1.0 request line, or "close" in
// its Connection field).
//
// What a connection may hold is bounded whatever its client sends: while
// more than kMaxQueuedEntries replies or kMaxQueuedMemoryBytes of reply
// text wait to be sent, it reads nothing more (the client's sends back up
// instead); a head longer than the framer's limit ends the connection; it
// holds at most one open package file (the next package of pipelined
// requests is opened once the reply before it has left the queue); and its
// kept head bytes, reply text and package file count against the server's
// budgets (server/ServerContext.h).
//
// What it is doing is its state (server/ConnectionState.h). It ends when
// its peer closed and every reply owed went out, after a reply that closes
// (its client asked, or what follows a request cannot be framed), when a send
// fails or a transfer is abandoned (with Content-Length framing the close is
// the only way a client learns that a reply is incomplete), when its head does
// not end in time, when memory runs out, or when its set closes it (idle, or
// holding a large or old head while the server runs short); it then reports
// itself finished to its set (server/ConnectionReports.h), which deletes it
// between notifications.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/AsyncSocket.h"
#include "server/Budget.h"
#include "server/ConnectionReports.h"
#include "server/ConnectionState.h"
#include "server/ListingService.h"
#include "server/RequestFraming.h"
#include "server/RequestRouting.h"
#include "server/RequestsInFlight.h"
#include "server/SendQueue.h"
#include "server/ServerFigures.h"

class CServerContext;

class CHTTPUpdateServiceSocket : public CAsyncSocket {
  public:
    // A connection with more queued entries than this (a package reply is
    // two: its header and its file) is not read until some are sent.
    static constexpr std::size_t kMaxQueuedEntries = 16;
    // Nor while more reply text than this waits in memory.
    static constexpr std::uint64_t kMaxQueuedMemoryBytes = 4u << 20;
    // A connection the server ends after its last reply waits this long
    // for the peer's own close, reading and dropping what still arrives, so
    // the reply is not cut off by a reset.
    static constexpr std::uint64_t kLingerMs = 5000;

    // An accepted connection (its socket is filled in by Accept), known to
    // its set by `id`, that reports to `reports`.
    CHTTPUpdateServiceSocket(CServerContext& context, IConnectionReports& reports, std::uint64_t id);
    ~CHTTPUpdateServiceSocket() override;

    // Readable: reads and answers the requests that are complete.
    void OnReceive(int errorCode) override;
    // Writable again: sends what waits.
    void OnSend(int errorCode) override;
    // Peer closed (or the connection broke): the connection ends once the
    // replies it still owes are out, at once when it broke.
    void OnClose(int errorCode) override;

    // ---- For the connection set, between notifications

    std::uint64_t Id() const { return m_nId; }
    // Closed: nothing more happens on it, and its set may delete it.
    bool IsFinished() const { return m_state == ConnectionState::Closed; }
    // An open keep-alive connection with nothing to do: nothing queued or
    // waiting, no part of a request kept, no request waiting to be read.
    bool IsIdle() const;
    // Accepted, or last byte received or sent (tick count).
    std::uint64_t LastActivityMs() const { return m_nLastActivityMs; }
    // Bytes of a request head received and kept while it waits for its end,
    // and since when it waits (0: none).
    std::size_t PartialHeadBytes() const;
    std::uint64_t HeadWaitingSinceMs() const { return m_nHeadSinceMs; }

    // The periodic pass: replies that wait for the socket are offered again
    // (a client that reads slowly may take bytes long before the system
    // announces room), a transfer without progress for six whole minutes is
    // abandoned and the connection closed, a lingering close ends after
    // kLingerMs, and a head not complete after the head time-out ends the
    // connection. True when it closed.
    bool CheckProgress(std::uint64_t nowSeconds, std::uint64_t nowMs);
    // Closes the connection now; `reason`, when given, is logged, and the
    // close is counted under `cause`.
    void CloseNow(const wchar_t* reason, CloseCause cause);
    // A listing this connection waits for is finished (`waiter` names its
    // pending reply): the reply takes its place in the queue.
    void OnListingBuilt(const CListingService::Finished& finished, const CListingService::Waiter& waiter);
    // After its listings were handed out (and the set has let go of their
    // documents): reads and answers the requests that waited for them.
    void ContinueAfterListings();
    // A package open that failed for want of a descriptor is tried once more
    // (the set has freed one if it could).
    void RetryPackageOpen();
    // The server stops: the requests that have arrived are answered, no
    // further one is read; a connection that owes its client nothing closes
    // now, the others once the replies queued are sent.
    void EndAfterQueuedReplies();
    // A reply queued here still waits to be sent, or a request that has
    // begun to arrive still waits for its end, or (for a moment after a stop)
    // the connection is new and its first request is on its way (see
    // EndAfterQueuedReplies).
    bool OwesReplies() const;
    // How long a stop waits for the first request of a connection accepted
    // just before it: its client connected to a server that was listening.
    static constexpr std::uint64_t kFirstRequestGraceMs = 1000;
    bool AwaitsFirstRequest() const;
    // After a stop: a connection whose first request did not come within
    // the grace is closed.
    void EndIfFirstRequestNeverCame();

    // ---- State, for tests and the set

    // Some reply bytes wait for the socket to take them.
    bool IsSendWaiting() const { return m_sendQueue.IsWaiting(); }
    // Holds its transfer buffer (only while something is being sent).
    bool HasTransferBuffer() const { return m_sendQueue.HasTransferBuffer(); }
    std::size_t QueuedReplyEntries() const { return m_sendQueue.QueuedEntries(); }
    // Package files the queue holds open.
    std::size_t OpenPackageFiles() const { return m_sendQueue.LeasedEntries(); }
    // What it is doing (ReadPaused: reading stopped until queued replies are sent).
    ConnectionState State() const { return m_state; }

  private:
    // ---- Input (ConnectionInput.cpp)

    // Hands complete requests to ServeRequest until none is left or the
    // queue is full; then, with `readMore`, receives and goes on.
    void ServeInput(bool readMore);
    // Answers one framed request (an overlong head with the 404 reply).
    void ServeRequest(RequestHead& head, bool headTooLarge);
    // Too much is queued, or a listing is being built: the next request
    // waits (a listing's reply, and its log lines, come before those of the
    // requests after it).
    bool ShouldPauseReading() const;
    // After queued replies went out: reads again if reading was paused.
    void ResumeReading();
    // Brings the head budget and the head's waiting time up to date with
    // what the framer keeps (`nowMs`: the time, 0 to read the clock if needed).
    void NoteKeptHead(std::uint64_t nowMs);
    void NoteActivity();
    // Moves to the state `event` leads to (server/ConnectionState.h). An
    // event the table does not allow is a programming error: it stops a
    // debug build and is ignored otherwise.
    void Apply(ConnectionEvent event);
    // Nothing more can be delivered (`cause`: why, counted at the close).
    void Break(CloseCause cause);

    // ---- Replies (ConnectionReplies.cpp)

    // Routes the request and queues its reply.
    void Answer(const std::wstring& method, std::wstring path, const RangeFields& rangeFields, bool notFound);
    // Queues a routed reply (in place of the pending entry `token` when
    // non-zero), counted by its kind unless `alreadyCounted`; writes the
    // status line that waited for it.
    void Queue(RoutedReply& reply, std::uint64_t token = 0, bool alreadyCounted = false);
    void QueueText(std::string text, std::uint64_t token = 0, bool alreadyCounted = false);
    bool QueueFile(RoutedFile& reply, std::uint64_t token);
    // Answers the monitoring request, when this client may have it (a
    // loopback peer, and the server answers it at all). False otherwise.
    bool AnswerMetrics(const std::wstring& method, const std::wstring& path);
    // Sends what waits, opening deferred packages as they reach the head.
    void SendPending();
    // A reply could not be queued (no memory): the connection ends.
    void FailReply();
    std::uint64_t NextToken() { return ++m_nLastToken; }

    // ---- Replies that wait for a package open or a listing (ConnectionWaits.cpp)

    bool QueueDeferred(RoutedDeferredPackage& reply, std::uint64_t token);
    void QueueListing(const RoutedListing& reply);
    // Opens the deferred package at the head of the queue, if its turn came.
    void OpenDeferredAtHead();

    // ---- End of a connection (HTTPUpdateServiceSocket.cpp; lingering: ConnectionLinger.cpp)

    // Ends a notification: closes the connection when it is done (see the
    // file comment).
    void FinishNotification();
    // Closes the socket, gives back what the connection holds, counts the
    // close under `cause` and reports it finished.
    void Finish(CloseCause cause);
    // Shuts down sending and waits (kLingerMs at most) for the peer's close.
    void StartLingering();
    // Reads and drops what a lingering connection still receives.
    void DrainLingering();
    // The notification's work failed for want of memory: the connection
    // is given up (logged once).
    void OnOutOfMemory();

    CServerContext& m_context;
    IConnectionReports& m_reports;
    const std::uint64_t m_nId;
    CSendQueue m_sendQueue;
    CRequestFramer m_framer;
    CBudgetLease m_headLease;  // the bytes the framer keeps, counted in the head budget
    CRequestsInFlight m_requests;
    ConnectionState m_state = ConnectionState::Reading;
    CloseCause m_breakCause = CloseCause::Client;  // why it broke (while Broken)
    PeerInput m_peerInput = PeerInput::Open;
    std::uint64_t m_nLastToken = 0;
    std::uint64_t m_nLastActivityMs = 0;
    std::uint64_t m_nHeadSinceMs = 0;  // a partial head waits since then (0: none)
    std::uint64_t m_nLingerStartMs = 0;
    std::uint64_t m_nStopMs = 0;  // when the server's stop reached it (0: not stopping)
    bool m_bReceivedAny = false;  // a byte of a request has arrived
};
