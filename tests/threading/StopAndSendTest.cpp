// Stopping a worker and waiting for a tracked message: bounded waits, the
// result codes of a synchronous send, and a sender on the application's
// main thread that keeps that thread's messages moving.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "platform/AsyncSocket.h"
#include "platform/MessageQueue.h"
#include "support/HttpClient.h"
#include "threading/Clock.h"
#include "threading/WorkerProbe.h"

using namespace threading_test;

namespace {

class StopAndSend : public ::testing::Test {
  protected:
    void TearDown() override {
        SetTickCountForTests(std::nullopt);
        m_gate.Set();
        if (m_worker) {
            m_worker->OpenRunGate();
            EXPECT_TRUE(m_worker->StopThread());
            EXPECT_TRUE(m_journal.WaitDestroyed());
        }
    }

    // A running worker whose handler of (kTracked or kUntracked, 1) blocks until m_gate opens.
    void StartWorkerThatBlocksOnOne(DWORD stopTimeoutMs = CWinThreadEx::kStopTimeoutMs) {
        m_journal.action = [this](const Handled& h) {
            if (h.wParam == 1 && h.message != kFiller) {
                m_blocked.Set();
                m_gate.Wait();
            }
        };
        m_worker = StartProbeWorker(m_journal, 0, stopTimeoutMs);
        ASSERT_NE(m_worker, nullptr);
    }

    Journal m_journal;
    Signal m_blocked, m_gate;
    ProbeWorker* m_worker = nullptr;
};

}  // namespace

TEST_F(StopAndSend, StoppingASuspendedWorkerReturnsAtOnceAndPostsNothing) {
    auto* worker = new ProbeWorker(m_journal);
    ASSERT_TRUE(worker->CreateThread(CREATE_SUSPENDED));
    EXPECT_TRUE(worker->StopThread());
    EXPECT_TRUE(m_journal.ErrorLines().empty());  // a post would have failed: the thread has no queue yet
    EXPECT_TRUE(m_journal.Events().empty());

    // The worker still starts and stops normally afterwards.
    EXPECT_EQ(worker->ResumeThread(), 1u);
    ASSERT_TRUE(worker->WaitStarted());
    m_worker = worker;
}

TEST_F(StopAndSend, StoppingDeliversTheBackupQueueBeforeTheQuitMessage) {
    StartWorkerThatBlocksOnOne();
    ASSERT_TRUE(m_worker->PostMessage(kUntracked, 1, 0));
    ASSERT_TRUE(m_blocked.Wait());
    std::size_t fillers = 0;
    while (fillers < 20000 && plat::PostToThread(m_worker->m_nThreadID, kFiller, fillers, 0)) ++fillers;
    if (plat::LastError() != ERROR_NOT_ENOUGH_QUOTA) GTEST_SKIP() << "the platform queue did not report 1816";
    for (WPARAM w : {0xA, 0xB, 0xC}) ASSERT_TRUE(m_worker->PostMessage(kUntracked, w, 0));

    ProbeWorker* worker = m_worker;
    m_worker = nullptr;  // StopThread below ends it
    auto stopped = std::async(std::launch::async, [worker] { return worker->StopThread(); });
    // The quit message queues behind A, B, C.
    for (int i = 0; i < 10000 && worker->BackupQueueSize() < 4; ++i) plat::SleepMilliseconds(1);
    ASSERT_EQ(worker->BackupQueueSize(), 4u);
    m_gate.Set();
    EXPECT_TRUE(stopped.get());
    EXPECT_TRUE(m_journal.WaitDestroyed());

    auto handled = m_journal.HandledMessages();
    ASSERT_EQ(handled.size(), 1 + fillers + 3);
    EXPECT_EQ(handled[fillers + 1].wParam, 0xAu);
    EXPECT_EQ(handled[fillers + 2].wParam, 0xBu);
    EXPECT_EQ(handled[fillers + 3].wParam, 0xCu);
    EXPECT_EQ(m_journal.Events(), (std::vector<std::wstring>{L"exit", L"destroyed"}));
}

TEST_F(StopAndSend, WorkerThatDoesNotEndInTimeIsReportedAndLeftRunning) {
    StartWorkerThatBlocksOnOne(50);
    ASSERT_TRUE(m_worker->PostMessage(kUntracked, 1, 0));
    ASSERT_TRUE(m_blocked.Wait());
    EXPECT_FALSE(m_worker->StopThread());
    auto errors = m_journal.ErrorLines();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind(L"Failed to stop thread 'Worker' (result 258, error ", 0), 0u) << errors[0];
    EXPECT_TRUE(m_journal.Events().empty());

    // A tracked message behind the quit message is never handled; its
    // envelope is freed when the thread exits (the leak checker watches).
    EXPECT_TRUE(m_worker->PostMessage(kTracked, 5, 0));

    // It ends by itself once it reaches the quit message.
    m_worker = nullptr;
    m_gate.Set();
    EXPECT_TRUE(m_journal.WaitDestroyed());
    EXPECT_EQ(m_journal.Events(), (std::vector<std::wstring>{L"exit", L"destroyed"}));
    EXPECT_EQ(m_journal.HandledMessages().size(), 1u);
}

