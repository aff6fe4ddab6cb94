// Windows thread message queues: the system's own.
#include <windows.h>

#include "platform/MessageQueue.h"

namespace plat {
namespace {
// Messages taken since the calling thread's last pass ended. A busy thread's
// queue may never be found empty: a pass ends after as many messages as one
// poll of the POSIX backend harvests at most.
constexpr unsigned kMessagesPerPass = 64;
thread_local unsigned t_takenInPass = 0;

void FromMsg(const MSG& m, ThreadMsg* out) {
    out->hwnd = m.hwnd;
    out->message = m.message;
    out->wParam = m.wParam;
    out->lParam = m.lParam;
}
}  // namespace

BOOL EnsureThreadMessageQueue() {
    // The first call of a message function creates the thread's queue.
    MSG m;
    ::PeekMessageW(&m, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    return TRUE;
}

BOOL PostToThread(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
    return ::PostThreadMessageW(threadId, message, wParam, lParam);
}

BOOL WaitNextMessage(ThreadMsg* msg, DWORD timeoutMs) {
    MSG m{};
    if (timeoutMs != kWaitForever) {
        // GetMessageW cannot time out: wait for input first, then take it.
        const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
        while (!::PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
            const ULONGLONG now = ::GetTickCount64();
            if (now >= deadline) {
                *msg = ThreadMsg{};
                return TRUE;
            }
            ::MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(deadline - now), QS_ALLINPUT,
                                          MWMO_INPUTAVAILABLE);
        }
        FromMsg(m, msg);
        ++t_takenInPass;
        return m.message != WM_QUIT;
    }
    const BOOL rc = ::GetMessageW(&m, nullptr, 0, 0);
    FromMsg(m, msg);
    ++t_takenInPass;
    if (rc == -1) {
        // Not a quit: report an empty message so the loop goes on.
        msg->hwnd = nullptr;
        msg->message = 0;
        return TRUE;
    }
    return rc;
}

Taken TakeNextMessage(ThreadMsg* msg, DWORD timeoutMs, NotificationGate* gate) {
    // Socket notifications are window messages here: the loop dispatches them.
    (void)gate;
    return WaitNextMessage(msg, timeoutMs) ? Taken::Message : Taken::Quit;
}

BOOL PeekNextMessage(ThreadMsg* msg, bool remove) {
    MSG m{};
    const BOOL rc = ::PeekMessageW(&m, nullptr, 0, 0, remove ? PM_REMOVE : PM_NOREMOVE);
    if (!rc) {
        t_takenInPass = 0;  // what was taken until the queue ran empty was one pass
        return FALSE;
    }
    FromMsg(m, msg);
    if (remove) ++t_takenInPass;
    return TRUE;
}

bool MessagePassEnded() {
    if (t_takenInPass < kMessagesPerPass) return false;
    t_takenInPass = 0;
    return true;
}

void DispatchWindowMessage(const ThreadMsg& msg) {
    MSG m{};
    m.hwnd = static_cast<HWND>(msg.hwnd);
    m.message = msg.message;
    m.wParam = msg.wParam;
    m.lParam = msg.lParam;
    ::DispatchMessageW(&m);
}

}  // namespace plat
