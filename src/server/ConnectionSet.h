// The live connections of one listener thread, owned here, and the passes over them between notifications.
//
// Connections act on their own notifications and report to their set
// (server/ConnectionReports.h) what they cannot settle themselves: that
// they closed, that a package open found no descriptor. The set, driven by
// its thread's loop after every notification and at every periodic check,
// acts on those reports and on the server's budgets: it deletes closed
// connections, frees descriptors for those that wait, hands finished
// listings to the connections that asked, closes connections that hold the
// largest request heads when the heads budget is passed, and applies the
// time rules (stalled transfers, lingering closes, heads that do not end).
// It calls connections; connections never call it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

#include "server/ConnectionReports.h"
#include "server/ServerContext.h"

class CHTTPUpdateServiceSocket;

class CConnectionSet : private IConnectionReports {
  public:
    // `wakeListener` is called from a listing worker when a document is
    // ready (the listener thread then runs AfterNotification);
    // `afterListingBuilt`: see CListingService.
    CConnectionSet(std::shared_ptr<const CServerConfig> config, std::function<void()> wakeListener,
                   std::function<void()> afterListingBuilt = {});
    // Closes and deletes every connection still open.
    ~CConnectionSet();
    CConnectionSet(const CConnectionSet&) = delete;
    CConnectionSet& operator=(const CConnectionSet&) = delete;

    CServerContext& Context() { return m_context; }

    // A new connection object for the next accept; null without memory.
    std::unique_ptr<CHTTPUpdateServiceSocket> NewConnection();
    // Takes an accepted connection. When the process comes near its
    // descriptor limit, an idle connection (or one with an old head) is
    // closed so that the next client finds room.
    void Admit(std::unique_ptr<CHTTPUpdateServiceSocket> connection);

    // Open connections.
    std::size_t Count() const { return m_mapConnections.size() - m_lstFinished.size(); }
    std::vector<CHTTPUpdateServiceSocket*> Live() const;
    // Closes and deletes every connection; returns how many were open.
    std::size_t CloseAll();
    // The server stops: connections read no further request, idle ones
    // close now, the others once their queued replies are sent
    // (CHTTPUpdateServiceSocket::EndAfterQueuedReplies).
    void EndAfterQueuedReplies();
    // Connections whose queued replies are still being sent.
    std::size_t RepliesInFlight() const;
    // While the server stops: closes the new connections whose first request
    // did not come in time (CHTTPUpdateServiceSocket::kFirstRequestGraceMs).
    void EndWaitsForFirstRequests();

    // Closes one connection to free its descriptor, other than `keep`: the
    // longest-idle keep-alive connection, or else the one whose request head
    // has waited longest, when longer than the give-way time. False when
    // none may go.
    bool FreeDescriptor(const CHTTPUpdateServiceSocket* keep = nullptr);
    // Connections and held package files come near the descriptor limit.
    bool NearDescriptorLimit() const;

    // After every pass over the thread's notifications: acts on what
    // connections reported (see the file comment). Cheap when there is
    // nothing to do.
    void AfterNotification();
    // The periodic pass over every connection (stall rule, lingering
    // closes, head time-outs); returns how many were closed. Memory that
    // in-memory replies no longer use goes back to the system here.
    std::size_t CheckConnections();

  private:
    void OnConnectionFinished(CHTTPUpdateServiceSocket& connection) override;
    void OnDescriptorWanted(std::uint64_t id) override;
    CHTTPUpdateServiceSocket* Find(std::uint64_t id) const;
    void DeleteFinished();
    void RetryDescriptorWaiters();
    void DeliverListings();
    void EnforceHeadBudget();
    void ReturnUnusedMemory();

    CServerContext m_context;
    std::unordered_map<std::uint64_t, std::unique_ptr<CHTTPUpdateServiceSocket>> m_mapConnections;
    // What connections reported: those that closed themselves (deleted
    // next), and those whose package open waits for a descriptor.
    std::vector<CHTTPUpdateServiceSocket*> m_lstFinished;
    std::vector<std::uint64_t> m_lstDescriptorWaiters;
    std::uint64_t m_nNextId = 0;
    // The most reply memory in use since memory was last given back.
    std::uint64_t m_nReplyMemoryPeak = 0;
    std::uint64_t m_nBuiltBytesAtReturn = 0;  // the listing service's BuiltBytes() at the last return
};
