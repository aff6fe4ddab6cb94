// One accepted HTTP connection (and, with OnAccept, the listening socket that makes them).
//
// A connection is driven by the notifications of its socket on the listener
// thread: each readable notification is one request (only the method and
// path of its first line count), answered with a file, a file's header, a
// folder listing or "not found" through the connection's send queue. The
// object deletes itself when the peer closes the connection. The server
// closes a connection only when a transfer on it was abandoned (no progress
// for six whole minutes, or a package that could not be read whole): with
// Content-Length framing the close is the only way the client can learn that
// the reply is incomplete. Every connection is also listed in its thread's
// registry of live connections, so the listener can apply the stall rule to
// connections whose client stopped reading (AbandonStalledTransfers) and
// close what is still open when it ends (CloseAllConnections).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/AsyncSocket.h"
#include "platform/File.h"
#include "server/SendQueue.h"

class CHTTPUpdateServiceSocket : public CAsyncSocket, private CSendSink {
  public:
    // Capacity of one read of a request.
    static constexpr UINT kRequestBufferSize = 1048576;

    CHTTPUpdateServiceSocket();
    ~CHTTPUpdateServiceSocket() override;

    // Readable: reads and answers one request.
    void OnReceive(int errorCode) override;
    // Writable again: sends what waits.
    void OnSend(int errorCode) override;
    // Listening socket: accepts the waiting connection into a new object,
    // which serves this object's packages folder.
    void OnAccept(int errorCode) override;
    // Peer closed: an accepted connection deletes itself.
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
    void QueueMemoryReply(std::string text);
    void SendPending();

    // Some reply bytes wait for the socket to take them.
    bool IsSendWaiting() const { return m_sendQueue.IsWaiting(); }
    // Holds its transfer buffer (only while something is being sent).
    bool HasTransferBuffer() const { return m_sendQueue.HasTransferBuffer(); }
    std::size_t QueuedReplyEntries() const { return m_sendQueue.QueuedEntries(); }

    // The live connections accepted on the calling thread.
    static std::vector<CHTTPUpdateServiceSocket*> LiveConnections();
    // Closes and deletes every live connection accepted on the calling
    // thread (the listener calls it when it ends); returns how many.
    static std::size_t CloseAllConnections();
    // The stall rule for connections accepted on the calling thread whose
    // reply bytes wait for a client that stopped reading: every such
    // transfer without progress for six whole minutes is abandoned and its
    // connection closed and deleted. Returns how many were closed. The
    // listener calls it every few seconds; it also lets a listening socket
    // that ran out of descriptors try accepting again.
    static std::size_t AbandonStalledTransfers();

    // The packages folder this object serves.
    std::wstring m_strPackagePath;

  private:
    void HandleRequest(const std::wstring& method, std::wstring path);
    void RouteListing(const std::wstring& path, bool packagesPrefix);
    void RouteFile(const std::wstring& method, const std::wstring& path);
    void RouteNotFound(const std::wstring& path);
    // Maps `path` onto the packages folder in place; false (path unchanged,
    // nothing logged) when it would leave it.
    bool MapToPackages(std::wstring& path) const;
    // Queues the 200 reply for a file that is already open (a disk file, or
    // a small package's kept bytes), `length` bytes long.
    void SendOpenedFile(std::unique_ptr<CFile> file, ULONGLONG length);

    int SendBytes(const char* data, int length) override;
    bool SendsFileBytes(const CFile& file) const override;
    int SendFileBytes(const char* head, int headLength, CFile& file, ULONGLONG offset, int length) override;
    // After a notification's work: when the send queue has abandoned a
    // transfer, closes the connection and, for an accepted connection,
    // deletes the object as a peer close does. True when it did; the object
    // must not be touched afterwards.
    bool CloseIfAbandoned();

    CSendQueue m_sendQueue;
    bool m_bLiveConnection = false;  // accepted, listed in the thread's registry, deletes itself on close
};
