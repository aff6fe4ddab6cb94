// Routing one request: from its method, path and range (and the packages folder) to the reply it gets.
//
// Routing decides and logs the lines it can; the status lines that must
// follow what the connection writes while it queues the reply travel with
// the reply, and the connection writes them. A reply is
// a finished text (404, 503, the header of a "head" request), a package
// file already open with the header of its reply, a folder listing still to
// be built, or a package whose file is opened only when the replies before
// it have left the queue (a connection holds one open package at a time).
// Each file is opened at most once on its way to the client. A GET that
// asks for one byte range gets that part of the file (206) or, when the
// range holds none of its bytes, the 416 reply; both are decided by the
// file's size at its open.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <optional>
#include <string_view>
#include <variant>

#include "platform/File.h"
#include "platform/Types.h"
#include "server/ByteRange.h"

class CSmallPackageCache;

// A finished text: the whole reply (404, 503, 416, the head of a "head" request).
struct RoutedText {
    std::string text;
    // The status line written once the reply is queued (empty: none): the
    // "404_NOT_FOUND" and "503_SERVICE_UNAVAILABLE" lines come after the
    // lines that queueing it may write for the replies before it.
    std::wstring statusLine;
    // A 416 reply: the package held none of the bytes asked for, `size` at its open.
    bool rangeNotSatisfiable = false;
    ULONGLONG size = 0;
};

// A package file already open: `header`, then `length` bytes of `file` from `offset`.
struct RoutedFile {
    std::string header;
    std::unique_ptr<CFile> file;
    bool holdsDescriptor = false;  // `file` is a package file open on disk (not bytes in memory)
    ULONGLONG length = 0;
    ULONGLONG offset = 0;
    // The whole file or a part of its `size` bytes at its open.
    ByteRangePart::Verdict part = ByteRangePart::Verdict::Whole;
    ULONGLONG size = 0;
};

// The listing of the folder `folder`, still to be built; the header alone when `headOnly`.
struct RoutedListing {
    std::wstring folder;
    bool headOnly = false;
};

// The package `fullPath`, opened when its turn comes (OpenPackageReply).
struct RoutedDeferredPackage {
    std::wstring fullPath;
    RequestedByteRange range;  // the part asked for, selected by the size at the open
    // The open failed for want of a descriptor: it is tried once more after one was freed.
    bool openFailedForDescriptors = false;
    // The status line, when it is known before the open (a whole file): it
    // is written when the request is taken. Otherwise (a part, whose size
    // decides it) the open writes it.
    std::optional<std::wstring> statusLine;
};

using RoutedReply = std::variant<RoutedText, RoutedFile, RoutedListing, RoutedDeferredPackage>;

// What routing may do beyond looking at the file system.
struct RoutingPolicy {
    // A package may be opened now; otherwise its request is checked and its open deferred.
    bool mayOpenPackage = true;
    // An opened package may stay open for its reply. Otherwise (the server's
    // budget of package descriptors is spent) a small one is read whole and
    // closed, and a larger one gets the 503 reply.
    bool mayHoldDescriptor = true;
    // Kept small packages, looked up before a package is opened (may be null).
    CSmallPackageCache* pCache = nullptr;
    // A "head" request of a package gets the Content-Length its GET would
    // carry; otherwise 0, as setup programs have always read it.
    bool headSizes = false;
};

// Routes one request: logs "Request for: '%s'" and the route's lines, and
// returns the reply (with the status line still to be written, if any).
// `rangeFields` counts for a GET of a package only.
// `notFound` answers "not found" whatever the request asks for (an
// overlong head). Where `target` has several readings (server/RequestTarget.h),
// the first that names an existing file or folder is routed, silently
// looked up; when none does, the first is, as it always was. So the log
// lines are those of the reading served, and those of today when no other
// reading applies.
RoutedReply RouteRequest(const std::wstring& method, std::wstring target, const RangeFields& rangeFields,
                         const std::wstring& packagesFolder, const RoutingPolicy& policy, bool notFound = false);

// Opens the package `fullPath`, found readable when its request was routed,
// for its reply: the file (or the part `range` selects) with its header, the
// 416 reply when the range holds none of its bytes, the "not found" reply when it
// has gone, or the 503 reply when the server itself is short of descriptors
// or memory (`lastTry`: otherwise such a failure returns a deferred package
// with openFailedForDescriptors, to be tried again once a descriptor is free).
RoutedReply OpenPackageReply(const std::wstring& fullPath, const RequestedByteRange& range, CSmallPackageCache* pCache,
                             bool lastTry, bool mayHoldDescriptor);

// Logs the status line of a package's reply ("200_OK", "206_PARTIAL_CONTENT"
// or "416_RANGE_NOT_SATISFIABLE", naming `fullPath`); nothing for other replies.
void LogPackageReply(const RoutedReply& reply, const std::wstring& fullPath);

// The 503 reply for `fullPath`, whose line names it and the error.
RoutedReply UnavailableReplyFor(const std::wstring& fullPath, DWORD error);

// Packages up to this size are read whole when they may not stay open.
constexpr ULONGLONG kWholeReadLimit = 64 * 1024;

// Maps the request path `path` onto the packages folder (either "/" or "\"
// separates) and checks that the result exists: as a file or folder when
// `folderWanted`, otherwise as something readable. On success `path` holds
// the full path. A path that would leave the packages folder, or that names
// a file some other way than it spells out, is refused: logged with
// `requestPathForLog` (or `path` when that is empty) and false, `path`
// unchanged. Each failure logs its line.
bool UpdateAndCheckFilePath(const std::wstring& packagesFolder, std::wstring& path, bool folderWanted,
                            std::wstring_view requestPathForLog = {});
