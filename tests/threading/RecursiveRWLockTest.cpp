// The re-entrant exclusive lock under real threads: re-entry, hand-over one
// waiter at a time, and the writer event's life.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/Handles.h"
#include "platform/Win32Codes.h"
#include "threading/RecursiveRWLock.h"

namespace {

constexpr DWORD kOneHold = 0x10000;
// Bound for waits that must end; reaching it means the test has failed.
constexpr DWORD kHangGuardMs = 10000;
// How long a thread that must stay blocked gets to show it is not blocked.
constexpr DWORD kStaysBlockedMs = 100;

// Polls until the lock counts `writers` threads holding or waiting.
bool WaitForWriterCount(const CRecursiveRWLock& lock, LONG writers) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kHangGuardMs);
    while (lock.GetWriterCount() != writers) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A manual-reset event that one thread signals when it has reached a point.
class Milestone {
  public:
    Milestone() : m_hEvent(plat::CreateEventObject(true, false)) {}
    ~Milestone() { plat::CloseHandleObject(m_hEvent); }
    void Reach() { plat::SignalEvent(m_hEvent); }
    bool WaitReached(DWORD ms = kHangGuardMs) { return plat::WaitForObject(m_hEvent, ms) == WAIT_OBJECT_0; }

  private:
    HANDLE m_hEvent;
};

}  // namespace

TEST(RecursiveRWLock, UncontendedTakesCreateNoEventAndNestedHoldsCountInSteps) {
    CRecursiveRWLock lock;
    EXPECT_EQ(lock.GetWriterCount(), 0);
    ASSERT_TRUE(lock.LockWrite());
    ASSERT_TRUE(lock.LockWrite());
    EXPECT_EQ(lock.GetHoldCountOfCurrentThread(), 2 * kOneHold);
    EXPECT_EQ(lock.GetWriterCount(), 1);
    EXPECT_FALSE(lock.HasWriterEvent());
    lock.UnlockWrite();
    EXPECT_EQ(lock.GetHoldCountOfCurrentThread(), kOneHold);
    lock.UnlockWrite();
    EXPECT_EQ(lock.GetHoldCountOfCurrentThread(), 0u);
    EXPECT_EQ(lock.GetWriterCount(), 0);

    // Another thread taking it afterwards, with no overlap, creates no event either.
    std::thread other([&] {
        EXPECT_TRUE(lock.LockWrite());
        EXPECT_FALSE(lock.HasWriterEvent());
        lock.UnlockWrite();
    });
    other.join();
    EXPECT_FALSE(lock.HasWriterEvent());
    EXPECT_EQ(lock.GetWriterCount(), 0);
}

TEST(RecursiveRWLock, WaiterGoesOnOnlyAfterTheHoldersLastRelease) {
    CRecursiveRWLock lock;
    std::atomic<bool> mainHolds{true};
    std::atomic<bool> mainHeldWhenWaiterEntered{false};
    Milestone waiterEntered;

    ASSERT_TRUE(lock.LockWrite());
    ASSERT_TRUE(lock.LockWrite());
    std::thread waiter([&] {
        EXPECT_TRUE(lock.LockWrite());
        mainHeldWhenWaiterEntered = mainHolds.load();
        waiterEntered.Reach();
        lock.UnlockWrite();
    });
    ASSERT_TRUE(WaitForWriterCount(lock, 2));
    EXPECT_TRUE(lock.HasWriterEvent());

    lock.UnlockWrite();
    EXPECT_EQ(lock.GetHoldCountOfCurrentThread(), kOneHold);
    EXPECT_FALSE(waiterEntered.WaitReached(kStaysBlockedMs)) << "one release of two let the waiter in";
    EXPECT_EQ(lock.GetWriterCount(), 2);

    mainHolds = false;
    lock.UnlockWrite();
    EXPECT_TRUE(waiterEntered.WaitReached());
    waiter.join();
    EXPECT_FALSE(mainHeldWhenWaiterEntered.load());
    EXPECT_FALSE(lock.HasWriterEvent());
    EXPECT_EQ(lock.GetWriterCount(), 0);
}

