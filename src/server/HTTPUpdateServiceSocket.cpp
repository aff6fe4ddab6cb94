// One HTTP connection: reading a request, routing it, building the reply; the thread's live-connection registry.
#include "server/HTTPUpdateServiceSocket.h"

#include <memory>
#include <new>
#include <unordered_set>

#include "app/ConsolePrint.h"
#include "app/VelmoraServiceApp.h"
#include "common/Format.h"
#include "common/Utf8.h"
#include "platform/DefaultFolders.h"
#include "platform/File.h"
#include "platform/RequestPath.h"
#include "platform/Text.h"
#include "platform/Win32Codes.h"
#include "server/FolderListing.h"
#include "server/Replies.h"
#include "server/RequestLine.h"
#include "server/SmallPackageCache.h"

namespace {

constexpr std::wstring_view kPackagesPrefix = L"/packages";
constexpr std::wstring_view kListingName = L"ListFolderContents.asp";
// The listing name and the one character before it (normally "/").
constexpr std::size_t kListingSuffixLength = kListingName.size() + 1;

// What the connections accepted on one thread share: the set of those still
// open, and one request buffer. A request is handled completely within its
// notification, so they can share it, and reading it never touches a
// connection's transfer buffer, whose bytes may still wait for the socket.
// Every notification runs on the owning thread, so no lock is needed.
struct ThreadConnections {
    std::unordered_set<CHTTPUpdateServiceSocket*> live;
    std::unique_ptr<char[]> requestBuffer;  // allocated on the first request
};

// A plain pointer, not a thread_local object: the state exists while the
// thread has live connections and is freed with the last of them, so no
// thread-exit destructor is involved (those run after their storage is
// gone in some runtimes).
thread_local ThreadConnections* t_pConnections = nullptr;

ThreadConnections& CurrentThreadConnections() {
    if (!t_pConnections) t_pConnections = new ThreadConnections;
    return *t_pConnections;
}

// The listening socket that stopped taking connections because the process
// ran out of descriptors (or socket buffers). Every accept would fail at
// once and the waiting connection would be announced again at once, so the
// thread would spin for as long as the shortage lasts. It takes connections
// again when a connection of this thread goes (its descriptor is free), or
// at the listener's next periodic check; until then new clients wait in the
// backlog.
thread_local CHTTPUpdateServiceSocket* t_pAcceptPaused = nullptr;

void ResumeAccepting() {
    if (CHTTPUpdateServiceSocket* listener = t_pAcceptPaused) {
        t_pAcceptPaused = nullptr;
        listener->AsyncSelect(CAsyncSocket::kAllEvents);
    }
}

void ForgetConnection(CHTTPUpdateServiceSocket* connection) {
    ResumeAccepting();
    if (!t_pConnections) return;
    t_pConnections->live.erase(connection);
    if (t_pConnections->live.empty()) {
        delete t_pConnections;
        t_pConnections = nullptr;
    }
}

}  // namespace

CHTTPUpdateServiceSocket::CHTTPUpdateServiceSocket() : m_strPackagePath(plat::DefaultPackagesFolder()) {}

CHTTPUpdateServiceSocket::~CHTTPUpdateServiceSocket() {
    if (m_bLiveConnection) ForgetConnection(this);
    if (t_pAcceptPaused == this) t_pAcceptPaused = nullptr;
}

// ---------------------------------------------------------------------------
// Notifications

void CHTTPUpdateServiceSocket::OnAccept(int errorCode) {
    auto* connection = new (std::nothrow) CHTTPUpdateServiceSocket;
    if (connection) {
        if (Accept(*connection)) {
            connection->m_strPackagePath = m_strPackagePath;
            try {
                CurrentThreadConnections().live.insert(connection);
                connection->m_bLiveConnection = true;
            } catch (const std::bad_alloc&) {
                delete connection;  // out of memory: the client sees the connection close
            }
        } else {
            const int error = CAsyncSocket::GetLastError();
            delete connection;  // nothing was waiting after all, or the peer is gone
            if (error == static_cast<int>(WSAEMFILE) || error == static_cast<int>(WSAENOBUFS)) {
                // Out of descriptors: stop listening for connections until one is free.
                if (AsyncSelect(kAllEvents & ~FD_ACCEPT)) t_pAcceptPaused = this;
            }
        }
    }
    CAsyncSocket::OnAccept(errorCode);
}

