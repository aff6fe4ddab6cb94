// A connection's replies: routing each request, queueing what it gets, deferred package opens and listings.
#include <new>

#include "common/LogSink.h"
#include "common/Utf8.h"
#include "platform/Win32Codes.h"
#include "server/HTTPUpdateServiceSocket.h"
#include "server/MetricsRequest.h"
#include "server/Replies.h"
#include "server/ReplyTextFile.h"
#include "server/RequestLogText.h"
#include "server/RequestRouting.h"
#include "server/ServerContext.h"
#include "server/SocketSink.h"

namespace {
// The kind a queued reply counts as: a package's by the part it holds, a
// text reply by its status code (a 200 text from routing is a "head" reply).
ReplyFigure FigureOf(const RoutedReply& reply) {
    if (reply.kind == RoutedReply::Kind::File)
        return reply.part == ByteRangePart::Verdict::Part ? ReplyFigure::Partial : ReplyFigure::Ok;
    const std::string_view status = std::string_view(reply.text).substr(0, 12);
    if (status == "HTTP/1.1 200") return ReplyFigure::Head;
    if (status == "HTTP/1.1 404") return ReplyFigure::NotFound;
    if (status == "HTTP/1.1 416") return ReplyFigure::RangeNotSatisfiable;
    if (status == "HTTP/1.1 503") return ReplyFigure::Unavailable;
    return ReplyFigure::Count;
}
}  // namespace

void CHTTPUpdateServiceSocket::Answer(const std::wstring& method, std::wstring path, const RangeFields& rangeFields,
                                      bool notFound) {
    if (!notFound && IsMetricsRequest(method, path) && AnswerMetrics(method, path)) return;
    RoutingPolicy policy;
    // One package file open per connection: while one is held (or one
    // queued earlier waits for its open), the next waits its turn.
    policy.mayOpenPackage = m_sendQueue.LeasedEntries() == 0 && m_lstDeferred.empty();
    policy.mayHoldDescriptor = !m_context.PackageDescriptors().WouldPass(1);
    policy.pCache = m_context.PackageCache();
    policy.headSizes = m_context.Config().m_bHeadSizes;
    RoutedReply reply =
        RouteRequest(method, std::move(path), rangeFields, m_context.PackagesFolder(), policy, notFound);
    if (reply.kind == RoutedReply::Kind::Listing) {
        QueueListing(reply);
    } else {
        Queue(reply);
    }
}

bool CHTTPUpdateServiceSocket::AnswerMetrics(const std::wstring& method, const std::wstring& path) {
    // Only a client on this machine's loopback gets the figures; everyone
    // else gets what any unknown path gets.
    if (!m_context.Config().m_bMetrics || !IsPeerLoopback()) return false;
    AppLog(L"Request for: '%s'", RequestTextForLog(path));
    AppLog(L"200_OK_METRICS => '%s'", RequestTextForLog(path));
    // The page shows the requests before this one.
    QueueText(MetricsReply(m_context, AsciiEqualsNoCase(method, L"head")), 0, true);
    m_context.Figures().CountReply(ReplyFigure::Metrics);
    return true;
}

void CHTTPUpdateServiceSocket::QueueText(std::string text, std::uint64_t token, bool alreadyCounted) {
    RoutedReply reply;
    reply.text = std::move(text);
    Queue(reply, token, alreadyCounted);
}

void CHTTPUpdateServiceSocket::Queue(RoutedReply& reply, std::uint64_t token, bool alreadyCounted) {
    const bool answers = reply.kind == RoutedReply::Kind::Text || reply.kind == RoutedReply::Kind::File;
    const ReplyFigure figure = answers && !alreadyCounted ? FigureOf(reply) : ReplyFigure::Count;
    bool queued = true;
    switch (reply.kind) {
        case RoutedReply::Kind::Text:
            queued = token != 0 ? m_sendQueue.ResolveWithText(token, std::move(reply.text))
                                : m_sendQueue.AppendMemoryReply(std::move(reply.text));
            break;
        case RoutedReply::Kind::File: {
            // An open package file counts against the server's descriptors until it is closed.
            CBudgetLease lease;
            if (reply.fileHoldsDescriptor) lease = CBudgetLease(m_context.PackageDescriptors(), 1);
            queued = token != 0 ? m_sendQueue.ResolveWithFile(token, std::move(reply.header), std::move(reply.file),
                                                              reply.length, reply.offset, std::move(lease))
                                : m_sendQueue.AppendFileReply(std::move(reply.header), std::move(reply.file),
                                                              reply.length, reply.offset, std::move(lease));
            break;
        }
        case RoutedReply::Kind::Deferred: {
            const std::uint64_t placeholder = token != 0 ? token : NextToken();
            if (token == 0) queued = m_sendQueue.AppendPending(placeholder);
            if (queued) {
                m_lstDeferred.push_back(DeferredPackage{placeholder, reply.fullPath, reply.range, reply.lineLogged,
                                                        reply.openFailedForDescriptors, false});
                if (reply.openFailedForDescriptors) m_reports.OnDescriptorWanted(m_nId);
            }
            break;
        }
        case RoutedReply::Kind::Listing:
            QueueListing(reply);
            return;
    }
    if (!queued) {
        FailReply();
        return;
    }
    if (figure != ReplyFigure::Count) m_context.Figures().CountReply(figure);
    SendPending();
    if (!reply.lineAfterQueued.empty()) AppLog(L"%s", reply.lineAfterQueued);
}

