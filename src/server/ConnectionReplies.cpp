// A connection's replies: routing each request, queueing what it gets, and sending.
#include <new>

#include "common/LogSink.h"
#include "common/Utf8.h"
#include "server/HTTPUpdateServiceSocket.h"
#include "server/MetricsRequest.h"
#include "server/Replies.h"
#include "server/RequestLogText.h"
#include "server/ServerContext.h"
#include "server/SocketSink.h"

namespace {
// The kind a text reply counts as, by its status code (a 200 text from routing is a "head" reply).
ReplyFigure FigureOf(const std::string& text) {
    const std::string_view status = std::string_view(text).substr(0, 12);
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
    policy.mayOpenPackage = m_sendQueue.LeasedEntries() == 0 && !m_requests.HasPackages();
    policy.mayHoldDescriptor = !m_context.PackageDescriptors().WouldPass(1);
    policy.pCache = m_context.PackageCache();
    policy.headSizes = m_context.Config().m_bHeadSizes;
    RoutedReply reply =
        RouteRequest(method, std::move(path), rangeFields, m_context.PackagesFolder(), policy, notFound);
    Queue(reply);
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
    RoutedReply reply = RoutedText{std::move(text), {}, false, 0};
    Queue(reply, token, alreadyCounted);
}

void CHTTPUpdateServiceSocket::Queue(RoutedReply& routed, std::uint64_t token, bool alreadyCounted) {
    if (RoutedListing* listing = std::get_if<RoutedListing>(&routed)) {
        QueueListing(*listing);
        return;
    }
    ReplyFigure figure = ReplyFigure::Count;
    bool queued = true;
    std::wstring statusLine;
    if (RoutedText* text = std::get_if<RoutedText>(&routed)) {
        figure = FigureOf(text->text);
        statusLine = std::move(text->statusLine);
        queued = token != 0 ? m_sendQueue.ResolveWithText(token, std::move(text->text))
                            : m_sendQueue.AppendMemoryReply(std::move(text->text));
    } else if (RoutedFile* file = std::get_if<RoutedFile>(&routed)) {
        figure = file->part == ByteRangePart::Verdict::Part ? ReplyFigure::Partial : ReplyFigure::Ok;
        queued = QueueFile(*file, token);
    } else {
        queued = QueueDeferred(std::get<RoutedDeferredPackage>(routed), token);
    }
    if (!queued) {
        FailReply();
        return;
    }
    if (figure != ReplyFigure::Count && !alreadyCounted) m_context.Figures().CountReply(figure);
    SendPending();
    if (!statusLine.empty()) AppLog(L"%s", statusLine);
}

bool CHTTPUpdateServiceSocket::QueueFile(RoutedFile& reply, std::uint64_t token) {
    // An open package file counts against the server's descriptors until it is closed.
    CBudgetLease lease;
    if (reply.holdsDescriptor) lease = CBudgetLease(m_context.PackageDescriptors(), 1);
    return token != 0 ? m_sendQueue.ResolveWithFile(token, std::move(reply.header), std::move(reply.file),
                                                     reply.length, reply.offset, std::move(lease))
                       : m_sendQueue.AppendFileReply(std::move(reply.header), std::move(reply.file), reply.length,
                                                     reply.offset, std::move(lease));
}

void CHTTPUpdateServiceSocket::SendPending() {
    for (;;) {
        CSocketSink sink(*this);
        const bool turnOver = m_sendQueue.SendPending(sink);
        m_context.Figures().nBytesSent += sink.SentBytes();
        if (sink.Progressed()) NoteActivity();
        if (sink.Broke()) {
            Break(CloseCause::Client);  // the peer is gone: nothing more can be delivered
            return;
        }
        if (turnOver) {
            // The others' turn: sending goes on at the next writable notification.
            RequestWriteNotification();
            return;
        }
        // The replies before a deferred package have left the queue: its turn.
        const std::uint64_t token = m_sendQueue.PendingHeadToken();
        if (token == 0 || m_state == ConnectionState::Broken) return;
        const std::size_t waitingBefore = m_requests.Size();
        OpenDeferredAtHead();
        if (m_requests.Size() == waitingBefore) return;  // still waiting (a listing, or a descriptor)
    }
}

void CHTTPUpdateServiceSocket::FailReply() {
    // Without its reply the client could never tell the later replies apart.
    Break(CloseCause::Error);
    AppLog(L"Connection closed: not enough memory to queue a reply");
}
