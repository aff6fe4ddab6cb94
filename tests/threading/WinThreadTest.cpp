// The message-loop thread and application base classes: the loop with its
// idle calls, message maps chained to the base, exit codes, self-deletion,
// suspended start, creation by class and the current application.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "platform/Handles.h"
#include "platform/MessageQueue.h"
#include "platform/Win32Codes.h"
#include "threading/WinThread.h"
#include "threading/WorkerProbe.h"

using namespace threading_test;

namespace {

constexpr UINT kBaseMessage = WM_USER + 100;
constexpr UINT kDerivedMessage = WM_USER + 101;
constexpr UINT kUnmapped = WM_USER + 102;

// What a loop thread saw, kept outside the self-deleting object.
struct LoopLog {
    std::mutex mutex;
    std::vector<std::wstring> lines;
    Signal destroyed;
    DWORD destroyedOn = 0;
    void Add(std::wstring line) {
        std::lock_guard lock(mutex);
        lines.push_back(std::move(line));
    }
    std::vector<std::wstring> Lines() {
        std::lock_guard lock(mutex);
        return lines;
    }
};

class BaseLoop : public CWinThread {
    DECLARE_MESSAGE_MAP()

  public:
    explicit BaseLoop(LoopLog& log) : m_log(log) {}
    ~BaseLoop() override {
        m_log.destroyedOn = plat::CurrentThreadId();
        m_log.destroyed.Set();
    }
    void OnBase(WPARAM w, LPARAM) { m_log.Add(L"base " + std::to_wstring(w)); }
    BOOL PreTranslateMessage(plat::ThreadMsg* msg) override {
        const BOOL handled = CWinThread::PreTranslateMessage(msg);
        if (!handled) m_log.Add(L"unhandled " + std::to_wstring(msg->message));
        return handled;
    }
    BOOL OnIdle(long count) override {
        m_log.Add(L"idle " + std::to_wstring(count));
        if (count == 1) m_idleRounds.Set();
        return count < 1;
    }

    LoopLog& m_log;
    Signal m_idleRounds;
};

const MessageMap* BaseLoop::GetThisMessageMap() {
    static const MessageMapEntry entries[] = {OnMessage<&BaseLoop::OnBase>(kBaseMessage)};
    static const MessageMap map = MessageMapOf<CWinThread>(entries);
    return &map;
}

class DerivedLoop : public BaseLoop {
    DECLARE_MESSAGE_MAP()
    DECLARE_DYNCREATE(DerivedLoop)

  public:
    explicit DerivedLoop(LoopLog& log) : BaseLoop(log) {}
    void OnDerived(WPARAM w, LPARAM l) { m_log.Add(L"derived " + std::to_wstring(w) + L"," + std::to_wstring(l)); }

  private:
    static LoopLog s_defaultLog;
    DerivedLoop() : BaseLoop(s_defaultLog) {}
};
LoopLog DerivedLoop::s_defaultLog;

const MessageMap* DerivedLoop::GetThisMessageMap() {
    static const MessageMapEntry entries[] = {OnMessage<&DerivedLoop::OnDerived>(kDerivedMessage)};
    static const MessageMap map = MessageMapOf<BaseLoop>(entries);
    return &map;
}

// Runs ExitInstance instead of the loop when its start fails.
class FailingStart : public CWinThread {
  public:
    explicit FailingStart(Signal& exited) : m_exited(exited) {}
    BOOL InitInstance() override { return FALSE; }
    int ExitInstance() override {
        m_exited.Set();
        return 3;
    }
    int Run() override { return 99; }

  private:
    Signal& m_exited;
};

DWORD ExitCodeOnceEnded(HANDLE thread) {
    DWORD code = 0;
    EXPECT_EQ(plat::WaitForObject(thread, kHangGuardMs), WAIT_OBJECT_0);
    EXPECT_TRUE(plat::GetThreadExitCode(thread, &code));
    plat::CloseHandleObject(thread);
    return code;
}

}  // namespace

TEST(WinThread, LoopIdlesDispatchesThroughChainedMapsAndEndsWithTheQuitCode) {
    LoopLog log;
    auto* loop = new DerivedLoop(log);
    ASSERT_TRUE(loop->CreateThread());
    const DWORD id = loop->m_nThreadID;
    HANDLE thread = plat::DuplicateHandleObject(loop->m_hThread);
    ASSERT_TRUE(loop->m_idleRounds.Wait());

    ASSERT_TRUE(loop->PostThreadMessage(kDerivedMessage, 1, -2));
    ASSERT_TRUE(loop->PostThreadMessage(kBaseMessage, 3, 0));
    ASSERT_TRUE(loop->PostThreadMessage(kUnmapped, 0, 0));
    ASSERT_TRUE(plat::PostToThread(id, WM_QUIT, 7, 0));
    EXPECT_EQ(ExitCodeOnceEnded(thread), 7u);

    // Deleted on its own thread once the loop ended.
    ASSERT_TRUE(log.destroyed.Wait());
    EXPECT_EQ(log.destroyedOn, id);
    auto lines = log.Lines();
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[0], L"idle 0");
    EXPECT_EQ(lines[1], L"idle 1");
    // Each message starts the idle count again; messages already waiting skip it.
    std::vector<std::wstring> handled;
    for (auto& line : lines)
        if (line.rfind(L"idle", 0) != 0) handled.push_back(line);
    EXPECT_EQ(handled, (std::vector<std::wstring>{L"derived 1,-2", L"base 3", L"unhandled 1126"}));
}