void CHTTPUpdateServiceSocket::OnReceive(int /*errorCode*/) {
    // The request's log lines reach the console together.
    CConsoleLineBatch consoleLines;
    // Accepted connections share their thread's buffer; any other socket
    // brings its own for this one request.
    std::unique_ptr<char[]> ownBuffer;
    char* buffer = nullptr;
    if (m_bLiveConnection) {
        std::unique_ptr<char[]>& shared = CurrentThreadConnections().requestBuffer;
        if (!shared) shared.reset(new (std::nothrow) char[kRequestBufferSize]);
        buffer = shared.get();
    } else {
        ownBuffer.reset(new (std::nothrow) char[kRequestBufferSize]);
        buffer = ownBuffer.get();
    }
    if (!buffer) return;
    const int received = Receive(buffer, static_cast<int>(kRequestBufferSize), 0);
    if (received < 0) return;  // SOCKET_ERROR: nothing to answer

    RequestLine line;
    if (!ParseRequestLine(std::string_view(buffer, static_cast<std::size_t>(received)), line)) return;
    HandleRequest(line.method, std::move(line.path));
    CloseIfAbandoned();
}

void CHTTPUpdateServiceSocket::OnSend(int errorCode) {
    CConsoleLineBatch consoleLines;
    SendPending();
    CAsyncSocket::OnSend(errorCode);
    CloseIfAbandoned();
}

bool CHTTPUpdateServiceSocket::CloseIfAbandoned() {
    if (!m_sendQueue.WasAbandoned()) return false;
    Close();
    if (m_bLiveConnection) delete this;
    return true;
}

void CHTTPUpdateServiceSocket::OnClose(int errorCode) {
    CAsyncSocket::OnClose(errorCode);
    // Only accepted connections own themselves; a listening socket belongs to its thread object.
    if (m_bLiveConnection) delete this;
}

// ---------------------------------------------------------------------------
// Request handling

bool CHTTPUpdateServiceSocket::UrlDecode(std::wstring& path) { return UrlDecodePath(path); }

void CHTTPUpdateServiceSocket::HandleRequest(const std::wstring& method, std::wstring path) {
    const bool validText = UrlDecode(path);
    AppLog(L"Request for: '%s'", path);
    if (!validText) {
        // Bytes that are not UTF-8 cannot name any file.
        RouteNotFound(path);
        return;
    }
    const bool packagesPrefix = AsciiStartsWithNoCase(path, kPackagesPrefix);
    if (AsciiEndsWithNoCase(path, kListingName)) {
        RouteListing(path, packagesPrefix);
    } else if (packagesPrefix) {
        RouteFile(method, path);
    } else {
        RouteNotFound(path);
    }
}

void CHTTPUpdateServiceSocket::RouteListing(const std::wstring& path, bool packagesPrefix) {
    const std::wstring listed = packagesPrefix ? path.substr(kPackagesPrefix.size()) : path;
    std::wstring folder =
        listed.size() > kListingSuffixLength ? listed.substr(0, listed.size() - kListingSuffixLength) : std::wstring();
    if (!UpdateAndCheckFilePath(folder, true, path)) {
        SendNotFound();
        AppLog(L"404_NOT_FOUND => '%s'", listed);
        return;
    }
    std::wstring xml;
    if (!BuildFolderListingDocument(folder, xml)) {
        SendNotFound();
        return;
    }
    SendText(xml);
}

void CHTTPUpdateServiceSocket::RouteFile(const std::wstring& method, const std::wstring& path) {
    std::wstring file = path.substr(kPackagesPrefix.size());
    const bool head = AsciiEqualsNoCase(method, L"head");
    if (!head && MapToPackages(file)) {
        // A small package kept in memory and still unchanged on disk needs
        // no open at all.
        CSmallPackageCache& cache = CSmallPackageCache::Shared();
        if (std::unique_ptr<CFile> kept = cache.Find(file)) {
            AppLog(L"200_OK => '%s'", file);
            const ULONGLONG length = kept->GetLength();
            SendOpenedFile(std::move(kept), length);
            return;
        }
        // A file that opens is readable: the check needs no look of its own,
        // and the reply goes out on the file already open. Anything else
        // takes the checks below, with their log lines, as it always did.
        auto opened = std::make_unique<CDiskFile>();
        if (opened->Open(file)) {
            AppLog(L"200_OK => '%s'", file);
            // The length from the open's own look at the file: no second query.
            const ULONGLONG length = opened->GetLengthAtOpen();
            if (std::unique_ptr<CFile> kept = cache.Keep(file, *opened)) {
                SendOpenedFile(std::move(kept), length);
            } else {
                SendOpenedFile(std::move(opened), length);
            }
            return;
        }
        file = path.substr(kPackagesPrefix.size());
    }
    if (!UpdateAndCheckFilePath(file, false, path)) {
        SendNotFound();
        AppLog(L"404_NOT_FOUND => '%s'", path);
        return;
    }
    if (head) {
        AppLog(L"200_OK_HEAD => '%s'", file);
        SendHeadOk();
    } else {
        AppLog(L"200_OK => '%s'", file);
        SendFile(file);
    }
}

void CHTTPUpdateServiceSocket::RouteNotFound(const std::wstring& path) {
    SendNotFound();
    AppLog(L"404_NOT_FOUND => '%s'", path);
}

