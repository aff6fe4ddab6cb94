// Routing one request: decoding its path, choosing file, part, header, listing or not found, and opening the package once.
#include "server/RequestRouting.h"

#include <algorithm>
#include <new>

#include "common/LogSink.h"
#include "common/Utf8.h"
#include "platform/RequestPathRules.h"
#include "platform/Win32Codes.h"
#include "server/Replies.h"
#include "server/ReplyTextFile.h"
#include "server/RequestLogText.h"
#include "server/RequestPath.h"
#include "server/RequestTarget.h"
#include "server/SmallPackageCache.h"

namespace {

constexpr std::wstring_view kPackagesPrefix = L"/packages";
constexpr std::wstring_view kListingName = L"ListFolderContents.asp";
constexpr std::wstring_view kHeadMethod = L"head";
constexpr std::wstring_view kGetMethod = L"get";
// The listing name and the one character before it (normally "/").
constexpr std::size_t kListingSuffixLength = kListingName.size() + 1;

// Opening failed for want of a resource of the server's own, not because of
// the file: the request deserves another try, not "not found".
bool IsServerShortage(DWORD error) {
    constexpr DWORD kNoSystemResources = 1450;  // ERROR_NO_SYSTEM_RESOURCES
    return error == ERROR_TOO_MANY_OPEN_FILES || error == ERROR_NOT_ENOUGH_MEMORY || error == ERROR_OUTOFMEMORY ||
           error == kNoSystemResources;
}

// A log line written after the reply is queued; formatted only when some output takes lines.
template <typename... Args>
std::wstring LaterLine(std::wstring_view format, const Args&... args) {
    const ILogSink* sink = CurrentLogSink();
    return sink != nullptr && sink->TakesLines() ? FormatW(format, args...) : std::wstring();
}

RoutedReply TextReplyOf(std::string text, std::wstring statusLine = {}) {
    return RoutedText{std::move(text), std::move(statusLine)};
}

RoutedReply NotFound(std::wstring_view pathForLog) {
    return TextReplyOf(NotFoundReply(), LaterLine(L"404_NOT_FOUND => '%s'", RequestTextForLog(pathForLog)));
}

RoutedReply Unavailable(const std::wstring& fullPath, DWORD error) {
    return TextReplyOf(UnavailableReply(),
                       LaterLine(L"503_SERVICE_UNAVAILABLE => '%s' (error %lu)", RequestTextForLog(fullPath), error));
}

// The reply that sends the package open as `file`, `size` bytes long at its
// open: whole, the part `range` selects, or the 416 reply (the file closed).
RoutedReply PackageReply(std::unique_ptr<CFile> file, ULONGLONG size, const RequestedByteRange& range) {
    const ByteRangePart part = SelectByteRange(range, size);
    RoutedFile reply;
    reply.part = part.verdict;
    reply.size = size;
    switch (part.verdict) {
        case ByteRangePart::Verdict::Whole:
            reply.header = FileReplyHeader(static_cast<std::int64_t>(size));
            reply.length = size;
            break;
        case ByteRangePart::Verdict::Part:
            reply.header = PartialReplyHeader(part.first, part.length, size);
            reply.offset = part.first;
            reply.length = part.length;
            break;
        case ByteRangePart::Verdict::NotSatisfiable:
            file->Close();
            return RoutedText{RangeNotSatisfiableReply(size), {}, true, size};
    }
    reply.file = std::move(file);
    return reply;
}

RoutedDeferredPackage DeferredReply(const std::wstring& fullPath, const RequestedByteRange& range) {
    RoutedDeferredPackage reply;
    reply.fullPath = fullPath;
    reply.range = range;
    return reply;
}

// The reply carries the package (whole, a part, or the 416 that says no part).
bool IsPackageReply(const RoutedReply& reply) {
    const RoutedText* text = std::get_if<RoutedText>(&reply);
    return std::holds_alternative<RoutedFile>(reply) || (text != nullptr && text->rangeNotSatisfiable);
}

// Not opened, and not for want of the server's own resources (an empty text: the caller decides).
bool IsOpenRefused(const RoutedReply& reply) {
    const RoutedText* text = std::get_if<RoutedText>(&reply);
    return text != nullptr && text->text.empty();
}

bool MapToPackages(const std::wstring& packagesFolder, std::wstring& path) {
    std::wstring fullPath;
    if (MapRequestPath(packagesFolder, path, fullPath) == RequestPathVerdict::Refused) return false;
    path = std::move(fullPath);
    return true;
}

// The listing route's path without the prefix, and the folder part of it.
std::wstring ListedPath(const std::wstring& path, bool packagesPrefix) {
    return packagesPrefix ? path.substr(kPackagesPrefix.size()) : path;
}
std::wstring ListedFolder(const std::wstring& listed) {
    return listed.size() > kListingSuffixLength ? listed.substr(0, listed.size() - kListingSuffixLength)
                                                : std::wstring();
}

// Whether a decoded path names an existing file or folder on its route, as
// the route's own check would find it, without a log line.
bool NamesSomething(const std::wstring& path, const std::wstring& packagesFolder) {
    const bool packagesPrefix = AsciiStartsWithNoCase(path, kPackagesPrefix);
    std::wstring fullPath;
    if (AsciiEndsWithNoCase(path, kListingName)) {
        return MapRequestPath(packagesFolder, ListedFolder(ListedPath(path, packagesPrefix)), fullPath) ==
                   RequestPathVerdict::Mapped &&
               plat::PathExists(fullPath);
    }
    return packagesPrefix &&
           MapRequestPath(packagesFolder, path.substr(kPackagesPrefix.size()), fullPath) ==
               RequestPathVerdict::Mapped &&
           plat::PathReadable(fullPath);
}

// The reading of the request target that is routed (see RouteRequest).
const RequestPathReading& ReadingToRoute(const std::vector<RequestPathReading>& readings,
                                         const std::wstring& packagesFolder) {
    if (readings.size() > 1) {
        for (const RequestPathReading& reading : readings)
            if (reading.mayNameFile && NamesSomething(reading.path, packagesFolder)) return reading;
    }
    return readings.front();
}

RoutedReply RouteListing(const std::wstring& path, bool packagesPrefix, bool headOnly,
                         const std::wstring& packagesFolder) {
    const std::wstring listed = ListedPath(path, packagesPrefix);
    std::wstring folder = ListedFolder(listed);
    if (!UpdateAndCheckFilePath(packagesFolder, folder, true, path)) return NotFound(listed);
    return RoutedListing{std::move(folder), headOnly};
}

// The bytes of a small open package, read whole; null when they cannot be.
std::unique_ptr<CFile> ReadWhole(CDiskFile& file, ULONGLONG length) {
    auto bytes = std::make_shared<std::string>(static_cast<std::size_t>(length), '\0');
    const UINT count = file.Read(bytes->data(), static_cast<UINT>(length));
    if (file.Failed() || count != length) return nullptr;
    return std::make_unique<CReplyTextFile>(std::move(bytes), std::make_shared<const std::wstring>(file.GetFileName()));
}

// Opens a package that was found readable: the file (or its part, or the
// 416 reply) with its reply, a Deferred retry or a 503 when the server is
// short, or an empty Text when it will not open for another reason.
RoutedReply OpenedOrFailed(const std::wstring& fullPath, const RequestedByteRange& range, CSmallPackageCache* pCache,
                           bool lastTry, bool mayHoldDescriptor) {
    auto opened = std::make_unique<CDiskFile>();
    DWORD error = NO_ERROR;
    if (opened->Open(fullPath, &error)) {
        // The length from the open's own look at the file: no second query.
        const ULONGLONG length = opened->GetLengthAtOpen();
        if (pCache != nullptr) {
            if (std::unique_ptr<CFile> kept = pCache->Keep(fullPath, *opened))
                return PackageReply(std::move(kept), length, range);
        }
        if (mayHoldDescriptor) {
            RoutedReply reply = PackageReply(std::move(opened), length, range);
            // (A 416 reply has closed it.)
            if (RoutedFile* held = std::get_if<RoutedFile>(&reply)) held->holdsDescriptor = true;
            return reply;
        }
        // The descriptor goes back at once: a small package as bytes, a large one asked for again later.
        std::unique_ptr<CFile> whole = length <= kWholeReadLimit ? ReadWhole(*opened, length) : nullptr;
        opened->Close();
        if (whole) return PackageReply(std::move(whole), length, range);
        return Unavailable(fullPath, ERROR_TOO_MANY_OPEN_FILES);
    }
    if (IsServerShortage(error)) {
        if (error == ERROR_TOO_MANY_OPEN_FILES && !lastTry) {
            RoutedDeferredPackage retry = DeferredReply(fullPath, range);
            retry.openFailedForDescriptors = true;
            return retry;
        }
        return Unavailable(fullPath, error);
    }
    return RoutedText{};  // no text: the caller decides
}

// A package that may be opened now. A file that opens is readable: the
// check needs no look of its own, and the reply goes out on the file
// already open. Anything else takes the checks, with their log lines.
RoutedReply OpenForRequest(const std::wstring& file, const std::wstring& path, const RequestedByteRange& range,
                           const std::wstring& packagesFolder, const RoutingPolicy& policy) {
    RoutedReply opened = OpenedOrFailed(file, range, policy.pCache, false, policy.mayHoldDescriptor);
    if (IsPackageReply(opened)) {
        LogPackageReply(opened, file);
        return opened;
    }
    if (!IsOpenRefused(opened)) return opened;
    // Not opened, and not for want of the server's own resources: a
    // readable path that would not open (a folder, say) gets "not found"
    // without a second try.
    std::wstring checked = path.substr(kPackagesPrefix.size());
    if (!UpdateAndCheckFilePath(packagesFolder, checked, false, path)) return NotFound(path);
    AppLog(L"200_OK => '%s'", RequestTextForLog(checked));
    AppLog(L"SendFile file not found => '%s'", RequestTextForLog(checked));
    return TextReplyOf(NotFoundReply());
}

// The head a GET of the package `fullPath` would carry, without its body.
// What does not open as a package (a folder, say) keeps the length 0.
std::string HeadReplyWithSize(const std::wstring& fullPath) {
    CDiskFile file;
    if (!file.Open(fullPath)) return HeadOkReply();
    const ULONGLONG length = file.GetLengthAtOpen();
    file.Close();
    return FileReplyHeader(static_cast<std::int64_t>(length));
}

// A "head" request, or a package that is not opened now: checked, then
// answered, or deferred until the replies before it have left the queue.
RoutedReply CheckForRequest(bool head, const std::wstring& path, const RequestedByteRange& range,
                            const std::wstring& packagesFolder, bool headSizes) {
    std::wstring file = path.substr(kPackagesPrefix.size());
    if (!UpdateAndCheckFilePath(packagesFolder, file, false, path)) return NotFound(path);
    if (head) {
        AppLog(L"200_OK_HEAD => '%s'", RequestTextForLog(file));
        return TextReplyOf(headSizes ? HeadReplyWithSize(file) : HeadOkReply());
    }
    // A part's line waits for its open too: the file's size then decides it.
    RoutedDeferredPackage deferred = DeferredReply(file, range);
    if (range.form == RequestedByteRange::Form::None)
        deferred.statusLine = LaterLine(L"200_OK => '%s'", RequestTextForLog(file));
    return deferred;
}

RoutedReply RouteFile(const std::wstring& method, const std::wstring& path, const RangeFields& rangeFields,
                      const std::wstring& packagesFolder, const RoutingPolicy& policy) {
    const bool head = AsciiEqualsNoCase(method, kHeadMethod);
    // Only a GET takes a part of a file, and never with If-Range: no reply
    // carries a validator, so none can be confirmed.
    const RequestedByteRange range =
        AsciiEqualsNoCase(method, kGetMethod) && !rangeFields.hasIfRange ? rangeFields.range : RequestedByteRange{};
    std::wstring file;
    if (head || MapRequestPath(packagesFolder, std::wstring_view(path).substr(kPackagesPrefix.size()), file) ==
                    RequestPathVerdict::Refused)
        return CheckForRequest(head, path, range, packagesFolder, policy.headSizes);
    // A small package kept in memory and still unchanged on disk needs no open at all.
    if (policy.pCache != nullptr) {
        if (std::unique_ptr<CFile> kept = policy.pCache->Find(file)) {
            const ULONGLONG length = kept->GetLength();
            RoutedReply reply = PackageReply(std::move(kept), length, range);
            LogPackageReply(reply, file);
            return reply;
        }
    }
    if (policy.mayOpenPackage) return OpenForRequest(file, path, range, packagesFolder, policy);
    return CheckForRequest(false, path, range, packagesFolder, false);
}

}  // namespace

