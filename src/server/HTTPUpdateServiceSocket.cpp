// One HTTP connection: reading a request, routing it, building the reply; the thread's live-connection registry.
#include "server/HTTPUpdateServiceSocket.h"

#include <memory>
#include <new>
#include <unordered_set>

#include "app/VelmoraServiceApp.h"
#include "common/Format.h"
#include "common/Utf8.h"
#include "platform/DefaultFolders.h"
#include "platform/File.h"
#include "platform/RequestPath.h"
#include "platform/Text.h"
#include "server/FolderListing.h"
#include "server/Replies.h"
#include "server/RequestLine.h"

namespace {

constexpr std::wstring_view kPackagesPrefix = L"/packages";
constexpr std::wstring_view kListingName = L"ListFolderContents.asp";
// The listing name and the one character before it (normally "/").
constexpr std::size_t kListingSuffixLength = kListingName.size() + 1;

// Connections accepted on this thread that are still open. Every
// notification runs on the owning thread, so no lock is needed.
std::unordered_set<CHTTPUpdateServiceSocket*>& LiveRegistry() {
    thread_local std::unordered_set<CHTTPUpdateServiceSocket*> registry;
    return registry;
}

// One request buffer per thread, shared by all its connections: a request
// is handled completely within its notification, and reading it never
// touches a connection's transfer buffer, whose bytes may still wait for
// the socket. Allocated on the first request.
char* RequestBuffer() {
    thread_local std::unique_ptr<char[]> buffer;
    if (!buffer) buffer.reset(new (std::nothrow) char[CHTTPUpdateServiceSocket::kRequestBufferSize]);
    return buffer.get();
}

}  // namespace

CHTTPUpdateServiceSocket::CHTTPUpdateServiceSocket() : m_strPackagePath(plat::DefaultPackagesFolder()) {}

CHTTPUpdateServiceSocket::~CHTTPUpdateServiceSocket() {
    if (m_bLiveConnection) LiveRegistry().erase(this);
}

// ---------------------------------------------------------------------------
// Notifications

void CHTTPUpdateServiceSocket::OnAccept(int errorCode) {
    auto* connection = new (std::nothrow) CHTTPUpdateServiceSocket;
    if (connection) {
        if (Accept(*connection)) {
            connection->m_strPackagePath = m_strPackagePath;
            LiveRegistry().insert(connection);
            connection->m_bLiveConnection = true;
        } else {
            delete connection;  // nothing was waiting after all, or the peer is gone
        }
    }
    CAsyncSocket::OnAccept(errorCode);
}

void CHTTPUpdateServiceSocket::OnReceive(int /*errorCode*/) {
    char* buffer = RequestBuffer();
    if (!buffer) return;
    const int received = Receive(buffer, static_cast<int>(kRequestBufferSize), 0);
    if (received < 0) return;  // SOCKET_ERROR: nothing to answer

    RequestLine line;
    if (!ParseRequestLine(std::string_view(buffer, static_cast<std::size_t>(received)), line)) return;
    HandleRequest(line.method, std::move(line.path));
}

void CHTTPUpdateServiceSocket::OnSend(int errorCode) {
    SendPending();
    CAsyncSocket::OnSend(errorCode);
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
    SendText(FormatW(L"<FileIndex>%s</FileIndex>", BuildFolderXml(0, folder, kFolderListingDepthLimit)));
}

void CHTTPUpdateServiceSocket::RouteFile(const std::wstring& method, const std::wstring& path) {
    std::wstring file = path.substr(kPackagesPrefix.size());
    if (!UpdateAndCheckFilePath(file, false, path)) {
        SendNotFound();
        AppLog(L"404_NOT_FOUND => '%s'", path);
        return;
    }
    if (AsciiEqualsNoCase(method, L"head")) {
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

bool CHTTPUpdateServiceSocket::UpdateAndCheckFilePath(std::wstring& path, bool folderWanted,
                                                      std::wstring_view requestPathForLog) {
    std::wstring fullPath;
    if (plat::MapRequestPath(m_strPackagePath, path, fullPath) == plat::RequestPathVerdict::Refused) {
        AppLog(L"UpdateAndCheckFilePath path refused => '%s'", requestPathForLog.empty() ? std::wstring_view(path)
                                                                                          : requestPathForLog);
        return false;
    }
    path = std::move(fullPath);
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
    const ULONGLONG length = file->GetLength();
    if (!m_sendQueue.AppendFileReply(FileReplyHeader(static_cast<std::int64_t>(length)), std::move(file), length)) {
        SendNotFound();
        return;
    }
    SendPending();
}

void CHTTPUpdateServiceSocket::SendText(const std::wstring& body) { QueueMemoryReply(TextReply(plat::WideToAnsi(body))); }

void CHTTPUpdateServiceSocket::SendNotFound() { QueueMemoryReply(NotFoundReply()); }

void CHTTPUpdateServiceSocket::SendHeadOk() { QueueMemoryReply(HeadOkReply()); }

void CHTTPUpdateServiceSocket::QueueMemoryReply(std::string_view text) {
    m_sendQueue.AppendMemoryReply(text);
    SendPending();
}

void CHTTPUpdateServiceSocket::SendPending() { m_sendQueue.SendPending(*this); }

int CHTTPUpdateServiceSocket::SendBytes(const char* data, int length) { return Send(data, length, 0); }

// ---------------------------------------------------------------------------
// Live-connection registry

std::vector<CHTTPUpdateServiceSocket*> CHTTPUpdateServiceSocket::LiveConnections() {
    const auto& registry = LiveRegistry();
    return std::vector<CHTTPUpdateServiceSocket*>(registry.begin(), registry.end());
}

std::size_t CHTTPUpdateServiceSocket::CloseAllConnections() {
    auto& registry = LiveRegistry();
    std::size_t closed = 0;
    while (!registry.empty()) {
        CHTTPUpdateServiceSocket* connection = *registry.begin();
        connection->Close();
        delete connection;  // leaves the registry in its destructor
        ++closed;
    }
    return closed;
}
