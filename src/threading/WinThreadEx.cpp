// Worker thread: posting with the backup queue, tracked messages, the
// exception boundary, synchronous sends, start and stop.
#include "threading/WinThreadEx.h"

#include <algorithm>
#include <exception>
#include <typeinfo>

#if __has_include(<cxxabi.h>)
#include <cxxabi.h>

#include <cstdlib>
#endif

#include "common/LogSink.h"
#include "common/Utf8.h"
#include "platform/Handles.h"
#include "platform/MessageQueue.h"
#include "platform/Win32Codes.h"
#include "threading/Clock.h"
#include "threading/HandlerErrors.h"
#include "threading/ThreadNames.h"

namespace {

// Message identifiers are logged in decimal.
std::wstring MessageText(UINT message) { return FormatW(L"%u", message); }

// The readable class name of an exception.
std::wstring TypeNameOf(const std::exception& e) {
    const char* raw = typeid(e).name();
#if __has_include(<cxxabi.h>)
    int status = 0;
    char* demangled = abi::__cxa_demangle(raw, nullptr, nullptr, &status);
    if (status == 0 && demangled != nullptr) {
        std::wstring name = Utf8ToWideLossy(demangled);
        std::free(demangled);
        return name;
    }
    std::free(demangled);
#endif
    return Utf8ToWideLossy(raw);
}

// Waits a sender makes between looks at its deadline and at the run gate.
constexpr DWORD kSendWaitSlice = 100;
// One pass of the message-pumping wait.
constexpr DWORD kPumpPass = 100;

}  // namespace

CWinThreadEx::CWinThreadEx(UINT firstTrackedMessage, UINT lastTrackedMessage, UINT startMessage,
                           DWORD stopTimeoutMs)
    : m_nFirstTrackedMessage(firstTrackedMessage),
      m_nLastTrackedMessage(lastTrackedMessage),
      m_nStartMessage(startMessage),
      m_evStopped(plat::CreateEventObject(true, true)),
      m_evStarted(plat::CreateEventObject(true, false)),
      m_evRun(plat::CreateEventObject(true, true)),
      m_evPaused(plat::CreateEventObject(true, false)),
      m_dwStopTimeout(stopTimeoutMs) {}

CWinThreadEx::~CWinThreadEx() {
    {
        CSingleLock lock(m_csBackupQueue);
        for (auto& entry : m_lstBackupQueue) DiscardTrackedPayload(entry->m_nMsg, entry->m_wParam, entry->m_lParam);
        m_lstBackupQueue.clear();
    }
    for (HANDLE event : {m_evStopped, m_evStarted, m_evRun, m_evPaused}) {
        if (event) plat::CloseHandleObject(event);
    }
}

std::wstring CWinThreadEx::GetThreadName() {
    CSingleLock lock(m_csName);
    if (m_strThreadName.empty()) SetDefaultThreadName();
    return m_strThreadName;
}

void CWinThreadEx::DiscardTrackedPayload(UINT message, WPARAM wParam, LPARAM lParam) {
    if (!IsTracked(message)) return;
    delete reinterpret_cast<CMessageEnvelope*>(wParam);
    // The sender keeps its own handle and stops waiting at its deadline.
    if (lParam != 0) plat::CloseHandleObject(reinterpret_cast<HANDLE>(lParam));
}

// ---------------------------------------------------------------------------
// Posting.

BOOL CWinThreadEx::PostMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    if (!IsTracked(message)) return PostOrQueueMessage(message, wParam, lParam);
    auto* envelope = new CMessageEnvelope{TickCount64(), wParam, lParam};
    // Assume the worker owns the envelope unless the posting layer says otherwise.
    bool kept = true;
    const BOOL posted = PostOrQueueMessage(message, reinterpret_cast<WPARAM>(envelope), 0, &kept);
    if (!kept) delete envelope;
    return posted;
}

BOOL CWinThreadEx::DrainBackupQueue(const CThreadMessage* ownEntry, bool* ownEntryDropped) {
    BOOL result = TRUE;
    while (!m_lstBackupQueue.empty()) {
        std::unique_ptr<CThreadMessage> entry = std::move(m_lstBackupQueue.front());
        m_lstBackupQueue.pop_front();
        if (plat::PostToThread(m_nThreadID, entry->m_nMsg, entry->m_wParam, entry->m_lParam)) continue;
        const DWORD error = plat::LastError();
        if (error == ERROR_NOT_ENOUGH_QUOTA) {
            m_lstBackupQueue.push_front(std::move(entry));
            break;
        }
        LogError(L"Failed to post message %s for thread '%s'. Error: %ld.", MessageText(entry->m_nMsg),
                 GetThreadName(), error);
        // The caller still owns what its own message carries; an earlier
        // message's payload has no owner left.
        if (entry.get() == ownEntry) *ownEntryDropped = true;
        else DiscardTrackedPayload(entry->m_nMsg, entry->m_wParam, entry->m_lParam);
        result = FALSE;
        break;
    }
    return result;
}

