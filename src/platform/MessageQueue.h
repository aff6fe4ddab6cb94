// Per-thread message queues: post by thread id, wait, peek and dispatch.
//
// Windows: the real thread message queue (quota 10,000 posted messages).
// POSIX: our own queue with the same capacity; its wait also hands the
// readiness of the thread's sockets straight to them, between the posted
// messages, so one loop serves both (see posix/ThreadQueue.h). Windows'
// sockets notify a window, whose messages the loop dispatches.
#pragma once

#include "platform/Types.h"

namespace plat {

struct ThreadMsg {
    void* hwnd = nullptr;  // non-null: addressed to a window (Windows: a socket notification)
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
};

// Creates the calling thread's queue if it has none. Posts to a thread fail
// with ERROR_INVALID_THREAD_ID (1444) until it has one.
BOOL EnsureThreadMessageQueue();

// Posts a thread message. FALSE with the last error set on failure: 1816 when
// the queue is full, 1444 when the thread has no queue or has ended.
BOOL PostToThread(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam);

// Blocks for the next message of the calling thread, at most `timeoutMs`
// milliseconds (kWaitForever: no limit). Returns FALSE for WM_QUIT (the message
// is still filled in), TRUE otherwise; a wait that runs out returns TRUE
// with an empty message (no window, message 0), which dispatches to nothing,
// and so does a POSIX wait that handed a socket notification to its socket.
constexpr DWORD kWaitForever = 0xFFFFFFFF;
BOOL WaitNextMessage(ThreadMsg* msg, DWORD timeoutMs = kWaitForever);

// What a message loop does right before the wait hands a socket
// notification to its socket (POSIX), as it does before each message it
// dispatches: a worker's run gate, for instance.
class NotificationGate {
  public:
    virtual void BeforeNotification() = 0;

  protected:
    ~NotificationGate() = default;
};

// What TakeNextMessage did.
enum class Taken {
    Message,    // `msg` holds a message to dispatch (an empty one when the wait ran out)
    Quit,       // `msg` holds WM_QUIT
    Notified,   // a socket notification went straight to its socket; nothing to dispatch
};

// WaitNextMessage for a loop that lets the wait deliver socket notifications
// itself, without passing them through its message filter: on POSIX a
// notification is handed to its socket here, after `gate` (when given), and
// the call returns Notified. Windows' notifications are window messages and
// come back as such. A socket handler's exception leaves through this call.
Taken TakeNextMessage(ThreadMsg* msg, DWORD timeoutMs, NotificationGate* gate);

// Looks at the next message without blocking; removes it when `remove`. On
// POSIX a socket notification that waits is found too (with `hwnd` naming
// its socket); one removed this way is dropped.
BOOL PeekNextMessage(ThreadMsg* msg, bool remove);

// Delivers a window-addressed message (hwnd set) to its window procedure.
void DispatchWindowMessage(const ThreadMsg& msg);

// Asked by a message loop once after each message it handled: whether that
// message ended a pass, i.e. a batch of notifications that the thread took
// together is all handled and the next take looks for new ones (and may
// wait). The loop does what belongs at the end of a batch (writing the lines
// it logged) when this is true, and whenever a peek finds no message: a
// thread that never runs out of messages still ends a pass every so often.
// POSIX: the readiness that one epoll_wait reported (up to 64 sockets, with
// the posted messages taken in between) has all been taken. Windows: 64
// messages were taken since the last pass ended or a peek found the queue
// empty.
bool MessagePassEnded();

}  // namespace plat