RoutedReply RouteRequest(const std::wstring& method, std::wstring target, const RangeFields& rangeFields,
                         const std::wstring& packagesFolder, const RoutingPolicy& policy, bool notFound) {
    // Most paths have one reading only: no list of readings is made for them.
    RequestPathReading only;
    std::vector<RequestPathReading> readings;
    const RequestPathReading* pReading = &only;
    const std::wstring_view withoutAuthority = WithoutAbsoluteAuthority(target);
    // (A plain loop: find_first_of calls wmemchr once per character.)
    const bool otherReadings = std::any_of(withoutAuthority.begin(), withoutAuthority.end(),
                                           [](wchar_t c) { return c == L'+' || c == L'?'; });
    if (!otherReadings && withoutAuthority.size() == target.size() && IsPlainRequestPath(target, true)) {
        // Nothing to take off or decode: the target is the path.
        only.path = std::move(target);
        only.mayNameFile = true;
    } else if (!otherReadings) {
        only.mayNameFile = DecodeRequestPath(withoutAuthority, true, only.path);
    } else {
        readings = RequestPathReadings(target);
        pReading = notFound ? &readings.front() : &ReadingToRoute(readings, packagesFolder);
    }
    const RequestPathReading& reading = *pReading;
    const std::wstring& path = reading.path;
    AppLog(L"Request for: '%s'", RequestTextForLog(path));
    // Bytes that are not text cannot name any file.
    if (notFound || !reading.mayNameFile) return NotFound(path);
    const bool packagesPrefix = AsciiStartsWithNoCase(path, kPackagesPrefix);
    if (AsciiEndsWithNoCase(path, kListingName))
        return RouteListing(path, packagesPrefix, AsciiEqualsNoCase(method, kHeadMethod), packagesFolder);
    if (packagesPrefix) return RouteFile(method, path, rangeFields, packagesFolder, policy);
    return NotFound(path);
}

