// One request: decoding its path, routing it (file, header, listing, not found) and queueing the reply.
#include <memory>
#include <new>

#include "common/LogSink.h"
#include "common/Utf8.h"
#include "platform/File.h"
#include "platform/RequestPathRules.h"
#include "platform/Text.h"
#include "platform/Win32Codes.h"
#include "server/FolderListing.h"
#include "server/HTTPUpdateServiceSocket.h"
#include "server/Replies.h"
#include "server/RequestLine.h"
#include "server/RequestLogText.h"
#include "server/RequestPath.h"
#include "server/SmallPackageCache.h"

namespace {

constexpr std::wstring_view kPackagesPrefix = L"/packages";
constexpr std::wstring_view kListingName = L"ListFolderContents.asp";
// The listing name and the one character before it (normally "/").
constexpr std::size_t kListingSuffixLength = kListingName.size() + 1;

// Opening failed for want of a resource of the server's own, not because of
// the file: the request deserves another try, not "not found".
bool IsServerShortage(DWORD error) {
    constexpr DWORD kNoSystemResources = 1450;  // ERROR_NO_SYSTEM_RESOURCES
    return error == ERROR_TOO_MANY_OPEN_FILES || error == ERROR_NOT_ENOUGH_MEMORY || error == ERROR_OUTOFMEMORY ||
           error == kNoSystemResources;
}

}  // namespace

bool CHTTPUpdateServiceSocket::UrlDecode(std::wstring& path) { return UrlDecodePath(path); }

void CHTTPUpdateServiceSocket::HandleRequest(const std::wstring& method, std::wstring path, bool notFound) {
    const bool validText = UrlDecode(path);
    AppLog(L"Request for: '%s'", RequestTextForLog(path));
    // Bytes that are not UTF-8 cannot name any file.
    if (notFound || !validText) {
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
        AppLog(L"404_NOT_FOUND => '%s'", RequestTextForLog(listed));
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
            AppLog(L"200_OK => '%s'", RequestTextForLog(file));
            const ULONGLONG length = kept->GetLength();
            SendOpenedFile(std::move(kept), length);
            return;
        }
        // A file that opens is readable: the check needs no look of its own,
        // and the reply goes out on the file already open. Anything else
        // takes the checks below, with their log lines, as it always did.
        auto opened = std::make_unique<CDiskFile>();
        DWORD error = NO_ERROR;
        if (OpenPackage(*opened, file, error)) {
            AppLog(L"200_OK => '%s'", RequestTextForLog(file));
            // The length from the open's own look at the file: no second query.
            const ULONGLONG length = opened->GetLengthAtOpen();
            if (std::unique_ptr<CFile> kept = cache.Keep(file, *opened)) {
                SendOpenedFile(std::move(kept), length);
            } else {
                SendOpenedFile(std::move(opened), length);
            }
            return;
        }
        if (IsServerShortage(error)) {
            SendUnavailable();
            AppLog(L"503_SERVICE_UNAVAILABLE => '%s' (error %lu)", RequestTextForLog(file), error);
            return;
        }
        file = path.substr(kPackagesPrefix.size());
    }
    if (!UpdateAndCheckFilePath(file, false, path)) {
        SendNotFound();
        AppLog(L"404_NOT_FOUND => '%s'", RequestTextForLog(path));
        return;
    }
    if (head) {
        AppLog(L"200_OK_HEAD => '%s'", RequestTextForLog(file));
        SendHeadOk();
    } else {
        AppLog(L"200_OK => '%s'", RequestTextForLog(file));
        SendFile(file);
    }
}

void CHTTPUpdateServiceSocket::RouteNotFound(const std::wstring& path) {
    SendNotFound();
    AppLog(L"404_NOT_FOUND => '%s'", RequestTextForLog(path));
}

bool CHTTPUpdateServiceSocket::MapToPackages(std::wstring& path) const {
    std::wstring fullPath;
    if (MapRequestPath(m_strPackagePath, path, fullPath) == RequestPathVerdict::Refused) return false;
    path = std::move(fullPath);
    return true;
}

bool CHTTPUpdateServiceSocket::UpdateAndCheckFilePath(std::wstring& path, bool folderWanted,
                                                      std::wstring_view requestPathForLog) {
    if (!MapToPackages(path)) {
        AppLog(L"UpdateAndCheckFilePath path refused => '%s'",
               RequestTextForLog(requestPathForLog.empty() ? std::wstring_view(path) : requestPathForLog));
        return false;
    }
    if (folderWanted) {
        if (plat::PathExists(path)) return true;
        AppLog(L"UpdateAndCheckFilePath Folder not found => '%s'", RequestTextForLog(path));
        return false;
    }
    if (plat::PathReadable(path)) return true;
    AppLog(L"UpdateAndCheckFilePath file not found => '%s'", RequestTextForLog(path));
    return false;
}

bool CHTTPUpdateServiceSocket::OpenPackage(CDiskFile& file, const std::wstring& fullPath, DWORD& error) {
    if (file.Open(fullPath, &error)) return true;
    // Out of descriptors: the longest-idle connection gives up its own.
    if (error != ERROR_TOO_MANY_OPEN_FILES || !CloseLongestIdleConnection(this)) return false;
    return file.Open(fullPath, &error) != FALSE;
}

// ---------------------------------------------------------------------------
// Replies

void CHTTPUpdateServiceSocket::SendFile(const std::wstring& fullPath) {
    auto file = std::make_unique<CDiskFile>();
    DWORD error = NO_ERROR;
    if (!OpenPackage(*file, fullPath, error)) {
        file.reset();
        if (IsServerShortage(error)) {
            SendUnavailable();
            AppLog(L"503_SERVICE_UNAVAILABLE => '%s' (error %lu)", RequestTextForLog(fullPath), error);
            return;
        }
        AppLog(L"SendFile file not found => '%s'", RequestTextForLog(fullPath));
        SendNotFound();
        return;
    }
    const ULONGLONG length = file->GetLengthAtOpen();
    SendOpenedFile(std::move(file), length);
}

void CHTTPUpdateServiceSocket::SendOpenedFile(std::unique_ptr<CFile> file, ULONGLONG length) {
    if (!file || !m_sendQueue.AppendFileReply(FileReplyHeader(static_cast<std::int64_t>(length)), std::move(file), length)) {
        FailReply();
        return;
    }
    SendPending();
}

void CHTTPUpdateServiceSocket::SendText(const std::wstring& body) { QueueMemoryReply(TextReply(plat::WideToAnsi(body))); }

void CHTTPUpdateServiceSocket::SendNotFound() { QueueMemoryReply(NotFoundReply()); }

void CHTTPUpdateServiceSocket::SendHeadOk() { QueueMemoryReply(HeadOkReply()); }

void CHTTPUpdateServiceSocket::SendUnavailable() { QueueMemoryReply(UnavailableReply()); }

void CHTTPUpdateServiceSocket::QueueMemoryReply(std::string text) {
    if (!m_sendQueue.AppendMemoryReply(std::move(text))) {
        FailReply();
        return;
    }
    SendPending();
}

void CHTTPUpdateServiceSocket::FailReply() {
    // Without its reply the client could never tell the later replies apart.
    m_bBroken = true;
    AppLog(L"Connection closed: not enough memory to queue a reply");
}
