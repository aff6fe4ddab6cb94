// The listener thread's connections: ownership, descriptor room, budgets and the passes between notifications.
#include "server/ConnectionSet.h"

#include <algorithm>
#include <new>

#include "common/LogSink.h"
#include "platform/DescriptorLimit.h"
#include "platform/Memory.h"
#include "server/HTTPUpdateServiceSocket.h"
#include "server/SendQueue.h"
#include "threading/Clock.h"

namespace {
// Reply memory worth giving back to the system once nothing uses it.
constexpr std::uint64_t kMemoryWorthReturning = std::uint64_t{16} << 20;
// What building a listing takes for a moment, per byte of its document (a
// 100,000-file tree: about 64 MiB for a 3.8 MB document).
constexpr std::uint64_t kBuildBytesPerDocumentByte = 16;
// How long an idle connection must have been quiet before it may give way
// to a new client at the descriptor limit: a clock tick, so that one accepted
// or answered in this very moment is passed over (its client's bytes may be
// on their way), while longer-idle ones still give way at once.
constexpr std::uint64_t kQuietBeforeEvictionMs = 1;
}  // namespace

CConnectionSet::CConnectionSet(std::shared_ptr<const CServerConfig> config, std::function<void()> wakeListener,
                               std::function<void()> afterListingBuilt)
    : m_context(std::move(config), plat::DescriptorLimit(), std::move(wakeListener), std::move(afterListingBuilt)) {}

CConnectionSet::~CConnectionSet() { CloseAll(); }

std::unique_ptr<CHTTPUpdateServiceSocket> CConnectionSet::NewConnection() {
    return std::unique_ptr<CHTTPUpdateServiceSocket>(new (std::nothrow)
                                                          CHTTPUpdateServiceSocket(m_context, *this, ++m_nNextId));
}

void CConnectionSet::Admit(std::unique_ptr<CHTTPUpdateServiceSocket> connection) {
    CHTTPUpdateServiceSocket* admitted = connection.get();
    try {
        m_mapConnections.emplace(admitted->Id(), std::move(connection));
    } catch (const std::bad_alloc&) {
        return;  // the connection object goes, and its client sees the close
    }
    ++m_context.Figures().nAccepted;
    if (NearDescriptorLimit()) FreeDescriptor(admitted);
}

void CConnectionSet::OnConnectionFinished(CHTTPUpdateServiceSocket& connection) {
    try {
        m_lstFinished.push_back(&connection);
    } catch (const std::bad_alloc&) {
        // The periodic pass finds it.
    }
}

void CConnectionSet::OnDescriptorWanted(std::uint64_t id) { m_lstDescriptorWaiters.push_back(id); }

std::vector<CHTTPUpdateServiceSocket*> CConnectionSet::Live() const {
    std::vector<CHTTPUpdateServiceSocket*> live;
    live.reserve(m_mapConnections.size());
    for (const auto& [id, connection] : m_mapConnections)
        if (!connection->IsFinished()) live.push_back(connection.get());
    return live;
}

CHTTPUpdateServiceSocket* CConnectionSet::Find(std::uint64_t id) const {
    const auto found = m_mapConnections.find(id);
    return found == m_mapConnections.end() || found->second->IsFinished() ? nullptr : found->second.get();
}

std::size_t CConnectionSet::CloseAll() {
    const std::size_t open = Count();
    m_lstFinished.clear();
    m_lstDescriptorWaiters.clear();
    m_mapConnections.clear();  // each closes its socket as it is destroyed
    return open;
}

void CConnectionSet::EndAfterQueuedReplies() {
    for (const auto& [id, connection] : m_mapConnections) connection->EndAfterQueuedReplies();
    DeleteFinished();
}

void CConnectionSet::EndWaitsForFirstRequests() {
    for (const auto& [id, connection] : m_mapConnections) connection->EndIfFirstRequestNeverCame();
    DeleteFinished();
}

std::size_t CConnectionSet::RepliesInFlight() const {
    std::size_t owing = 0;
    for (const auto& [id, connection] : m_mapConnections)
        if (connection->OwesReplies()) ++owing;
    return owing;
}

bool CConnectionSet::NearDescriptorLimit() const {
    const unsigned limit = m_context.DescriptorLimit();
    if (limit == 0) return false;
    // Descriptors kept free for the process's own: the log file, listings, small packages read whole.
    const unsigned reserve = limit / 4 < 64 ? limit / 4 : 64;
    return Count() + m_context.PackageDescriptors().Used() + reserve >= limit;
}

bool CConnectionSet::FreeDescriptor(const CHTTPUpdateServiceSocket* keep) {
    // The longest-idle keep-alive connection first. One whose request has
    // arrived but was not read yet is not idle: those are passed over (a
    // few at most are ever looked at). Nor is one that went quiet only a
    // moment ago (just accepted, or just answered): its client's request may
    // be on its way, and closing would reset the client.
    const std::uint64_t now = TickCount64();
    std::vector<const CHTTPUpdateServiceSocket*> passed;
    for (int attempt = 0; attempt < 8; ++attempt) {
        CHTTPUpdateServiceSocket* oldest = nullptr;
        for (const auto& [id, connection] : m_mapConnections) {
            if (connection.get() == keep || !connection->IsIdle()) continue;
            if (now < connection->LastActivityMs() + kQuietBeforeEvictionMs) continue;
            if (std::find(passed.begin(), passed.end(), connection.get()) != passed.end()) continue;
            if (!oldest || connection->LastActivityMs() < oldest->LastActivityMs()) oldest = connection.get();
        }
        if (!oldest) break;
        if (!oldest->HasUnreadBytes()) {
            oldest->CloseNow(nullptr, CloseCause::IdleEviction);
            return true;
        }
        passed.push_back(oldest);
    }
    // Then the connection whose head has waited longest, past the give-way time.
    const std::uint64_t giveWay = m_context.Config().limits.nHeadGiveWayMs;
    CHTTPUpdateServiceSocket* oldestHead = nullptr;
    for (const auto& [id, connection] : m_mapConnections) {
        const std::uint64_t since = connection->HeadWaitingSinceMs();
        if (connection.get() == keep || connection->IsFinished() || since == 0 || now < since || now - since < giveWay)
            continue;
        if (!oldestHead || since < oldestHead->HeadWaitingSinceMs()) oldestHead = connection.get();
    }
    if (!oldestHead) return false;
    oldestHead->CloseNow(nullptr, CloseCause::IdleEviction);
    return true;
}

