// What the connections of one listener thread share: the configuration, the budgets, the read buffer, the listing workers.
//
// The context is data the connections use; it never calls a connection.
// The connection set (server/ConnectionSet.h) owns it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "server/Budget.h"
#include "server/ListingService.h"
#include "server/ServerConfig.h"
#include "server/ServerFigures.h"

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
    // What the server counts (listener thread, but for the atomic counters).
    CServerFigures& Figures() { return *m_pFigures; }
    // Kept small packages (shared by the process), or null where none are kept.
    CSmallPackageCache* PackageCache() const { return m_pCache; }

    // The read buffer of the listener thread, shared by its connections: a
    // read is handled completely within its notification. Null without memory.
    char* RequestBuffer();

  private:
    std::shared_ptr<const CServerConfig> m_pConfig;
    std::shared_ptr<CServerFigures> m_pFigures;
    unsigned m_nDescriptorLimit;
    CBudget m_headBytes;
    CBudget m_replyMemory;
    CBudget m_packageDescriptors;
    CListingService m_listings;
    CSmallPackageCache* m_pCache;
    std::unique_ptr<char[]> m_pRequestBuffer;
};