TEST_F(StopAndSend, SendReturnsZeroOnceTheHandlerHasRun) {
    StartWorkerThatBlocksOnOne();
    EXPECT_EQ(m_worker->SendMessageTimeout(kTracked, 2, 3, 0xFFFFFFFF), 0u);
    ASSERT_EQ(m_journal.HandledMessages().size(), 1u);
    EXPECT_EQ(m_worker->SendMessageTimeout(kTracked, 4, 5, 30), 0u);
    EXPECT_TRUE(m_worker->SendMessage(kTracked, 6, 7));
    auto handled = m_journal.HandledMessages();
    ASSERT_EQ(handled.size(), 3u);
    EXPECT_EQ(handled[2].wParam, 6u);
    EXPECT_EQ(handled[2].lParam, 7);
    // An untracked message is only posted.
    EXPECT_EQ(m_worker->SendMessageTimeout(kUntracked, 8, 0, 0xFFFFFFFF), 0u);
    EXPECT_TRUE(m_journal.WaitHandled(4));
}

TEST_F(StopAndSend, SendTimesOutAtItsDeadline) {
    constexpr std::uint64_t t0 = 7'000'000;
    SetTickCountForTests(t0);
    StartWorkerThatBlocksOnOne();
    std::atomic<bool> returned{false};
    auto result = std::async(std::launch::async, [&] {
        const DWORD r = m_worker->SendMessageTimeout(kTracked, 1, 0, 5);
        returned = true;
        return r;
    });
    ASSERT_TRUE(m_blocked.Wait());
    SetTickCountForTests(t0 + 4999);
    plat::SleepMilliseconds(300);  // several of the sender's waits
    EXPECT_FALSE(returned.load());
    SetTickCountForTests(t0 + 5000);
    EXPECT_EQ(result.get(), ERROR_TIMEOUT);
    EXPECT_EQ(m_journal.ErrorLines(),
              std::vector<std::wstring>{
                  L"Timeout of 5000 ms expired while waiting for message 1025 to complete on thread 'Worker'."});
    // The message stays posted: the worker finishes it later.
    m_gate.Set();
    EXPECT_TRUE(m_worker->SendMessage(kTracked, 2, 0));
    EXPECT_EQ(m_journal.HandledMessages().size(), 2u);
}

TEST_F(StopAndSend, SendToAWorkerHeldAtItsRunGateIsCancelled) {
    StartWorkerThatBlocksOnOne();
    m_worker->CloseRunGate();
    ASSERT_TRUE(m_worker->PostMessage(kUntracked, 2, 0));
    ASSERT_TRUE(m_worker->WaitHeldAtRunGate());
    auto result = std::async(std::launch::async, [&] { return m_worker->SendMessageTimeout(kTracked, 3, 0, 0xFFFFFFFF); });
    if (result.wait_for(std::chrono::milliseconds(kHangGuardMs)) != std::future_status::ready) m_worker->OpenRunGate();
    EXPECT_EQ(result.get(), ERROR_CANCELLED);
    EXPECT_TRUE(m_journal.ErrorLines().empty());
    // Once released, the worker handles both messages.
    m_worker->OpenRunGate();
    EXPECT_TRUE(m_journal.WaitHandled(2));
}

// A listening socket of the worker's that counts its accept notifications.
class CountingListener final : public CAsyncSocket {
  public:
    explicit CountingListener(Signal& accepted) : m_accepted(accepted) {}
    void OnAccept(int) override {
        ++accepts;
        CAsyncSocket connection;
        Accept(connection);
        m_accepted.Set();
    }
    std::atomic<int> accepts{0};

  private:
    Signal& m_accepted;
};

// A socket notification, which the wait hands to its socket without the
// message filter, still waits at the run gate as every message does.
TEST_F(StopAndSend, SocketNotificationWaitsAtTheRunGate) {
    ASSERT_TRUE(plat::InitSockets());
    Signal accepted;
    std::unique_ptr<CountingListener> listener;
    UINT port = 0;
    m_journal.action = [&](const Handled&) {
        listener = std::make_unique<CountingListener>(accepted);
        std::wstring address;
        if (listener->Create(0, SOCK_STREAM, FD_ACCEPT, L"127.0.0.1") && listener->Listen())
            listener->GetSockName(address, port);
    };
    m_worker = StartProbeWorker(m_journal);
    ASSERT_NE(m_worker, nullptr);
    ASSERT_TRUE(m_worker->SendMessage(kTracked, 0, 0));
    ASSERT_NE(port, 0u);
    m_worker->CloseRunGate();
    CHttpClient client;
    ASSERT_TRUE(client.Connect(port));
    ASSERT_TRUE(m_worker->WaitHeldAtRunGate());
    EXPECT_EQ(listener->accepts, 0) << "held before the notification reached the socket";
    m_worker->OpenRunGate();
    ASSERT_TRUE(accepted.Wait());
    EXPECT_EQ(listener->accepts, 1);
    // The socket belongs to the worker's thread: close it there.
    m_journal.action = [&](const Handled&) { listener.reset(); };
    ASSERT_TRUE(m_worker->SendMessage(kTracked, 0, 0));
}

