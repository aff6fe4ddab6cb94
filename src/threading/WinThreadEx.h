// Worker thread with a message queue that never loses a post (an unbounded
// backup queue takes what the platform queue cannot), tracked messages with a
// lateness report and an exception boundary, synchronous sends with a
// time-out, a run gate, a thread name, and orderly start and stop.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <string_view>

#include "common/Format.h"
#include "platform/Types.h"
#include "threading/Sync.h"
#include "threading/WinThread.h"

class CWinThreadEx : public CWinThread {
  public:
    // One entry of the backup queue: a message that did not fit into the platform queue.
    struct CThreadMessage {
        UINT m_nMsg;
        WPARAM m_wParam;
        LPARAM m_lParam;
    };

    // Travels as the wParam of a tracked message: when it was posted and the
    // caller's own parameters. The lParam of a tracked message is the
    // completion event of a synchronous send (null for a post).
    struct CMessageEnvelope {
        std::uint64_t m_nPostTime;
        WPARAM m_wParam;
        LPARAM m_lParam;
    };

    // Messages first..last (inclusive) are tracked; identifiers in that range
    // are reserved to PostMessage and SendMessageTimeout. `startMessage` (0 =
    // none) is posted by the thread to itself when it starts. StopThread
    // waits `stopTimeoutMs` for the thread to end.
    static constexpr DWORD kStopTimeoutMs = 60000;
    CWinThreadEx(UINT firstTrackedMessage, UINT lastTrackedMessage, UINT startMessage,
                 DWORD stopTimeoutMs = kStopTimeoutMs);
    ~CWinThreadEx() override;

    // Any thread. Never waits for the worker; TRUE when the message was posted
    // or queued behind the backup queue.
    virtual BOOL PostMessage(UINT message, WPARAM wParam, LPARAM lParam);
    // Posts a tracked message and waits until its handler has run: TRUE when it did.
    virtual BOOL SendMessage(UINT message, WPARAM wParam, LPARAM lParam);
    // As SendMessage with a time-out in seconds (0xFFFFFFFF = none). Returns 0
    // (handled), 1460 (time-out), 1223 (worker held at its run gate) or 1287
    // (no completion event, or the post failed). An untracked message is only
    // posted: 0 when posted, 1287 when not.
    virtual DWORD SendMessageTimeout(UINT message, WPARAM wParam, LPARAM lParam, UINT timeoutSeconds);
    // Hook: gives the thread its default name (the base leaves it empty).
    virtual void SetDefaultThreadName() {}
    // Runs on the new thread: names it, marks it running, posts the start
    // message to itself. Subclasses that override InitInstance call it first.
    virtual BOOL OnThreadStart(UINT message, WPARAM wParam, LPARAM lParam);
    // Hooks for the framework's lines; the base discards them. Called from the
    // worker and from posting, sending and stopping threads at the same time.
    virtual void LogInfoText(const std::wstring& line) { (void)line; }
    virtual void LogErrorText(const std::wstring& line) { (void)line; }
    // The posting layer with the backup queue. `messageKept`, when given, is
    // set to whether the message itself now waits in a queue (a FALSE result
    // may concern an earlier message of the backup queue).
    virtual BOOL PostOrQueueMessage(UINT message, WPARAM wParam, LPARAM lParam, bool* messageKept = nullptr);

    // A framework line from a printf-style format and typed arguments.
    template <typename... Args>
    void LogInfo(std::wstring_view format, const Args&... args) {
        LogInfoText(FormatW(format, args...));
    }
    template <typename... Args>
    void LogError(std::wstring_view format, const Args&... args) {
        LogErrorText(FormatW(format, args...));
    }

    BOOL InitInstance() override;
    int ExitInstance() override;
    BOOL PreTranslateMessage(plat::ThreadMsg* msg) override;
    BOOL OnIdle(long count) override;

    // The name, after asking SetDefaultThreadName for one when it is empty.
    std::wstring GetThreadName();

    // Owner's thread: posts the quit message and waits for the thread to end
    // (the stop time-out of the constructor). True when it was not running or
    // has ended; the object may be gone then. False, with a line, when it did
    // not end in time.
    bool StopThread();

    // True while the backup queue holds messages (for observers and tests).
    bool IsBackupQueueActive() const { return m_bBackupQueueActive.load(); }

  protected:
    // A socket notification waits at the run gate as every message does.
    void BeforeNotification() override { PassRunGate(); }

    bool IsTracked(UINT message) const {
        return message >= m_nFirstTrackedMessage && message <= m_nLastTrackedMessage;
    }

    std::wstring m_strThreadName;
    UINT m_nFirstTrackedMessage;
    UINT m_nLastTrackedMessage;
    UINT m_nStartMessage;
    bool m_bRunning = false;    // under m_csState
    HANDLE m_evStopped;         // manual; not signalled from a stop request until exit
    HANDLE m_evStarted;         // manual; signalled once start-up is complete
    HANDLE m_evRun;             // manual; the run gate: not signalled holds the thread
    HANDLE m_evPaused;          // manual; signalled while the thread waits at the gate
    CCriticalSection m_csExit;
    CCriticalSection m_csState;
    std::list<std::unique_ptr<CThreadMessage>> m_lstBackupQueue;  // under m_csBackupQueue
    std::atomic<bool> m_bBackupQueueActive{false};                // written under m_csBackupQueue
    CCriticalSection m_csBackupQueue;
    // Completion events of synchronous sends that ended with their handler
    // run, kept for the next sends of any thread object: shared by all of
    // them, because a sender must not touch its thread object once the
    // handler has run (the worker may end and delete it).
    // (Never destroyed: threads may still send while the process exits.)
    static CCriticalSection& m_csEventPool;
    static std::list<HANDLE>& m_lstEventPool;  // under m_csEventPool
    static constexpr std::size_t kEventPoolSize = 16;

  private:
    // Holds the thread while its run gate is closed (the paused state).
    void PassRunGate();
    // Dispatches a tracked message to its handler and reports what it throws.
    void DispatchInsideBoundary(plat::ThreadMsg* msg);
    // Frees what a tracked message that will never be handled carries.
    void DiscardTrackedPayload(UINT message, WPARAM wParam, LPARAM lParam);
    // Moves the backup queue into the platform queue, oldest first. Returns
    // FALSE when an entry was dropped; `ownEntry` is the caller's own entry.
    BOOL DrainBackupQueue(const CThreadMessage* ownEntry, bool* ownEntryDropped);

    static HANDLE TakeCompletionEvent();
    // Waits until `event` is signalled (NO_ERROR), `deadline` (when given)
    // passes (ERROR_TIMEOUT, logged) or the worker is held at its run gate
    // (`paused` signalled: ERROR_CANCELLED).
    DWORD WaitForSendCompletion(HANDLE event, HANDLE paused, const std::uint64_t* deadline, UINT message,
                                UINT timeoutSeconds);
    // Keeps `event` for a later send (it is signalled, and its worker's
    // duplicate is spent), or closes it when the pool is full.
    static void ReturnCompletionEvent(HANDLE event);

    CCriticalSection m_csName;  // guards m_strThreadName against concurrent first use
    const DWORD m_dwStopTimeout;
};

// Waits for `event`. On the application's main thread the wait is cut into
// 100 ms passes, and between passes the application pumps the messages that
// wait in its queue; elsewhere it is one wait. True when the event was
// signalled within `milliseconds` (default: 1000000).
bool WaitWithMessagePump(HANDLE event, DWORD milliseconds = 1000000);