void CConnectionSet::AfterNotification() {
    if (!m_lstDescriptorWaiters.empty()) RetryDescriptorWaiters();
    if (m_context.Listings().HasFinished()) DeliverListings();
    if (m_context.HeadBytes().IsOver()) EnforceHeadBudget();
    if (!m_lstFinished.empty()) DeleteFinished();
}

void CConnectionSet::DeleteFinished() {
    std::vector<CHTTPUpdateServiceSocket*> finished;
    finished.swap(m_lstFinished);
    for (CHTTPUpdateServiceSocket* connection : finished) m_mapConnections.erase(connection->Id());
}

void CConnectionSet::RetryDescriptorWaiters() {
    std::vector<std::uint64_t> waiters;
    waiters.swap(m_lstDescriptorWaiters);
    for (const std::uint64_t id : waiters) {
        CHTTPUpdateServiceSocket* waiter = Find(id);
        if (waiter == nullptr) continue;
        // Out of descriptors: another connection gives up its own, and the open is tried once more.
        FreeDescriptor(waiter);
        waiter->RetryPackageOpen();
    }
}

void CConnectionSet::DeliverListings() {
    std::vector<CListingService::Finished> done;
    try {
        done = m_context.Listings().TakeFinished();
    } catch (const std::bad_alloc&) {
        return;
    }
    std::vector<std::uint64_t> served;
    CServerFigures& figures = m_context.Figures();
    for (const CListingService::Finished& finished : done) {
        if (finished.outcome == CListingService::Finished::Outcome::Built) {
            ++figures.nListingsBuilt;
            if (finished.waiters.size() > 1) figures.nListingsShared += finished.waiters.size() - 1;
        }
        for (const CListingService::Waiter& waiter : finished.waiters) {
            CHTTPUpdateServiceSocket* connection = Find(waiter.connection);
            if (connection == nullptr) continue;
            connection->OnListingBuilt(finished, waiter);
            try {
                served.push_back(waiter.connection);
            } catch (const std::bad_alloc&) {
                // That connection goes on at its next notification.
            }
        }
    }
    // The documents that replies no longer hold go now, before the requests
    // that waited behind them ask for room in the budget.
    done.clear();
    for (const std::uint64_t id : served) {
        if (CHTTPUpdateServiceSocket* connection = Find(id)) connection->ContinueAfterListings();
    }
}

void CConnectionSet::EnforceHeadBudget() {
    // No setup program sends such heads: the largest go first.
    while (m_context.HeadBytes().IsOver()) {
        CHTTPUpdateServiceSocket* largest = nullptr;
        for (const auto& [id, connection] : m_mapConnections) {
            if (connection->IsFinished() || connection->PartialHeadBytes() == 0) continue;
            if (!largest || connection->PartialHeadBytes() > largest->PartialHeadBytes()) largest = connection.get();
        }
        if (!largest) return;
        largest->CloseNow(L"Connection closed: the request heads kept for all clients pass the server's budget",
                          CloseCause::Budget);
    }
}

std::size_t CConnectionSet::CheckConnections() {
    const std::uint64_t nowMs = TickCount64();
    const std::uint64_t nowSeconds = SendQueueSeconds();
    std::size_t closed = 0;
    for (const auto& [id, connection] : m_mapConnections) {
        if (connection->CheckProgress(nowSeconds, nowMs)) ++closed;
    }
    // A connection that closed outside a notification (or could not report it) goes now.
    for (auto it = m_mapConnections.begin(); it != m_mapConnections.end();) {
        if (it->second->IsFinished()) {
            auto& finished = m_lstFinished;
            finished.erase(std::remove(finished.begin(), finished.end(), it->second.get()), finished.end());
            it = m_mapConnections.erase(it);
        } else {
            ++it;
        }
    }
    ReturnUnusedMemory();
    return closed;
}

void CConnectionSet::ReturnUnusedMemory() {
    // Large replies (listings) and their builds leave their memory with the
    // allocator, which keeps it for later; once the replies are all gone, it
    // goes back.
    const std::uint64_t used = m_context.ReplyMemory().Used();
    m_nReplyMemoryPeak = std::max(m_nReplyMemoryPeak, used);
    const std::uint64_t built = m_context.Listings().BuiltBytes();
    const std::uint64_t buildMemory = (built - m_nBuiltBytesAtReturn) * kBuildBytesPerDocumentByte;
    if (used != 0 || std::max(m_nReplyMemoryPeak, buildMemory) < kMemoryWorthReturning) return;
    m_nReplyMemoryPeak = 0;
    m_nBuiltBytesAtReturn = built;
    plat::ReturnFreeMemory();
}
