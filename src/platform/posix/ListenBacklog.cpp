// POSIX listen backlog: the kernel's net.core.somaxconn.
#include "platform/ListenBacklog.h"

#include <fstream>

namespace {

// Current kernels default to 4,096; older ones to 128, which a burst of
// setup programs overflows at once.
constexpr long kLeastBacklog = 4096;
constexpr long kLargestBacklog = 0x7FFFFFFF;

}  // namespace

namespace plat {

int MaxListenBacklog() {
    long limit = 0;
    std::ifstream("/proc/sys/net/core/somaxconn") >> limit;
    if (limit < kLeastBacklog) limit = kLeastBacklog;
    return static_cast<int>(limit < kLargestBacklog ? limit : kLargestBacklog);
}

}  // namespace plat