void CHTTPUpdateServiceSocket::QueueListing(RoutedReply& reply) {
    // Listings are built in memory: past the server's budget for reply
    // texts, the client is asked to come again.
    if (m_context.ReplyMemory().Used() >= m_context.ReplyMemory().Limit()) {
        RoutedReply unavailable = UnavailableReplyFor(reply.fullPath, ERROR_NOT_ENOUGH_MEMORY);
        Queue(unavailable);
        return;
    }
    const std::uint64_t token = NextToken();
    if (!m_sendQueue.AppendPending(token)) {
        FailReply();
        return;
    }
    if (!m_context.Listings().Request(reply.fullPath, CListingService::Waiter{m_nId, token, reply.headOnly})) {
        RoutedReply unavailable = UnavailableReplyFor(reply.fullPath, ERROR_NOT_ENOUGH_MEMORY);
        Queue(unavailable, token);
        return;
    }
    ++m_nListingsBuilding;
}

void CHTTPUpdateServiceSocket::OnListingBuilt(const CListingService::Finished& finished,
                                              const CListingService::Waiter& waiter) {
    if (m_bFinished || !m_sendQueue.HasPending(waiter.token)) return;
    --m_nListingsBuilding;
    try {
        using Outcome = CListingService::Finished::Outcome;
        if (finished.outcome == Outcome::Built) {
            const std::shared_ptr<const CListingService::Document>& document = finished.document;
            std::string header = TextReplyHeader(document->bytes.size());
            m_context.Figures().CountReply(ReplyFigure::Listing);
            if (waiter.headOnly) {
                // A "head" request gets the head the GET would carry, without the body.
                QueueText(std::move(header), waiter.token, true);
            } else {
                // The reply shares the document with every other reply of the same build.
                const std::uint64_t memoryBytes = header.size() + document->bytes.size();
                std::unique_ptr<CFile> file(new CReplyTextFile(
                    std::move(header), std::shared_ptr<const std::string>(document, &document->bytes)));
                if (m_sendQueue.ResolveWithReplyFile(waiter.token, std::move(file), memoryBytes)) {
                    SendPending();
                } else {
                    FailReply();
                }
            }
        } else if (finished.outcome == Outcome::TooLarge) {
            // Its log line says why; the client gets "not found".
            QueueText(NotFoundReply(), waiter.token);
        } else {
            RoutedReply reply = UnavailableReplyFor(finished.folder, ERROR_NOT_ENOUGH_MEMORY);
            Queue(reply, waiter.token);
        }
    } catch (const std::bad_alloc&) {
        OnOutOfMemory();
    }
    FinishNotification();
}

void CHTTPUpdateServiceSocket::ContinueAfterListings() {
    if (m_bFinished) return;
    try {
        ResumeReading();
    } catch (const std::bad_alloc&) {
        OnOutOfMemory();
    }
    FinishNotification();
}

void CHTTPUpdateServiceSocket::OpenDeferredAtHead() {
    const std::uint64_t token = m_sendQueue.PendingHeadToken();
    if (token == 0) return;
    auto deferred = m_lstDeferred.begin();
    while (deferred != m_lstDeferred.end() && deferred->token != token) ++deferred;
    if (deferred == m_lstDeferred.end()) return;  // a listing: its worker resolves it
    if (deferred->waitingForDescriptor) return;
    RoutedReply reply = OpenPackageReply(deferred->fullPath, deferred->range, m_context.PackageCache(),
                                         deferred->lastTry, !m_context.PackageDescriptors().WouldPass(1));
    if (reply.kind == RoutedReply::Kind::Deferred) {
        deferred->waitingForDescriptor = true;
        m_reports.OnDescriptorWanted(m_nId);
        return;
    }
    if (!deferred->lineLogged) LogPackageReply(reply, deferred->fullPath);
    // The reply takes the placeholder's place.
    m_lstDeferred.erase(deferred);
    Queue(reply, token);
}

void CHTTPUpdateServiceSocket::RetryPackageOpen() {
    if (m_bFinished) return;
    // The next open of a package that waited is its last: it is opened at once if its turn has come.
    for (DeferredPackage& deferred : m_lstDeferred) {
        if (!deferred.waitingForDescriptor) continue;
        deferred.waitingForDescriptor = false;
        deferred.lastTry = true;
    }
    try {
        OpenDeferredAtHead();
        SendPending();
        ResumeReading();
    } catch (const std::bad_alloc&) {
        OnOutOfMemory();
    }
    FinishNotification();
}

void CHTTPUpdateServiceSocket::SendPending() {
    for (;;) {
        CSocketSink sink(*this);
        const bool turnOver = m_sendQueue.SendPending(sink);
        m_context.Figures().nBytesSent += sink.SentBytes();
        if (sink.Progressed()) NoteActivity();
        if (sink.Broke()) {
            m_bBroken = true;  // the peer is gone: nothing more can be delivered
            return;
        }
        if (turnOver) {
            // The others' turn: sending goes on at the next writable notification.
            RequestWriteNotification();
            return;
        }
        // The replies before a deferred package have left the queue: its turn.
        const std::uint64_t token = m_sendQueue.PendingHeadToken();
        if (token == 0 || m_bBroken) return;
        const std::size_t deferredBefore = m_lstDeferred.size();
        OpenDeferredAtHead();
        if (m_lstDeferred.size() == deferredBefore) return;  // still waiting (a listing, or a descriptor)
    }
}

void CHTTPUpdateServiceSocket::FailReply() {
    // Without its reply the client could never tell the later replies apart.
    m_bBroken = true;
    m_bOutOfMemory = true;
    AppLog(L"Connection closed: not enough memory to queue a reply");
}
