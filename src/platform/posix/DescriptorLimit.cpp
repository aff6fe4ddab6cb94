// POSIX descriptor limit: RLIMIT_NOFILE.
#include "platform/DescriptorLimit.h"

#include <sys/resource.h>

#include <atomic>

namespace {

// The soft limit as last read (0: not read yet).
std::atomic<rlim_t> g_softLimit{0};

rlim_t SoftLimit() {
    rlim_t limit = g_softLimit.load(std::memory_order_relaxed);
    if (limit == 0) {
        rlimit current{};
        limit = ::getrlimit(RLIMIT_NOFILE, &current) == 0 ? current.rlim_cur : RLIM_INFINITY;
        g_softLimit.store(limit, std::memory_order_relaxed);
    }
    return limit;
}

}  // namespace

namespace plat {

void RaiseDescriptorLimit() {
    rlimit current{};
    if (::getrlimit(RLIMIT_NOFILE, &current) == 0 && current.rlim_cur < current.rlim_max) {
        current.rlim_cur = current.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &current);
    }
    g_softLimit.store(0, std::memory_order_relaxed);  // read afresh at the next look
}

bool IsDescriptorNearLimit(SocketHandle accepted, unsigned reserve) {
    const rlim_t limit = SoftLimit();
    if (limit == RLIM_INFINITY) return false;
    return static_cast<rlim_t>(accepted) + reserve >= limit;
}

}  // namespace plat
