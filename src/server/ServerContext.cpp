// The shared state of a listener thread's connections.
#include "server/ServerContext.h"

#include <limits>
#include <new>

#include "server/SmallPackageCache.h"
#include "threading/Clock.h"

namespace {
std::uint64_t PackageDescriptorLimit(unsigned descriptorLimit, std::uint64_t configured) {
    if (configured != 0) return configured;
    // Where sockets and files count against no limit, none is set here either.
    if (descriptorLimit == 0) return std::numeric_limits<std::uint64_t>::max();
    return descriptorLimit / 2;
}
}  // namespace

CServerContext::CServerContext(std::shared_ptr<const CServerConfig> config, unsigned descriptorLimit,
                               std::function<void()> wakeListener, std::function<void()> afterListingBuilt)
    : m_pConfig(std::move(config)),
      m_pFigures(m_pConfig->m_pFigures ? m_pConfig->m_pFigures : std::make_shared<CServerFigures>(TickCount64())),
      m_nDescriptorLimit(descriptorLimit),
      m_headBytes(m_pConfig->limits.nHeadBytes),
      m_replyMemory(m_pConfig->limits.nReplyMemoryBytes),
      m_packageDescriptors(PackageDescriptorLimit(descriptorLimit, m_pConfig->limits.nPackageDescriptors)),
      m_listings(m_replyMemory, m_pConfig->limits.nListingBytes, std::move(wakeListener), std::move(afterListingBuilt)),
      m_pCache(&CSmallPackageCache::Shared()) {}

char* CServerContext::RequestBuffer() {
    if (!m_pRequestBuffer) m_pRequestBuffer.reset(new (std::nothrow) char[kRequestBufferSize]);
    return m_pRequestBuffer.get();
}
