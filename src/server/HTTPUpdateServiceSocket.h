// One accepted HTTP connection (and, with OnAccept, the listening socket that makes them).
//
// A connection is driven by the notifications of its socket on the listener
// thread. The bytes it receives are split into requests by their heads
// (server/RequestFraming.h): a request may arrive in pieces, several may
// arrive together, and each is answered in order with a file, a file's
// header, a folder listing or "not found" through the connection's send
// queue. Only the method and path of each head's first line count.
//
// What a connection may hold is bounded whatever its client sends: while
// more than kMaxQueuedEntries replies or kMaxQueuedMemoryBytes of reply
// text wait to be sent, it reads nothing more (the client's sends back up
// instead), and a head longer than the framer's limit ends the connection.
//
// A connection ends when its peer has closed and every reply owed went out
// (a client may shut down its sending side right after its request), when
// a send fails, when a transfer was abandoned (no progress for six whole
// minutes, or a package that could not be read whole: with Content-Length
// framing the close is the only way the client can learn that the reply is
// incomplete), when the bytes after a request cannot be framed (answered,
// then closed), when memory runs out while it is served, or when it was the
// longest idle one and the process ran short of descriptors. The object
// then deletes itself. Every connection is listed in its thread's registry
// of live connections (server/ConnectionRegistry.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/AsyncSocket.h"
#include "platform/File.h"
#include "server/RequestFraming.h"
#include "server/SendQueue.h"

class CHTTPUpdateServiceSocket : public CAsyncSocket, private CSendSink {
  public:
    // Capacity of one read.
    static constexpr UINT kRequestBufferSize = 1048576;
    // A connection with more queued entries than this (a package reply is
    // two: its header and its file) is not read until some are sent.
    static constexpr std::size_t kMaxQueuedEntries = 16;
    // Nor while more reply text than this waits in memory.
    static constexpr std::uint64_t kMaxQueuedMemoryBytes = 4u << 20;
    // A connection the server ends after its last reply waits this long
    // for the peer's own close, reading and dropping what still arrives, so
    // the reply is not cut off by a reset.
    static constexpr std::uint64_t kLingerMs = 5000;

    CHTTPUpdateServiceSocket();
    ~CHTTPUpdateServiceSocket() override;

    // Readable: reads and answers the requests that are complete.
    void OnReceive(int errorCode) override;
    // Writable again: sends what waits.
    void OnSend(int errorCode) override;
    // Listening socket: accepts the waiting connections (at most
    // kAcceptsPerNotification) into new objects, which serve this object's
    // packages folder.
    void OnAccept(int errorCode) override;
    static constexpr int kAcceptsPerNotification = 64;
    // Peer closed (or the connection broke): the connection ends once the
    // replies it still owes are out, at once when it broke.
    void OnClose(int errorCode) override;

    // Decodes a request path in place (see UrlDecodePath); true when its
    // bytes are valid UTF-8 and so may name a file.
    static bool UrlDecode(std::wstring& path);

    // Maps the request path `path` onto the packages folder (either "/" or
    // "\" separates) and checks that the result exists: as a file or folder
    // when `folderWanted`, otherwise as something readable. On success
    // `path` holds the full path. A path that would leave the packages
    // folder, or that names a file some other way than it spells out, is
    // refused: logged with `requestPathForLog` (or `path` when that is
    // empty) and false, `path` unchanged.
    bool UpdateAndCheckFilePath(std::wstring& path, bool folderWanted, std::wstring_view requestPathForLog = {});

    // Replies; each queues its bytes behind earlier replies and starts sending.
    void SendFile(const std::wstring& fullPath);
    void SendText(const std::wstring& body);
    void SendNotFound();
    void SendHeadOk();
    // The 503 reply: a package that exists could not be opened for want of
    // a resource of the server's own (descriptors, memory).
    void SendUnavailable();
    void QueueMemoryReply(std::string text);
    void SendPending();

    // Some reply bytes wait for the socket to take them.
    bool IsSendWaiting() const { return m_sendQueue.IsWaiting(); }
    // Holds its transfer buffer (only while something is being sent).
    bool HasTransferBuffer() const { return m_sendQueue.HasTransferBuffer(); }
    std::size_t QueuedReplyEntries() const { return m_sendQueue.QueuedEntries(); }
    // Reading stopped until queued replies are sent.
    bool IsReadingPaused() const { return m_bReadPaused; }
    // An open keep-alive connection with nothing to do: nothing queued or
    // waiting, no part of a request kept, no request waiting to be read.
    bool IsIdle() const;

