// POSIX descriptor limit: RLIMIT_NOFILE.
#include "platform/DescriptorLimit.h"

#include <sys/resource.h>

#include <atomic>
#include <limits>

namespace {

// The soft limit as last read (0: not read yet).
std::atomic<unsigned> g_nSoftLimit{0};

unsigned ReadSoftLimit() {
    rlimit current{};
    if (::getrlimit(RLIMIT_NOFILE, &current) != 0 || current.rlim_cur == RLIM_INFINITY ||
        current.rlim_cur > std::numeric_limits<unsigned>::max()) {
        return std::numeric_limits<unsigned>::max();
    }
    return static_cast<unsigned>(current.rlim_cur);
}

}  // namespace

namespace plat {

void RaiseDescriptorLimit() {
    rlimit current{};
    if (::getrlimit(RLIMIT_NOFILE, &current) == 0 && current.rlim_cur < current.rlim_max) {
        current.rlim_cur = current.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &current);
    }
    g_nSoftLimit.store(ReadSoftLimit(), std::memory_order_relaxed);
}

unsigned DescriptorLimit() {
    unsigned limit = g_nSoftLimit.load(std::memory_order_relaxed);
    if (limit == 0) {
        limit = ReadSoftLimit();
        g_nSoftLimit.store(limit, std::memory_order_relaxed);
    }
    return limit;
}

}  // namespace plat