bool CHTTPUpdateServiceSocket::MapToPackages(std::wstring& path) const {
    std::wstring fullPath;
    if (plat::MapRequestPath(m_strPackagePath, path, fullPath) == plat::RequestPathVerdict::Refused) return false;
    path = std::move(fullPath);
    return true;
}

bool CHTTPUpdateServiceSocket::UpdateAndCheckFilePath(std::wstring& path, bool folderWanted,
                                                      std::wstring_view requestPathForLog) {
    if (!MapToPackages(path)) {
        AppLog(L"UpdateAndCheckFilePath path refused => '%s'", requestPathForLog.empty() ? std::wstring_view(path)
                                                                                          : requestPathForLog);
        return false;
    }
    if (folderWanted) {
        if (plat::PathExists(path)) return true;
        AppLog(L"UpdateAndCheckFilePath Folder not found => '%s'", path);
        return false;
    }
    if (plat::PathReadable(path)) return true;
    AppLog(L"UpdateAndCheckFilePath file not found => '%s'", path);
    return false;
}

// ---------------------------------------------------------------------------
// Replies

void CHTTPUpdateServiceSocket::SendFile(const std::wstring& fullPath) {
    auto file = std::make_unique<CDiskFile>();
    if (!file->Open(fullPath)) {
        file.reset();
        AppLog(L"SendFile file not found => '%s'", fullPath);
        SendNotFound();
        return;
    }
    const ULONGLONG length = file->GetLengthAtOpen();
    SendOpenedFile(std::move(file), length);
}

void CHTTPUpdateServiceSocket::SendOpenedFile(std::unique_ptr<CFile> file, ULONGLONG length) {
    if (!file) {
        SendNotFound();  // no memory for the file object
        return;
    }
    if (!m_sendQueue.AppendFileReply(FileReplyHeader(static_cast<std::int64_t>(length)), std::move(file), length)) {
        SendNotFound();
        return;
    }
    SendPending();
}

void CHTTPUpdateServiceSocket::SendText(const std::wstring& body) { QueueMemoryReply(TextReply(plat::WideToAnsi(body))); }

void CHTTPUpdateServiceSocket::SendNotFound() { QueueMemoryReply(NotFoundReply()); }

void CHTTPUpdateServiceSocket::SendHeadOk() { QueueMemoryReply(HeadOkReply()); }

void CHTTPUpdateServiceSocket::QueueMemoryReply(std::string text) {
    m_sendQueue.AppendMemoryReply(std::move(text));
    SendPending();
}

void CHTTPUpdateServiceSocket::SendPending() { m_sendQueue.SendPending(*this); }

int CHTTPUpdateServiceSocket::SendBytes(const char* data, int length) { return Send(data, length, 0); }

// Package files go from the file to the socket without the transfer buffer
// where the platform can do that; everything else is read and sent.
bool CHTTPUpdateServiceSocket::SendsFileBytes(const CFile& file) const {
    return CAsyncSocket::CanSendFileBytes() && dynamic_cast<const CDiskFile*>(&file) != nullptr;
}

int CHTTPUpdateServiceSocket::SendFileBytes(const char* head, int headLength, CFile& file, ULONGLONG offset,
                                            int length) {
    const auto* disk = dynamic_cast<const CDiskFile*>(&file);
    if (disk == nullptr) return SOCKET_ERROR;
    const int sent = CAsyncSocket::SendFileBytes(head, headLength, *disk, offset, length);
    if (sent == SOCKET_ERROR && GetLastError() == static_cast<int>(ERROR_HANDLE_EOF)) return kFileEnded;
    return sent;
}

// ---------------------------------------------------------------------------
// Live-connection registry

std::vector<CHTTPUpdateServiceSocket*> CHTTPUpdateServiceSocket::LiveConnections() {
    if (!t_pConnections) return {};
    return std::vector<CHTTPUpdateServiceSocket*>(t_pConnections->live.begin(), t_pConnections->live.end());
}

std::size_t CHTTPUpdateServiceSocket::AbandonStalledTransfers() {
    ResumeAccepting();
    if (!t_pConnections) return 0;
    const std::uint64_t now = SendQueueSeconds();
    std::size_t closed = 0;
    // A copy: each closed connection leaves the registry (and the last one frees it).
    for (CHTTPUpdateServiceSocket* connection : LiveConnections()) {
        if (connection->m_sendQueue.AbandonIfStalled(now) && connection->CloseIfAbandoned()) ++closed;
    }
    return closed;
}

std::size_t CHTTPUpdateServiceSocket::CloseAllConnections() {
    std::size_t closed = 0;
    // Each deletion leaves the registry; the last one frees the thread's state.
    while (t_pConnections && !t_pConnections->live.empty()) {
        CHTTPUpdateServiceSocket* connection = *t_pConnections->live.begin();
        connection->Close();
        delete connection;
        ++closed;
    }
    return closed;
}
