// The program's own watchdog: a heartbeat that stands still for a period runs the hung action once.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/ServiceWatchdog.h"
#include "service/ServiceWatchdog.h"

namespace {

constexpr DWORD kPeriod = 30000;

// One look of the watch: the fake clock at `at` ms after arming, a heartbeat first when `beat`.
struct Look {
    std::uint64_t at;
    bool beat;
};

struct Case {
    const char* name;
    std::vector<Look> looks;
    std::vector<std::uint64_t> hungAfter;  // the silences the hung action was given, in order
};

TEST(ServiceWatchdog, RunsTheHungActionOnceWhenTheHeartbeatStandsStillForAPeriod) {
    const Case cases[] = {
        {"silent from the start", {{kPeriod - 1, false}, {kPeriod, false}, {kPeriod + 5000, false}, {3 * kPeriod, false}},
         {kPeriod}},
        {"a beat in every period", {{20000, true}, {40000, true}, {60000, true}, {60000 + kPeriod - 1, false}}, {}},
        {"silent after a beat", {{10000, true}, {10000 + kPeriod - 1, false}, {10000 + kPeriod + 2000, false}},
         {kPeriod + 2000}},
    };
    for (const Case& c : cases) {
        std::uint64_t now = 1000000;
        std::vector<std::uint64_t> hungAfter;
        CServiceWatchdog watchdog(
            kPeriod, [&](std::uint64_t silent) { hungAfter.push_back(silent); }, [&] { return now; });
        watchdog.Arm();
        const std::uint64_t armedAt = now;
        for (const Look& look : c.looks) {
            now = armedAt + look.at;
            if (look.beat) plat::ServiceHeartbeat();
            watchdog.Check();
        }
        EXPECT_EQ(hungAfter, c.hungAfter) << c.name;
    }
}

TEST(ServiceWatchdog, AStoppedWatchRunsNothing) {
    std::uint64_t now = 0;
    int hung = 0;
    CServiceWatchdog watchdog(kPeriod, [&](std::uint64_t) { ++hung; }, [&] { return now; });
    watchdog.Arm();
    watchdog.Stop();
    now = 10 * kPeriod;
    EXPECT_FALSE(watchdog.Check());
    EXPECT_EQ(hung, 0);
}

TEST(ServiceWatchdog, ItsThreadFindsASilentHeartbeatOnTheSystemClock) {
    std::mutex mutex;
    std::condition_variable ran;
    std::vector<std::uint64_t> hungAfter;
    CServiceWatchdog watchdog(50, [&](std::uint64_t silent) {
        std::lock_guard lock(mutex);
        hungAfter.push_back(silent);
        ran.notify_all();
    });
    ASSERT_TRUE(watchdog.Start());
    std::unique_lock lock(mutex);
    ASSERT_TRUE(ran.wait_for(lock, std::chrono::seconds(60), [&] { return !hungAfter.empty(); }));
    EXPECT_GE(hungAfter.front(), 50u);
    lock.unlock();
    watchdog.Stop();
    EXPECT_EQ(hungAfter.size(), 1u);
}

}  // namespace