TEST(RecursiveRWLock, TwoWaitersAreHandedTheLockOneAtATime) {
    CRecursiveRWLock lock;
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    Milestone entered[2];
    Milestone mayLeave[2];

    ASSERT_TRUE(lock.LockWrite());
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i) {
        waiters.emplace_back([&, i] {
            EXPECT_TRUE(lock.LockWrite());
            if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
            entered[i].Reach();
            EXPECT_TRUE(mayLeave[i].WaitReached());
            inside.fetch_sub(1);
            lock.UnlockWrite();
        });
    }
    ASSERT_TRUE(WaitForWriterCount(lock, 3));
    EXPECT_TRUE(lock.HasWriterEvent());

    lock.UnlockWrite();
    // Exactly one waiter comes through; find out which.
    int first = -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kHangGuardMs);
    while (first < 0 && std::chrono::steady_clock::now() < deadline) {
        for (int i = 0; i < 2 && first < 0; ++i)
            if (entered[i].WaitReached(1)) first = i;
    }
    ASSERT_GE(first, 0) << "the release handed the lock to nobody";
    const int second = 1 - first;
    EXPECT_FALSE(entered[second].WaitReached(kStaysBlockedMs)) << "both waiters were let in";
    EXPECT_EQ(lock.GetWriterCount(), 2);
    EXPECT_TRUE(lock.HasWriterEvent());

    mayLeave[first].Reach();
    EXPECT_TRUE(entered[second].WaitReached());
    ASSERT_TRUE(WaitForWriterCount(lock, 1));
    EXPECT_TRUE(lock.HasWriterEvent());

    mayLeave[second].Reach();
    for (auto& t : waiters) t.join();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_FALSE(lock.HasWriterEvent());
    EXPECT_EQ(lock.GetWriterCount(), 0);
}

TEST(RecursiveRWLock, ManyThreadsWithNestedTakesExcludeEachOther) {
    CRecursiveRWLock lock;
    long unguarded = 0;  // written only under the lock
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    constexpr int kThreads = 4;
    constexpr int kRounds = 2000;

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int r = 0; r < kRounds; ++r) {
                CWriteLockGuard outer(lock);
                if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
                {
                    CWriteLockGuard inner(lock);
                    ++unguarded;
                }
                const long seen = unguarded;
                std::this_thread::yield();
                if (seen != unguarded) overlaps.fetch_add(1);
                inside.fetch_sub(1);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(unguarded, long{kThreads} * kRounds);
    EXPECT_FALSE(lock.HasWriterEvent());
    EXPECT_EQ(lock.GetWriterCount(), 0);
}

TEST(RecursiveRWLock, ReleaseByAThreadThatHoldsNothingChangesNothing) {
    CRecursiveRWLock lock;
    ASSERT_TRUE(lock.LockWrite());
    std::thread stranger([&] {
        lock.UnlockWrite();
        EXPECT_EQ(lock.GetHoldCountOfCurrentThread(), 0u);
    });
    stranger.join();
    EXPECT_EQ(lock.GetHoldCountOfCurrentThread(), kOneHold);
    EXPECT_EQ(lock.GetWriterCount(), 1);
    lock.UnlockWrite();
    lock.UnlockWrite();  // one release too many from the former holder: ignored as well
    EXPECT_EQ(lock.GetWriterCount(), 0);
    ASSERT_TRUE(lock.LockWrite());
    EXPECT_EQ(lock.GetHoldCountOfCurrentThread(), kOneHold);
    lock.UnlockWrite();
}

TEST(WriteLockGuard, ReleasesExactlyOnceWhetherEarlyOrAtScopeEnd) {
    CRecursiveRWLock lock;
    ASSERT_TRUE(lock.LockWrite());  // an outer hold the guards must not give up
    {
        CWriteLockGuard guard(lock);
        EXPECT_TRUE(guard.IsLocked());
        EXPECT_EQ(lock.GetHoldCountOfCurrentThread(), 2 * kOneHold);
        guard.Release();
        EXPECT_FALSE(guard.IsLocked());
        EXPECT_EQ(lock.GetHoldCountOfCurrentThread(), kOneHold);
        guard.Release();
        EXPECT_EQ(lock.GetHoldCountOfCurrentThread(), kOneHold);
    }
    EXPECT_EQ(lock.GetHoldCountOfCurrentThread(), kOneHold);
    {
        CWriteLockGuard guard(&lock);
        EXPECT_EQ(lock.GetHoldCountOfCurrentThread(), 2 * kOneHold);
    }
    EXPECT_EQ(lock.GetHoldCountOfCurrentThread(), kOneHold);
    lock.UnlockWrite();
    EXPECT_EQ(lock.GetWriterCount(), 0);

    CWriteLockGuard none(static_cast<CRecursiveRWLock*>(nullptr));
    EXPECT_FALSE(none.IsLocked());
}