BOOL CWinThreadEx::PostOrQueueMessage(UINT message, WPARAM wParam, LPARAM lParam, bool* messageKept) {
    bool keptDummy = false;
    bool& kept = messageKept ? *messageKept : keptDummy;
    kept = false;

    if (m_bBackupQueueActive.load()) {
        CSingleLock lock(m_csBackupQueue);
        m_lstBackupQueue.push_back(std::make_unique<CThreadMessage>(CThreadMessage{message, wParam, lParam}));
        const CThreadMessage* own = m_lstBackupQueue.back().get();
        bool ownDropped = false;
        const BOOL result = DrainBackupQueue(own, &ownDropped);
        kept = !ownDropped;
        if (m_lstBackupQueue.empty()) {
            m_bBackupQueueActive.store(false);
            LogInfo(L"Backup queue cleared for thread '%s'.", GetThreadName());
        }
        return result;
    }

    if (plat::PostToThread(m_nThreadID, message, wParam, lParam)) {
        kept = true;
        return TRUE;
    }
    const DWORD error = plat::LastError();
    if (error != ERROR_NOT_ENOUGH_QUOTA) {
        LogError(L"Failed to post message %s for thread '%s'. Error: %ld.", MessageText(message), GetThreadName(),
                 error);
        return FALSE;
    }
    // Let the worker empty its queue sooner; it lowers its priority again when idle.
    SetThreadPriority(THREAD_PRIORITY_HIGHEST);
    CSingleLock lock(m_csBackupQueue);
    m_lstBackupQueue.push_back(std::make_unique<CThreadMessage>(CThreadMessage{message, wParam, lParam}));
    kept = true;
    if (!m_bBackupQueueActive.load()) {
        m_bBackupQueueActive.store(true);
        LogInfo(L"Message queue full for thread '%s'. Using backup queue.", GetThreadName());
    }
    return TRUE;
}

BOOL CWinThreadEx::OnIdle(long count) {
    (void)count;
    if (m_bBackupQueueActive.load()) {
        SetThreadPriority(THREAD_PRIORITY_NORMAL);
        // The null message goes through the backup path: the drain moves the
        // queued messages into our own queue, and it arrives after them.
        PostMessage(WM_NULL, 0, 0);
    }
    return FALSE;
}

// ---------------------------------------------------------------------------
// Handling.

void CWinThreadEx::PassRunGate() {
    if (plat::WaitForObject(m_evRun, 0) != WAIT_OBJECT_0) {
        WriteGatheredLogLines();  // nothing logged waits while the thread is paused
        plat::SignalEvent(m_evPaused);
        plat::WaitForObject(m_evRun, INFINITE);
        plat::ResetEventObject(m_evPaused);
    }
}

BOOL CWinThreadEx::PreTranslateMessage(plat::ThreadMsg* msg) {
    PassRunGate();
    // Window-addressed messages (Windows' socket notifications) are never tracked.
    if (msg->hwnd != nullptr || !IsTracked(msg->message)) return CWinThread::PreTranslateMessage(msg);

    auto* envelope = reinterpret_cast<CMessageEnvelope*>(msg->wParam);
    HANDLE completion = reinterpret_cast<HANDLE>(msg->lParam);
    if (envelope != nullptr) {
        msg->wParam = envelope->m_wParam;
        msg->lParam = envelope->m_lParam;
        const std::uint64_t elapsed = TickCount64() - envelope->m_nPostTime;
        if (elapsed > 10000) {
            LogInfo(L"Thread '%s': %llu ms passed since message %s was posted", GetThreadName(), elapsed,
                    MessageText(msg->message));
        }
    }
    DispatchInsideBoundary(msg);
    if (completion != nullptr) {
        plat::SignalEvent(completion);
        plat::CloseHandleObject(completion);
    }
    delete envelope;
    return TRUE;
}

