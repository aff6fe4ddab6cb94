#include <gtest/gtest.h>

#include <atomic>

#include "platform/Handles.h"
#include "platform/MessageQueue.h"
#include "platform/Win32Codes.h"

TEST(Handles, ManualAndAutoResetEventsAndDuplicates) {
    HANDLE manual = plat::CreateEventObject(true, false);
    ASSERT_NE(manual, nullptr);
    EXPECT_EQ(plat::WaitForObject(manual, 0), WAIT_TIMEOUT);
    plat::SignalEvent(manual);
    EXPECT_EQ(plat::WaitForObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(plat::WaitForObject(manual, 0), WAIT_OBJECT_0);
    HANDLE dup = plat::DuplicateHandleObject(manual);
    ASSERT_NE(dup, nullptr);
    plat::CloseHandleObject(manual);
    plat::ResetEventObject(dup);
    EXPECT_EQ(plat::WaitForObject(dup, 0), WAIT_TIMEOUT);
    plat::CloseHandleObject(dup);

    HANDLE autoReset = plat::CreateEventObject(false, true);
    EXPECT_EQ(plat::WaitForObject(autoReset, 0), WAIT_OBJECT_0);
    EXPECT_EQ(plat::WaitForObject(autoReset, 0), WAIT_TIMEOUT);
    plat::CloseHandleObject(autoReset);
}

namespace {
std::atomic<int> g_ran{0};
unsigned CountAndReturn(void*) {
    g_ran.fetch_add(1);
    return 42;
}
}  // namespace

TEST(Handles, SuspendedThreadRunsOnlyAfterResumeAndSignalsItsEnd) {
    g_ran = 0;
    DWORD id = 0;
    HANDLE thread = plat::StartThread(&CountAndReturn, nullptr, true, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_EQ(plat::WaitForObject(thread, 100), WAIT_TIMEOUT);
    EXPECT_EQ(g_ran.load(), 0);
    EXPECT_EQ(plat::ResumeThreadHandle(thread), 1u);
    EXPECT_EQ(plat::WaitForObject(thread, 10000), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(plat::GetThreadExitCode(thread, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_EQ(g_ran.load(), 1);
    plat::CloseHandleObject(thread);
}

TEST(MessageQueue, PostsArriveInOrderAndQuitEndsTheWait) {
    ASSERT_TRUE(plat::EnsureThreadMessageQueue());
    const DWORD self = plat::CurrentThreadId();
    ASSERT_TRUE(plat::PostToThread(self, WM_USER + 7, 1, 2));
    ASSERT_TRUE(plat::PostToThread(self, WM_USER + 8, 3, 4));
    ASSERT_TRUE(plat::PostToThread(self, WM_QUIT, 0, 0));
    plat::ThreadMsg msg;
    ASSERT_TRUE(plat::WaitNextMessage(&msg));
    EXPECT_EQ(msg.message, WM_USER + 7);
    EXPECT_EQ(msg.wParam, 1u);
    EXPECT_EQ(msg.lParam, 2);
    ASSERT_TRUE(plat::PeekNextMessage(&msg, false));
    EXPECT_EQ(msg.message, WM_USER + 8);
    ASSERT_TRUE(plat::WaitNextMessage(&msg));
    EXPECT_EQ(msg.message, WM_USER + 8);
    EXPECT_FALSE(plat::WaitNextMessage(&msg));
    EXPECT_EQ(msg.message, WM_QUIT);
    EXPECT_FALSE(plat::PeekNextMessage(&msg, false));
}

TEST(MessageQueue, PostToAThreadWithoutQueueFailsWithInvalidThreadId) {
    EXPECT_FALSE(plat::PostToThread(0x7FFFFFF0, WM_USER, 0, 0));
    // Windows reports 1444; Wine reports 87. Either way it is not "queue full".
    EXPECT_NE(plat::LastError(), ERROR_NOT_ENOUGH_QUOTA);
#ifndef _WIN32
    EXPECT_EQ(plat::LastError(), ERROR_INVALID_THREAD_ID);
#endif
}

namespace {
unsigned WaitForOnePost(void* result) {
    plat::EnsureThreadMessageQueue();
    plat::ThreadMsg msg;
    plat::WaitNextMessage(&msg);
    *static_cast<UINT*>(result) = msg.message;
    return 0;
}
}  // namespace

TEST(MessageQueue, PostFromAnotherThreadWakesABlockedWait) {
    UINT received = 0;
    DWORD id = 0;
    HANDLE thread = plat::StartThread(&WaitForOnePost, &received, false, &id);
    ASSERT_NE(thread, nullptr);
    // The queue exists once the thread has run its first line; retry until then.
    for (int i = 0; i < 200 && !plat::PostToThread(id, WM_USER + 3, 0, 0); ++i) plat::SleepMilliseconds(10);
    ASSERT_EQ(plat::WaitForObject(thread, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(received, WM_USER + 3);
    plat::CloseHandleObject(thread);
}
