// What the connections of one listener thread share: the configuration, the budgets, the read buffer, the listing workers.
//
// The context is data the connections use and report to; it never calls a
// connection. The connection set (server/ConnectionSet.h) owns it, reads
// what connections reported (closed connections, opens that wait for a
// descriptor, finished listings) and acts on them between notifications.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "server/Budget.h"
#include "server/ListingService.h"
#include "server/ServerConfig.h"

class CHTTPUpdateServiceSocket;
class CSmallPackageCache;

class CServerContext {
  public:
    // Capacity of one read.
    static constexpr unsigned kRequestBufferSize = 1048576;

    // `descriptorLimit`: the process's limit on open descriptors, 0 when
    // sockets and files count against none. `wakeListener` is called by a
    // listing worker when a document is ready; `afterListingBuilt`: see CListingService.
    CServerContext(std::shared_ptr<const CServerConfig> config, unsigned descriptorLimit,
                   std::function<void()> wakeListener, std::function<void()> afterListingBuilt = {});

    const CServerConfig& Config() const { return *m_pConfig; }
    const std::wstring& PackagesFolder() const { return m_pConfig->m_strPackagePath; }

    CBudget& HeadBytes() { return m_headBytes; }
    CBudget& ReplyMemory() { return m_replyMemory; }
    CBudget& PackageDescriptors() { return m_packageDescriptors; }
    const CBudget& PackageDescriptors() const { return m_packageDescriptors; }
    unsigned DescriptorLimit() const { return m_nDescriptorLimit; }

    CListingService& Listings() { return m_listings; }
    // Kept small packages (shared by the process), or null where none are kept.
    CSmallPackageCache* PackageCache() const { return m_pCache; }

    // The read buffer of the listener thread, shared by its connections: a
    // read is handled completely within its notification. Null without memory.
    char* RequestBuffer();

    // ---- What connections report, for the connection set to act on.

    // Connections that closed themselves; the set deletes them.
    std::vector<CHTTPUpdateServiceSocket*> m_lstFinished;
    // Connections whose package open failed for want of a descriptor: the
    // set frees one and has them try again.
    std::vector<std::uint64_t> m_lstDescriptorWaiters;

  private:
    std::shared_ptr<const CServerConfig> m_pConfig;
    unsigned m_nDescriptorLimit;
    CBudget m_headBytes;
    CBudget m_replyMemory;
    CBudget m_packageDescriptors;
    CListingService m_listings;
    CSmallPackageCache* m_pCache;
    std::unique_ptr<char[]> m_pRequestBuffer;
};
