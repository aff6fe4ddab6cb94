// Tracked messages: the handler sees the caller's parameters, lateness is
// reported past 10000 ms only, and untracked messages are never wrapped.
#include <gtest/gtest.h>

#include "platform/MessageQueue.h"
#include "threading/Clock.h"
#include "threading/WorkerProbe.h"

using namespace threading_test;

namespace {

class TrackedMessages : public ::testing::Test {
  protected:
    void SetUp() override {
        m_worker = StartProbeWorker(m_journal);
        ASSERT_NE(m_worker, nullptr);
    }
    void TearDown() override {
        SetTickCountForTests(std::nullopt);
        if (m_worker) {
            m_worker->OpenRunGate();
            EXPECT_TRUE(m_worker->StopThread());
            EXPECT_TRUE(m_journal.WaitDestroyed());
        }
    }

    // Posts while the clock reads `postedAt`, lets the worker start handling
    // at `handledAt`, and waits until it has handled the message.
    void PostAndHandleAt(UINT message, WPARAM wParam, LPARAM lParam, std::uint64_t postedAt,
                         std::uint64_t handledAt) {
        const std::size_t before = m_journal.HandledMessages().size();
        m_worker->CloseRunGate();
        SetTickCountForTests(postedAt);
        ASSERT_TRUE(m_worker->PostMessage(message, wParam, lParam));
        ASSERT_TRUE(m_worker->WaitHeldAtRunGate());
        SetTickCountForTests(handledAt);
        m_worker->OpenRunGate();
        ASSERT_TRUE(m_journal.WaitHandled(before + 1));
    }

    Journal m_journal;
    ProbeWorker* m_worker = nullptr;
};

}  // namespace

TEST_F(TrackedMessages, HandlerSeesTheCallersParametersAndLatenessIsReportedPast10000ms) {
    constexpr std::uint64_t t0 = 5'000'000'000ull;  // past 2^32: the tick count is 64-bit
    PostAndHandleAt(kTracked, 7, -8, t0, t0 + 10000);
    EXPECT_TRUE(m_journal.InfoLines().empty());

    PostAndHandleAt(kTracked, 9, 10, t0 + 20000, t0 + 30001);
    EXPECT_EQ(m_journal.InfoLines(),
              std::vector<std::wstring>{L"Thread 'Worker': 10001 ms passed since message 1025 was posted"});

    auto handled = m_journal.HandledMessages();
    ASSERT_EQ(handled.size(), 2u);
    EXPECT_EQ(handled[0].message, kTracked);
    EXPECT_EQ(handled[0].wParam, 7u);
    EXPECT_EQ(handled[0].lParam, -8);
    EXPECT_EQ(handled[1].wParam, 9u);
    EXPECT_EQ(handled[1].lParam, 10);
}

TEST_F(TrackedMessages, UntrackedMessagesArriveAsPostedAndAreNeverReportedLate) {
    constexpr std::uint64_t t0 = 1'000'000;
    PostAndHandleAt(kUntracked, 5, 6, t0, t0 + 50000);
    auto handled = m_journal.HandledMessages();
    ASSERT_EQ(handled.size(), 1u);
    EXPECT_EQ(handled[0].message, kUntracked);
    EXPECT_EQ(handled[0].wParam, 5u);
    EXPECT_EQ(handled[0].lParam, 6);
    EXPECT_TRUE(m_journal.InfoLines().empty());
}

TEST_F(TrackedMessages, TrackedMessageWithoutEnvelopeIsDispatchedAsItCame) {
    // Posted around the framework: no envelope, no completion event.
    ASSERT_TRUE(plat::PostToThread(m_worker->m_nThreadID, kTracked, 0, 0));
    ASSERT_TRUE(m_journal.WaitHandled(1));
    auto handled = m_journal.HandledMessages();
    EXPECT_EQ(handled[0].wParam, 0u);
    EXPECT_EQ(handled[0].lParam, 0);
    EXPECT_TRUE(m_journal.InfoLines().empty());
}

TEST_F(TrackedMessages, StartMessageIsTheThreadsFirstTrackedMessage) {
    Journal journal;
    ProbeWorker* worker = StartProbeWorker(journal, kTracked);
    ASSERT_NE(worker, nullptr);
    ASSERT_TRUE(journal.WaitHandled(1));
    auto handled = journal.HandledMessages();
    EXPECT_EQ(handled[0].message, kTracked);
    EXPECT_EQ(handled[0].wParam, 0u);
    EXPECT_TRUE(worker->StopThread());
    EXPECT_TRUE(journal.WaitDestroyed());
}