RoutedReply OpenPackageReply(const std::wstring& fullPath, const RequestedByteRange& range, CSmallPackageCache* pCache,
                             bool lastTry, bool mayHoldDescriptor) {
    RoutedReply opened = OpenedOrFailed(fullPath, range, pCache, lastTry, mayHoldDescriptor);
    if (!IsOpenRefused(opened)) return opened;
    // Gone, or no longer readable, since its request was routed.
    AppLog(L"SendFile file not found => '%s'", RequestTextForLog(fullPath));
    return TextReplyOf(NotFoundReply());
}

void LogPackageReply(const RoutedReply& reply, const std::wstring& fullPath) {
    if (const RoutedText* text = std::get_if<RoutedText>(&reply)) {
        if (text->rangeNotSatisfiable)
            AppLog(L"416_RANGE_NOT_SATISFIABLE => '%s' (bytes */%llu)", RequestTextForLog(fullPath), text->size);
        return;
    }
    const RoutedFile* file = std::get_if<RoutedFile>(&reply);
    if (file == nullptr) return;
    if (file->part == ByteRangePart::Verdict::Part) {
        AppLog(L"206_PARTIAL_CONTENT => '%s' (bytes %llu-%llu/%llu)", RequestTextForLog(fullPath), file->offset,
               file->offset + file->length - 1, file->size);
    } else {
        AppLog(L"200_OK => '%s'", RequestTextForLog(fullPath));
    }
}

RoutedReply UnavailableReplyFor(const std::wstring& fullPath, DWORD error) { return Unavailable(fullPath, error); }

bool UpdateAndCheckFilePath(const std::wstring& packagesFolder, std::wstring& path, bool folderWanted,
                            std::wstring_view requestPathForLog) {
    if (!MapToPackages(packagesFolder, path)) {
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
