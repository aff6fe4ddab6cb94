// A worker thread for the tests that records what it handles and the lines
// the framework gives it, into a journal that outlives the self-deleting worker.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Handles.h"
#include "platform/Win32Codes.h"
#include "threading/WinThreadEx.h"

namespace threading_test {

// Bound for waits that must end; reaching it means the test has failed.
constexpr DWORD kHangGuardMs = 10000;

constexpr UINT kTracked = WM_USER + 1;    // tracked by every probe worker (1025)
constexpr UINT kUntracked = WM_USER + 2;  // handled, never tracked
constexpr UINT kFiller = WM_USER + 3;     // handled, never tracked; fills queues

// A manual-reset event: one thread reaches a point or opens a gate, another waits for it.
class Signal {
  public:
    Signal() : m_hEvent(plat::CreateEventObject(true, false)) {}
    ~Signal() { plat::CloseHandleObject(m_hEvent); }
    Signal(const Signal&) = delete;
    Signal& operator=(const Signal&) = delete;
    void Set() { plat::SignalEvent(m_hEvent); }
    bool Wait(DWORD ms = kHangGuardMs) { return plat::WaitForObject(m_hEvent, ms) == WAIT_OBJECT_0; }
    bool IsSet() { return Wait(0); }

  private:
    HANDLE m_hEvent;
};

struct Handled {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

// Everything a probe worker reports. Lives in the test, so it stays valid
// after the worker has deleted itself.
class Journal {
  public:
    // Runs on the worker for every handled message, after it is recorded.
    std::function<void(const Handled&)> action;

    void Record(const Handled& h) {
        {
            std::lock_guard lock(m_mutex);
            m_handled.push_back(h);
        }
        m_cv.notify_all();
        if (action) action(h);
    }
    void Info(const std::wstring& line) { Add(m_info, line); }
    void Error(const std::wstring& line) { Add(m_errors, line); }
    void Exited() { Add(m_events, L"exit"); }
    void Destroyed() {
        Add(m_events, L"destroyed");
        m_destroyed.Set();
    }

    std::vector<Handled> HandledMessages() { return Copy(m_handled); }
    std::vector<std::wstring> InfoLines() { return Copy(m_info); }
    std::vector<std::wstring> ErrorLines() { return Copy(m_errors); }
    std::vector<std::wstring> Events() { return Copy(m_events); }

    // Waits until `count` messages have been handled.
    bool WaitHandled(std::size_t count, DWORD ms = kHangGuardMs) {
        std::unique_lock lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_handled.size() >= count; });
    }
    bool WaitDestroyed() { return m_destroyed.Wait(); }

  private:
    void Add(std::vector<std::wstring>& to, const std::wstring& line) {
        {
            std::lock_guard lock(m_mutex);
            to.push_back(line);
        }
        m_cv.notify_all();
    }
    template <typename T>
    std::vector<T> Copy(const std::vector<T>& from) {
        std::lock_guard lock(m_mutex);
        return from;
    }

    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<Handled> m_handled;
    std::vector<std::wstring> m_info;
    std::vector<std::wstring> m_errors;
    std::vector<std::wstring> m_events;
    Signal m_destroyed;
};

class ProbeWorker : public CWinThreadEx {
    DECLARE_MESSAGE_MAP()

  public:
    explicit ProbeWorker(Journal& journal, UINT startMessage = 0, DWORD stopTimeoutMs = kStopTimeoutMs)
        : CWinThreadEx(kTracked, kTracked, startMessage, stopTimeoutMs), m_journal(journal) {}
    ~ProbeWorker() override { m_journal.Destroyed(); }

    void SetDefaultThreadName() override { m_strThreadName = L"Worker"; }
    void LogInfoText(const std::wstring& line) override { m_journal.Info(line); }
    void LogErrorText(const std::wstring& line) override { m_journal.Error(line); }
    int ExitInstance() override {
        m_journal.Exited();
        return CWinThreadEx::ExitInstance();
    }

    void OnProbeMessage(WPARAM wParam, LPARAM lParam) { m_journal.Record({m_msgCur.message, wParam, lParam}); }

    // The run gate, as an owner would use it.
    void CloseRunGate() { plat::ResetEventObject(m_evRun); }
    void OpenRunGate() { plat::SignalEvent(m_evRun); }
    bool WaitHeldAtRunGate() { return plat::WaitForObject(m_evPaused, kHangGuardMs) == WAIT_OBJECT_0; }
    bool WaitStarted() { return plat::WaitForObject(m_evStarted, kHangGuardMs) == WAIT_OBJECT_0; }
    std::size_t BackupQueueSize() {
        CSingleLock lock(m_csBackupQueue);
        return m_lstBackupQueue.size();
    }

  private:
    Journal& m_journal;
};

inline const MessageMap* ProbeWorker::GetThisMessageMap() {
    static const MessageMapEntry entries[] = {
        OnMessage<&ProbeWorker::OnProbeMessage>(kTracked),
        OnMessage<&ProbeWorker::OnProbeMessage>(kUntracked),
        OnMessage<&ProbeWorker::OnProbeMessage>(kFiller),
    };
    static const MessageMap map = MessageMapOf<CWinThreadEx>(entries);
    return &map;
}

// A running probe worker (started and marked running), or null.
inline ProbeWorker* StartProbeWorker(Journal& journal, UINT startMessage = 0,
                                     DWORD stopTimeoutMs = CWinThreadEx::kStopTimeoutMs) {
    auto* worker = new ProbeWorker(journal, startMessage, stopTimeoutMs);
    if (!worker->CreateThread() || !worker->WaitStarted()) return nullptr;
    return worker;
}

}  // namespace threading_test
