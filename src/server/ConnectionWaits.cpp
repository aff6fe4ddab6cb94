// A connection's replies that wait for something else than the socket: a package's open, a listing's build.
#include <new>

#include "common/LogSink.h"
#include "platform/Win32Codes.h"
#include "server/HTTPUpdateServiceSocket.h"
#include "server/Replies.h"
#include "server/ReplyTextFile.h"
#include "server/ServerContext.h"

bool CHTTPUpdateServiceSocket::QueueDeferred(RoutedDeferredPackage& reply, std::uint64_t token) {
    // A whole file's status line is known now: it comes before the lines of
    // the replies before it that are opened while this one is queued.
    const bool lineKnown = reply.statusLine.has_value();
    if (lineKnown && !reply.statusLine->empty()) AppLog(L"%s", *reply.statusLine);
    const std::uint64_t placeholder = token != 0 ? token : NextToken();
    if (token == 0 && !m_sendQueue.AppendPending(placeholder)) return false;
    const auto open =
        reply.openFailedForDescriptors ? DeferredPackage::Open::WaitingForDescriptor : DeferredPackage::Open::AtItsTurn;
    m_requests.Add(placeholder, DeferredPackage{reply.fullPath, reply.range, lineKnown, open});
    if (reply.openFailedForDescriptors) m_reports.OnDescriptorWanted(m_nId);
    return true;
}

void CHTTPUpdateServiceSocket::QueueListing(const RoutedListing& reply) {
    // Listings are built in memory: past the server's budget for reply
    // texts, the client is asked to come again.
    if (m_context.ReplyMemory().Used() >= m_context.ReplyMemory().Limit()) {
        RoutedReply unavailable = UnavailableReplyFor(reply.folder, ERROR_NOT_ENOUGH_MEMORY);
        Queue(unavailable);
        return;
    }
    const std::uint64_t token = NextToken();
    if (!m_sendQueue.AppendPending(token)) {
        FailReply();
        return;
    }
    m_requests.Add(token, ListingWait{});
    if (!m_context.Listings().Request(reply.folder, CListingService::Waiter{m_nId, token, reply.headOnly})) {
        m_requests.Remove(token);
        RoutedReply unavailable = UnavailableReplyFor(reply.folder, ERROR_NOT_ENOUGH_MEMORY);
        Queue(unavailable, token);
    }
}

void CHTTPUpdateServiceSocket::OnListingBuilt(const CListingService::Finished& finished,
                                              const CListingService::Waiter& waiter) {
    if (m_state == ConnectionState::Closed || !m_requests.IsListing(waiter.token)) return;
    m_requests.Remove(waiter.token);
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
    if (m_state == ConnectionState::Closed) return;
    try {
        ResumeReading();
    } catch (const std::bad_alloc&) {
        OnOutOfMemory();
    }
    FinishNotification();
}

void CHTTPUpdateServiceSocket::OpenDeferredAtHead() {
    const std::uint64_t token = m_sendQueue.PendingHeadToken();
    DeferredPackage* deferred = token != 0 ? m_requests.FindPackage(token) : nullptr;
    // A listing's worker resolves its own entry; a package that waits for a descriptor waits for its set.
    if (deferred == nullptr || deferred->open == DeferredPackage::Open::WaitingForDescriptor) return;
    const bool lastTry = deferred->open == DeferredPackage::Open::LastTry;
    RoutedReply reply = OpenPackageReply(deferred->fullPath, deferred->range, m_context.PackageCache(), lastTry,
                                         !m_context.PackageDescriptors().WouldPass(1));
    if (std::holds_alternative<RoutedDeferredPackage>(reply)) {
        deferred->open = DeferredPackage::Open::WaitingForDescriptor;
        m_reports.OnDescriptorWanted(m_nId);
        return;
    }
    if (!deferred->statusLineWritten) LogPackageReply(reply, deferred->fullPath);
    // The reply takes the placeholder's place.
    m_requests.Remove(token);
    Queue(reply, token);
}

void CHTTPUpdateServiceSocket::RetryPackageOpen() {
    if (m_state == ConnectionState::Closed) return;
    // The next open of a package that waited is its last: it is opened at once if its turn has come.
    m_requests.GrantLastTries();
    try {
        OpenDeferredAtHead();
        SendPending();
        ResumeReading();
    } catch (const std::bad_alloc&) {
        OnOutOfMemory();
    }
    FinishNotification();
}