void CWinThreadEx::DispatchInsideBoundary(plat::ThreadMsg* msg) {
    try {
        CWinThread::PreTranslateMessage(msg);
    } catch (const CComError& e) {
        LogError(L"Thread '%s': Error when handling message %s: Code %X - [%s] %s", GetThreadName(),
                 MessageText(msg->message), e.Error(), e.Source(), e.Description());
    } catch (CException* e) {
        wchar_t text[255] = {};
        if (e != nullptr) {
            e->GetErrorMessage(text, 255);
            e->Delete();
        }
        LogError(L"Thread '%s': Error when handling message %s: %s", GetThreadName(), MessageText(msg->message),
                 text);
    } catch (const std::exception& e) {
        std::wstring details;
        if (!TryUtf8ToWide(e.what(), details)) details.clear();
        LogError(L"Thread '%s': Error when handling message %s:\r\n\tSource: %s\r\n\tDetails: %s", GetThreadName(),
                 MessageText(msg->message), TypeNameOf(e), details);
    } catch (...) {
        LogError(L"Thread '%s': Error when handling message %s", GetThreadName(), MessageText(msg->message));
    }
}

// ---------------------------------------------------------------------------
// Start and exit.

BOOL CWinThreadEx::InitInstance() { return OnThreadStart(m_nStartMessage, 0, 0); }

BOOL CWinThreadEx::OnThreadStart(UINT message, WPARAM wParam, LPARAM lParam) {
    SetThreadName(m_nThreadID, L"%s", GetThreadName());
    {
        CSingleLock lock(m_csState);
        m_bRunning = true;
        m_pMainWnd = nullptr;
    }
    if (message != 0) PostMessage(message, wParam, lParam);
    plat::SignalEvent(m_evStarted);
    return TRUE;
}

int CWinThreadEx::ExitInstance() {
    // A poster may still be inside a drain that delivered our quit message;
    // let it leave before the object can go away with the thread.
    { CSingleLock barrier(m_csBackupQueue); }
    {
        CSingleLock exitLock(m_csExit);
        CSingleLock stateLock(m_csState);
        m_bRunning = false;
        plat::ResetEventObject(m_evStarted);
        plat::SignalEvent(m_evStopped);
        plat::SignalEvent(m_evRun);
        plat::ResetEventObject(m_evPaused);
        SetThreadName(m_nThreadID, L"");
        // Messages left behind the quit message will never be handled: free
        // what tracked ones carry.
        plat::ThreadMsg left;
        while (plat::PeekNextMessage(&left, true)) {
            if (left.hwnd == nullptr) DiscardTrackedPayload(left.message, left.wParam, left.lParam);
        }
        if (!m_bAutoDelete) {
            if (m_hThread) plat::CloseHandleObject(m_hThread);
            m_hThread = nullptr;
            m_nThreadID = 0;
            m_pMainWnd = nullptr;
        }
    }
    return CWinThread::ExitInstance();
}

bool CWinThreadEx::StopThread() {
    plat::ResetEventObject(m_evStopped);
    plat::SignalEvent(m_evRun);
    plat::ResetEventObject(m_evPaused);
    {
        CSingleLock lock(m_csState);
        if (!m_bRunning) return true;
    }
    // The thread may delete this object the moment it ends: wait on a handle
    // of our own and read what the failure line needs beforehand.
    const DWORD timeout = m_dwStopTimeout;
    HANDLE thread = m_hThread ? plat::DuplicateHandleObject(m_hThread) : nullptr;
    PostMessage(WM_QUIT, 0, 0);
    const DWORD wait = thread ? plat::WaitForObject(thread, timeout) : WAIT_FAILED;
    const DWORD error = plat::LastError();
    if (thread) plat::CloseHandleObject(thread);
    if (wait == WAIT_OBJECT_0) return true;
    LogError(L"Failed to stop thread '%s' (result %lu, error %lu).", GetThreadName(), wait, error);
    return false;
}

// ---------------------------------------------------------------------------
// Synchronous sends.

CCriticalSection& CWinThreadEx::m_csEventPool = *new CCriticalSection;
std::list<HANDLE>& CWinThreadEx::m_lstEventPool = *new std::list<HANDLE>;

void CWinThreadEx::ReturnCompletionEvent(HANDLE event) {
    {
        CSingleLock lock(m_csEventPool);
        if (m_lstEventPool.size() < kEventPoolSize) {
            m_lstEventPool.push_back(event);
            return;
        }
    }
    plat::CloseHandleObject(event);
}

HANDLE CWinThreadEx::TakeCompletionEvent() {
    CSingleLock lock(m_csEventPool);
    HANDLE event = nullptr;
    if (!m_lstEventPool.empty()) {
        event = m_lstEventPool.front();
        m_lstEventPool.pop_front();
    } else {
        event = plat::CreateEventObject(true, false);
    }
    if (event) plat::ResetEventObject(event);
    return event;
}