    // ---- The live connections of the calling thread (server/ConnectionRegistry.cpp)

    static std::vector<CHTTPUpdateServiceSocket*> LiveConnections();
    // Closes and deletes every live connection accepted on the calling
    // thread (the listener calls it when it ends); returns how many.
    static std::size_t CloseAllConnections();
    // The listener's periodic pass over its connections: replies that wait
    // for the socket are offered again (a client that reads slowly may take
    // bytes long before the system announces room), transfers without
    // progress for six whole minutes are abandoned and their connections
    // closed, connections that linger past kLingerMs are closed, and a
    // listening socket that ran out of descriptors accepts again. Returns
    // how many connections were closed.
    static std::size_t AbandonStalledTransfers();
    // Closes and deletes the calling thread's longest-idle connection other
    // than `keep`, to free its descriptor; false when none is idle.
    static bool CloseLongestIdleConnection(const CHTTPUpdateServiceSocket* keep = nullptr);

    // The packages folder this object serves.
    std::wstring m_strPackagePath;

  private:
    // ---- Input and lifetime (HTTPUpdateServiceSocket.cpp)

    // Accepts one waiting connection; false when none was taken.
    bool AcceptWaitingConnection();

    // Hands complete requests to HandleRequest until none is left or the
    // queue is full; then, with `readMore`, receives and goes on.
    void ServeInput(bool readMore);
    // Answers one framed request (an overlong head with the 404 reply).
    void ServeRequest(RequestHead& head, bool headTooLarge);
    bool ShouldPauseReading() const;
    // After queued replies went out: reads again if reading was paused.
    void ResumeReading();
    // Ends a notification: closes and deletes the object when it is done
    // (see the file comment). True when it did; the object must not be
    // touched afterwards.
    bool FinishNotification();
    // Closes the socket and, for an accepted connection, deletes the object.
    void CloseAndRelease();
    // Shuts down sending and waits (kLingerMs at most) for the peer's close.
    void StartLingering();
    // Reads and drops what a lingering connection still receives.
    void DrainLingering();
    // The notification's work failed for want of memory: the connection
    // is given up (logged once).
    void OnOutOfMemory();
    // The stall pass for this connection (see AbandonStalledTransfers). True when it closed.
    bool CheckProgress(std::uint64_t nowSeconds, std::uint64_t nowMs);
    void NoteActivity();

    // ---- Requests and replies (RequestRouting.cpp)

    // Logs the request and routes it; with `notFound`, answers 404 whatever it asks for.
    void HandleRequest(const std::wstring& method, std::wstring path, bool notFound = false);
    void RouteListing(const std::wstring& path, bool packagesPrefix);
    void RouteFile(const std::wstring& method, const std::wstring& path);
    void RouteNotFound(const std::wstring& path);
    // Maps `path` onto the packages folder in place; false (path unchanged,
    // nothing logged) when it would leave it.
    bool MapToPackages(std::wstring& path) const;
    // Opens a package for its reply; when the process is out of
    // descriptors, frees the longest-idle connection's and tries once more.
    bool OpenPackage(CDiskFile& file, const std::wstring& fullPath, DWORD& error);
    // Queues the 200 reply for a file that is already open (a disk file, or
    // a small package's kept bytes), `length` bytes long.
    void SendOpenedFile(std::unique_ptr<CFile> file, ULONGLONG length);
    // A reply could not be queued (no memory): the connection ends.
    void FailReply();

    // ---- CSendSink

    int SendBytes(const char* data, int length) override;
    bool SendsFileBytes(const CFile& file) const override;
    int SendFileBytes(const char* head, int headLength, CFile& file, ULONGLONG offset, int length) override;
    // Records a send that failed for another reason than a full socket.
    int NoteSendResult(int result);

    CSendQueue m_sendQueue;
    CRequestFramer m_framer;
    std::uint64_t m_nLastActivityMs = 0;  // accepted, or last byte received or sent
    std::uint64_t m_nLingerStartMs = 0;
    bool m_bLiveConnection = false;  // accepted, listed in the thread's registry, deletes itself on close
    bool m_bReadPaused = false;      // input waits until the queue drains
    bool m_bPeerClosed = false;      // the peer shut down its sending side
    bool m_bInputEnded = false;      // every byte the peer sent was read
    bool m_bCloseWhenSent = false;   // end the connection once the queue is empty
    bool m_bLingering = false;       // sending shut down; waiting for the peer's close
    bool m_bBroken = false;          // a send failed or memory ran out: close now
    bool m_bInHandler = false;       // a notification of this object is running
};