TEST(WinThread, FailedStartRunsExitInstanceAndItsCodeIsTheThreadsExitCode) {
    Signal exited;
    auto* thread = new FailingStart(exited);
    thread->m_bAutoDelete = FALSE;
    ASSERT_TRUE(thread->CreateThread());
    HANDLE handle = plat::DuplicateHandleObject(thread->m_hThread);
    EXPECT_EQ(ExitCodeOnceEnded(handle), 3u);
    EXPECT_TRUE(exited.IsSet());
    delete thread;
}

TEST(WinThread, SuspendedThreadHasItsQueueOnceResumed) {
    LoopLog log;
    auto* loop = new DerivedLoop(log);
    ASSERT_TRUE(loop->CreateThread(CREATE_SUSPENDED));
    HANDLE thread = plat::DuplicateHandleObject(loop->m_hThread);
    EXPECT_FALSE(loop->PostThreadMessage(kBaseMessage, 1, 0));
    EXPECT_EQ(plat::LastError(), ERROR_INVALID_THREAD_ID);
    EXPECT_TRUE(log.Lines().empty());

    EXPECT_EQ(loop->ResumeThread(), 1u);
    // The queue exists once the resume returns.
    EXPECT_TRUE(loop->PostThreadMessage(kBaseMessage, 2, 0));
    EXPECT_TRUE(loop->PostThreadMessage(WM_QUIT, 0, 0));
    EXPECT_EQ(ExitCodeOnceEnded(thread), 0u);
    ASSERT_TRUE(log.destroyed.Wait());
    auto lines = log.Lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), L"base 2"), lines.end());
}

TEST(WinThread, BeginThreadCreatesByClass) {
    CRuntimeClass* record = RUNTIME_CLASS(DerivedLoop);
    EXPECT_STREQ(record->m_lpszClassName, "DerivedLoop");
    EXPECT_EQ(record->m_nObjectSize, static_cast<int>(sizeof(DerivedLoop)));

    CWinThread* created = AfxBeginThread(record, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
    ASSERT_NE(created, nullptr);
    auto* loop = dynamic_cast<DerivedLoop*>(created);
    ASSERT_NE(loop, nullptr);
    EXPECT_EQ(loop->GetThreadPriority(), THREAD_PRIORITY_NORMAL);
    HANDLE thread = plat::DuplicateHandleObject(loop->m_hThread);
    EXPECT_EQ(loop->ResumeThread(), 1u);
    EXPECT_TRUE(loop->PostThreadMessage(WM_QUIT, 5, 0));
    EXPECT_EQ(ExitCodeOnceEnded(thread), 5u);

    EXPECT_EQ(AfxBeginThread(nullptr), nullptr);
    CRuntimeClass notCreatable{"Nothing", 0, nullptr};
    EXPECT_EQ(AfxBeginThread(&notCreatable), nullptr);
}

// A loop whose queue never runs empty: each message posts the next one.
class ChainLoop : public CWinThread {
    DECLARE_MESSAGE_MAP()

  public:
    static constexpr WPARAM kLinks = 300;
    explicit ChainLoop(DWORD waitTimeoutMs) : m_nWaitTimeoutMs(waitTimeoutMs) {}
    void OnLink(WPARAM left, LPARAM) {
        if (left == kLinks) m_nPassesInChain = 0;
        if (left > 0) PostThreadMessage(kBaseMessage, left - 1, 0);
        else m_chainDone.Set();
    }
    void OnPassEnded(bool beforeWait) override {
        if (!beforeWait) ++m_nPassesInChain;
        CWinThread::OnPassEnded(beforeWait);
    }
    DWORD MessageWaitTimeout() override { return m_nWaitTimeoutMs; }

    DWORD m_nWaitTimeoutMs;
    std::atomic<int> m_nPassesInChain{0};
    Signal m_chainDone;
};

const MessageMap* ChainLoop::GetThisMessageMap() {
    static const MessageMapEntry entries[] = {OnMessage<&ChainLoop::OnLink>(kBaseMessage)};
    static const MessageMap map = MessageMapOf<CWinThread>(entries);
    return &map;
}

// A busy thread still ends its passes (the work between notifications and
// the periodic checks run there), whether its wait has a time-out or not.
TEST(WinThread, PassesEndWhileTheQueueNeverRunsEmpty) {
    for (const DWORD timeoutMs : {plat::kWaitForever, DWORD{1000}}) {
        SCOPED_TRACE(timeoutMs);
        ChainLoop loop(timeoutMs);
        loop.m_bAutoDelete = FALSE;
        ASSERT_TRUE(loop.CreateThread());
        ASSERT_TRUE(loop.PostThreadMessage(kBaseMessage, ChainLoop::kLinks, 0));
        ASSERT_TRUE(loop.m_chainDone.Wait());
        const int passes = loop.m_nPassesInChain;
        HANDLE thread = plat::DuplicateHandleObject(loop.m_hThread);
        ASSERT_TRUE(loop.PostThreadMessage(WM_QUIT, 0, 0));
        EXPECT_EQ(ExitCodeOnceEnded(thread), 0u);
        EXPECT_GE(passes, 3);
    }
}

TEST(WinApp, NewestApplicationIsCurrentUntilCleared) {
    EXPECT_EQ(AfxGetApp(), nullptr);
    {
        CWinApp app(L"VelmoraService");
        EXPECT_EQ(AfxGetApp(), &app);
        EXPECT_EQ(AfxGetAppName(), L"VelmoraService");
        EXPECT_TRUE(app.InitInstance());
        EXPECT_EQ(app.ExitInstance(), 0);
        AfxSetCurrentApp(nullptr);
        EXPECT_EQ(AfxGetApp(), nullptr);
        EXPECT_EQ(AfxGetAppName(), L"");
        AfxSetCurrentApp(&app);
    }
    EXPECT_EQ(AfxGetApp(), nullptr);
    EXPECT_EQ(AfxGetAppName(), L"");
}