BOOL CWinThreadEx::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    return SendMessageTimeout(message, wParam, lParam, 0xFFFFFFFF) == NO_ERROR ? TRUE : FALSE;
}

DWORD CWinThreadEx::SendMessageTimeout(UINT message, WPARAM wParam, LPARAM lParam, UINT timeoutSeconds) {
    if (!IsTracked(message)) {
        return PostOrQueueMessage(message, wParam, lParam) ? NO_ERROR : ERROR_UNIDENTIFIED_ERROR;
    }
    // The time-out runs from the call (posting never waits), in 64 bits so
    // that no time-out wraps round to a short one.
    const std::uint64_t now = TickCount64();
    const bool hasDeadline = timeoutSeconds != 0xFFFFFFFF;
    const std::uint64_t deadline = hasDeadline ? now + std::uint64_t{timeoutSeconds} * 1000u : 0;
    auto* envelope = new CMessageEnvelope{now, wParam, lParam};
    HANDLE event = TakeCompletionEvent();
    if (!event) {
        delete envelope;
        return ERROR_UNIDENTIFIED_ERROR;
    }
    HANDLE forWorker = plat::DuplicateHandleObject(event);
    if (!forWorker) {
        delete envelope;
        plat::CloseHandleObject(event);
        return ERROR_UNIDENTIFIED_ERROR;
    }
    // The run gate is watched through a handle of our own, taken before the
    // post: once the handler has run, the worker may end and delete this
    // object at any moment.
    HANDLE paused = plat::DuplicateHandleObject(m_evPaused);
    bool kept = true;
    if (!PostOrQueueMessage(message, reinterpret_cast<WPARAM>(envelope), reinterpret_cast<LPARAM>(forWorker),
                            &kept)) {
        if (!kept) {
            delete envelope;
            plat::CloseHandleObject(forWorker);
        }
        if (paused) plat::CloseHandleObject(paused);
        plat::CloseHandleObject(event);
        return ERROR_UNIDENTIFIED_ERROR;
    }

    const DWORD result =
        WaitForSendCompletion(event, paused, hasDeadline ? &deadline : nullptr, message, timeoutSeconds);
    if (paused) plat::CloseHandleObject(paused);
    // Once the handler has run, the worker may end and delete this object at
    // any moment, so only the shared pool is touched. An event that was not
    // signalled may still be, by a worker that handles the message late: it
    // is never used again.
    if (result == NO_ERROR) {
        ReturnCompletionEvent(event);
    } else {
        plat::CloseHandleObject(event);
    }
    return result;
}

DWORD CWinThreadEx::WaitForSendCompletion(HANDLE event, HANDLE paused, const std::uint64_t* deadline, UINT message,
                                          UINT timeoutSeconds) {
    // The deadline bounds every wait; waiting in slices lets the sender also
    // notice a worker held at its run gate without a long delay.
    for (;;) {
        DWORD slice = kSendWaitSlice;
        if (deadline) {
            const std::uint64_t current = TickCount64();
            slice = static_cast<DWORD>(std::min<std::uint64_t>(slice, *deadline > current ? *deadline - current : 0));
        }
        if (WaitWithMessagePump(event, slice)) return NO_ERROR;
        if (deadline && TickCount64() >= *deadline) {
            LogError(L"Timeout of %lu000 ms expired while waiting for message %s to complete on thread '%s'.",
                     timeoutSeconds, MessageText(message), GetThreadName());
            return ERROR_TIMEOUT;
        }
        if (paused && plat::WaitForObject(paused, 0) == WAIT_OBJECT_0) return ERROR_CANCELLED;
    }
}

bool WaitWithMessagePump(HANDLE event, DWORD milliseconds) {
    CWinApp* app = AfxGetApp();
    if (app == nullptr || app->m_nThreadID != plat::CurrentThreadId()) {
        return plat::WaitForObject(event, milliseconds) == WAIT_OBJECT_0;
    }
    DWORD left = milliseconds;
    bool quitSeen = false;
    for (;;) {
        const DWORD pass = std::min(left, kPumpPass);
        const DWORD wait = plat::WaitForObject(event, pass);
        if (wait != WAIT_TIMEOUT) return wait == WAIT_OBJECT_0;
        plat::ThreadMsg next;
        while (!quitSeen && plat::PeekNextMessage(&next, false)) {
            if (!app->PumpMessage()) {
                // The quit message belongs to the application's own loop: put
                // it back and pump nothing more during this wait.
                plat::PostToThread(plat::CurrentThreadId(), WM_QUIT, next.wParam, 0);
                quitSeen = true;
            }
        }
        left -= pass;
        if (left == 0) return false;
    }
}
