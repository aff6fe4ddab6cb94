// The tick count of the platform, with a test override.
#include "threading/Clock.h"

#include <atomic>

#include "platform/Handles.h"

namespace {
std::atomic<bool> g_overridden{false};
std::atomic<std::uint64_t> g_value{0};
}  // namespace

std::uint64_t TickCount64() {
    if (g_overridden.load(std::memory_order_acquire)) return g_value.load(std::memory_order_acquire);
    return plat::SystemTickCount64();
}

void SetTickCountForTests(std::optional<std::uint64_t> value) {
    if (value) {
        g_value.store(*value, std::memory_order_release);
        g_overridden.store(true, std::memory_order_release);
    } else {
        g_overridden.store(false, std::memory_order_release);
    }
}
