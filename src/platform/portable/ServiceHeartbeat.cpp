// The service's heartbeat: a count of signs of life, passed on to the service manager (platform-independent).
#include <atomic>

#include "platform/ServiceWatchdog.h"

namespace plat {
namespace {
std::atomic<std::uint64_t> g_heartbeats{0};
}  // namespace

void ServiceHeartbeat() {
    g_heartbeats.fetch_add(1, std::memory_order_relaxed);
    NotifyServiceManagerWatchdog();
}

std::uint64_t ServiceHeartbeatCount() { return g_heartbeats.load(std::memory_order_relaxed); }

}  // namespace plat
