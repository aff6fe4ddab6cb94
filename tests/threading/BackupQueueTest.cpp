// Posting into a full thread queue: the backup queue keeps every message in
// posting order, logs its start and end once, and is drained by later posts
// and by the worker's idle pass.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/MessageQueue.h"
#include "threading/WorkerProbe.h"

using namespace threading_test;

namespace {

// Posts fillers straight into the platform queue until it refuses one.
struct Fill {
    std::size_t posted = 0;
    DWORD error = 0;
};
Fill FillPlatformQueue(DWORD threadId) {
    // Twice the documented quota: a platform that never reports a full
    // queue is detected instead of filled for ever.
    constexpr std::size_t kLimit = 20000;
    Fill fill;
    for (; fill.posted < kLimit; ++fill.posted) {
        if (!plat::PostToThread(threadId, kFiller, fill.posted, 0)) {
            fill.error = plat::LastError();
            break;
        }
    }
    return fill;
}

const wchar_t* const kFullLine = L"Message queue full for thread 'Worker'. Using backup queue.";
const wchar_t* const kClearedLine = L"Backup queue cleared for thread 'Worker'.";

class BackupQueue : public ::testing::Test {
  protected:
    // Starts a worker whose first message (kUntracked, 1) blocks until `m_gate`
    // opens, and, with `blockAgain`, filler 99 until `m_secondGate` opens.
    void StartBlockedWorker(bool blockAgain = false) {
        m_journal.action = [this, blockAgain](const Handled& h) {
            if (h.message == kUntracked && h.wParam == 1) {
                m_blocked.Set();
                m_gate.Wait();
            }
            if (blockAgain && h.message == kFiller && h.wParam == 99) {
                m_blockedAgain.Set();
                m_secondGate.Wait();
            }
        };
        m_worker = StartProbeWorker(m_journal);
        ASSERT_NE(m_worker, nullptr);
        ASSERT_TRUE(m_worker->PostMessage(kUntracked, 1, 0));
        ASSERT_TRUE(m_blocked.Wait());
    }

    // Fills the blocked worker's queue; false (test skipped) when the
    // platform does not report a full queue with 1816.
    bool FillOrSkip() {
        m_fill = FillPlatformQueue(m_worker->m_nThreadID);
        return m_fill.error == ERROR_NOT_ENOUGH_QUOTA;
    }

    void TearDown() override {
        m_gate.Set();
        m_secondGate.Set();
        if (m_worker) {
            EXPECT_TRUE(m_worker->StopThread());
            EXPECT_TRUE(m_journal.WaitDestroyed());
        }
    }

    // The wParams of the last `count` handled messages.
    std::vector<WPARAM> LastHandled(std::size_t count) {
        auto handled = m_journal.HandledMessages();
        std::vector<WPARAM> tail;
        for (std::size_t i = handled.size() - std::min(count, handled.size()); i < handled.size(); ++i)
            tail.push_back(handled[i].wParam);
        return tail;
    }

    Journal m_journal;
    Signal m_blocked, m_gate, m_blockedAgain, m_secondGate;
    ProbeWorker* m_worker = nullptr;
    Fill m_fill;
};

}  // namespace

TEST_F(BackupQueue, FullQueueKeepsPostingOrderAndTheIdlePassDrainsIt) {
    StartBlockedWorker();
    if (!FillOrSkip()) GTEST_SKIP() << "the platform queue did not report 1816 (error " << m_fill.error << ")";

    EXPECT_TRUE(m_worker->PostMessage(kUntracked, 0xA, 0));
    EXPECT_TRUE(m_worker->PostMessage(kUntracked, 0xB, 0));
    EXPECT_TRUE(m_worker->PostMessage(kUntracked, 0xC, 0));
    EXPECT_TRUE(m_worker->IsBackupQueueActive());
    EXPECT_EQ(m_worker->BackupQueueSize(), 3u);
    EXPECT_EQ(m_journal.InfoLines(), std::vector<std::wstring>{kFullLine});
    EXPECT_EQ(m_worker->GetThreadPriority(), THREAD_PRIORITY_HIGHEST);

    // Nothing else posts: only the worker's idle pass can move A, B, C.
    m_gate.Set();
    ASSERT_TRUE(m_journal.WaitHandled(1 + m_fill.posted + 3));
    auto handled = m_journal.HandledMessages();
    ASSERT_EQ(handled.size(), 1 + m_fill.posted + 3);
    for (std::size_t i = 0; i < m_fill.posted; ++i) {
        ASSERT_EQ(handled[1 + i].message, kFiller);
        ASSERT_EQ(handled[1 + i].wParam, i);
    }
    EXPECT_EQ(LastHandled(3), (std::vector<WPARAM>{0xA, 0xB, 0xC}));
    EXPECT_FALSE(m_worker->IsBackupQueueActive());
    EXPECT_EQ(m_journal.InfoLines(), (std::vector<std::wstring>{kFullLine, kClearedLine}));
    EXPECT_TRUE(m_journal.ErrorLines().empty());
    // The idle pass that drained the queue lowered the worker's priority again.
    EXPECT_EQ(m_worker->GetThreadPriority(), THREAD_PRIORITY_NORMAL);
}

TEST_F(BackupQueue, PostsWhileActiveQueueBehindItAndDirectPostingResumesOnceEmpty) {
    StartBlockedWorker(true);
    if (!FillOrSkip()) GTEST_SKIP() << "the platform queue did not report 1816 (error " << m_fill.error << ")";

    EXPECT_TRUE(m_worker->PostMessage(kUntracked, 0xA, 0));
    EXPECT_TRUE(m_worker->PostMessage(kUntracked, 0xB, 0));
    EXPECT_TRUE(m_worker->PostMessage(kUntracked, 0xC, 0));

    // The worker takes fillers 0..99 and blocks again: the platform queue has room now.
    m_gate.Set();
    ASSERT_TRUE(m_blockedAgain.Wait());
    EXPECT_TRUE(m_worker->IsBackupQueueActive());

    // D is tracked: its envelope travels through the backup queue too. It
    // queues behind C, and the drain of this post empties the backup queue.
    EXPECT_TRUE(m_worker->PostMessage(kTracked, 0xD, 0x4D));
    EXPECT_FALSE(m_worker->IsBackupQueueActive());
    EXPECT_EQ(m_worker->BackupQueueSize(), 0u);
    EXPECT_EQ(m_journal.InfoLines(), (std::vector<std::wstring>{kFullLine, kClearedLine}));
    // E goes straight into the platform queue.
    EXPECT_TRUE(m_worker->PostMessage(kUntracked, 0xE, 0));
    EXPECT_EQ(m_worker->BackupQueueSize(), 0u);

    m_secondGate.Set();
    ASSERT_TRUE(m_journal.WaitHandled(1 + m_fill.posted + 5));
    EXPECT_EQ(LastHandled(5), (std::vector<WPARAM>{0xA, 0xB, 0xC, 0xD, 0xE}));
    auto handled = m_journal.HandledMessages();
    EXPECT_EQ(handled[handled.size() - 2].message, kTracked);
    EXPECT_EQ(handled[handled.size() - 2].lParam, 0x4D);
    EXPECT_EQ(m_journal.InfoLines(), (std::vector<std::wstring>{kFullLine, kClearedLine}));
    // Posters emptied the backup queue, so no idle pass found it active: the
    // worker keeps the priority the full queue gave it.
    EXPECT_EQ(m_worker->GetThreadPriority(), THREAD_PRIORITY_HIGHEST);
}
