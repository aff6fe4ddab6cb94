// The process-wide thread-name registry: a repeated name is announced once,
// the empty name removes the entry, and workers register while they run.
#include <gtest/gtest.h>

#include "threading/ThreadNames.h"
#include "threading/WorkerProbe.h"

using namespace threading_test;

TEST(ThreadNames, RepeatedNameIsAnnouncedOnceAndTheEmptyNameRemovesTheEntry) {
    constexpr DWORD id = 0x7FFF0001;  // no such thread: registry only
    const std::uint64_t start = ThreadNameAnnouncementCount();

    SetThreadName(id, L"%s-%d", L"Pool", 3);
    EXPECT_EQ(RegisteredThreadName(id), L"Pool-3");
    EXPECT_EQ(ThreadNameAnnouncementCount(), start + 1);
    SetThreadName(id, L"%s", L"Pool-3");
    EXPECT_EQ(ThreadNameAnnouncementCount(), start + 1);

    SetThreadName(id, L"pool-3");  // names compare case-sensitively
    EXPECT_EQ(RegisteredThreadName(id), L"pool-3");
    EXPECT_EQ(ThreadNameAnnouncementCount(), start + 2);

    SetThreadName(id, L"");
    EXPECT_EQ(RegisteredThreadName(id), L"");
    EXPECT_EQ(ThreadNameAnnouncementCount(), start + 2);
    SetThreadName(id, L"pool-3");
    EXPECT_EQ(ThreadNameAnnouncementCount(), start + 3);
    SetThreadName(id, L"");
}

TEST(ThreadNames, WorkerIsRegisteredWhileItRuns) {
    Journal journal;
    ProbeWorker* worker = StartProbeWorker(journal);
    ASSERT_NE(worker, nullptr);
    const DWORD id = worker->m_nThreadID;
    EXPECT_EQ(RegisteredThreadName(id), L"Worker");
    EXPECT_EQ(worker->GetThreadName(), L"Worker");
    ASSERT_TRUE(worker->StopThread());
    ASSERT_TRUE(journal.WaitDestroyed());
    EXPECT_EQ(RegisteredThreadName(id), L"");
}