TEST_F(StopAndSend, SendFailsWhenThePostFails) {
    auto* worker = new ProbeWorker(m_journal);
    worker->m_bAutoDelete = FALSE;
    ASSERT_TRUE(worker->CreateThread());
    ASSERT_TRUE(worker->WaitStarted());
    const DWORD endedThread = worker->m_nThreadID;
    ASSERT_TRUE(worker->StopThread());
    // Without auto-delete the object forgets its ended thread.
    EXPECT_EQ(worker->m_nThreadID, 0u);
    EXPECT_EQ(worker->m_hThread, nullptr);
    // Point it at the ended thread again: posts to it fail (1444 on Linux;
    // Windows may say 87 once the thread object is gone).
    // (POSIX closes the queue a moment after the thread's handle is signalled.)
    worker->m_nThreadID = endedThread;
    bool refused = false;
    for (int i = 0; i < 1000 && !refused; ++i) {
        refused = !plat::PostToThread(endedThread, WM_NULL, 0, 0);
        if (!refused) plat::SleepMilliseconds(1);
    }
    ASSERT_TRUE(refused);
    const DWORD error = plat::LastError();
    EXPECT_EQ(worker->SendMessageTimeout(kTracked, 1, 0, 5), ERROR_UNIDENTIFIED_ERROR);
    EXPECT_FALSE(worker->PostMessage(kTracked, 2, 0));
    EXPECT_EQ(worker->SendMessageTimeout(kUntracked, 3, 0, 5), ERROR_UNIDENTIFIED_ERROR);
    const std::wstring code = std::to_wstring(error);
    EXPECT_EQ(m_journal.ErrorLines(),
              (std::vector<std::wstring>{L"Failed to post message 1025 for thread 'Worker'. Error: " + code + L".",
                                         L"Failed to post message 1025 for thread 'Worker'. Error: " + code + L".",
                                         L"Failed to post message 1026 for thread 'Worker'. Error: " + code + L"."}));
    // Stopping it again is a no-op.
    EXPECT_TRUE(worker->StopThread());
    delete worker;
    EXPECT_TRUE(m_journal.WaitDestroyed());
}

// ---------------------------------------------------------------------------
// A sender on the application's main thread.

namespace {

constexpr UINT kPing = WM_USER + 50;

class PumpApp : public CWinApp {
    DECLARE_MESSAGE_MAP()

  public:
    void OnPing(WPARAM, LPARAM) {
        m_pingedOn = plat::CurrentThreadId();
        m_pinged.Set();
    }
    DWORD m_pingedOn = 0;
    Signal m_pinged;
};

const MessageMap* PumpApp::GetThisMessageMap() {
    static const MessageMapEntry entries[] = {OnMessage<&PumpApp::OnPing>(kPing)};
    static const MessageMap map = MessageMapOf<CWinApp>(entries);
    return &map;
}

}  // namespace

TEST_F(StopAndSend, SenderOnTheApplicationThreadPumpsItsMessagesWithinItsDeadline) {
    // This test's thread plays the application's main thread.
    ASSERT_TRUE(plat::EnsureThreadMessageQueue());
    PumpApp app;
    app.m_nThreadID = plat::CurrentThreadId();
    ASSERT_EQ(AfxGetApp(), &app);

    // The handler finishes only after the application has handled its ping.
    m_journal.action = [&](const Handled& h) {
        if (h.wParam == 1) {
            EXPECT_TRUE(app.m_pinged.Wait());
        }
        if (h.wParam == 2) {
            m_blocked.Set();
            m_gate.Wait();
        }
    };
    m_worker = StartProbeWorker(m_journal);
    ASSERT_NE(m_worker, nullptr);
    ASSERT_TRUE(plat::PostToThread(app.m_nThreadID, kPing, 0, 0));
    EXPECT_TRUE(m_worker->SendMessage(kTracked, 1, 0));
    EXPECT_EQ(app.m_pingedOn, app.m_nThreadID);

    // The pumping wait is bounded by the deadline too.
    constexpr std::uint64_t t0 = 9'000'000;
    SetTickCountForTests(t0);
    std::thread clock([&] {
        if (m_blocked.Wait()) SetTickCountForTests(t0 + 2000);
    });
    EXPECT_EQ(m_worker->SendMessageTimeout(kTracked, 2, 0, 2), ERROR_TIMEOUT);
    clock.join();
    m_gate.Set();
    ASSERT_TRUE(m_worker->StopThread());
    m_worker = nullptr;
    EXPECT_TRUE(m_journal.WaitDestroyed());
}
