// Per-thread message queues: post by thread id, wait, peek and dispatch.
//
// Windows: the real thread message queue (quota 10,000 posted messages).
// POSIX: our own queue with the same capacity; its wait also delivers the
// readiness of the thread's sockets, as window-addressed messages between the
// posted ones, so one loop serves both (see posix/ThreadQueue.h).
#pragma once

#include "platform/Types.h"

namespace plat {

struct ThreadMsg {
    void* hwnd = nullptr;  // non-null: addressed to a window (a socket notification)
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
// with an empty message (no window, message 0), which dispatches to nothing.
constexpr DWORD kWaitForever = 0xFFFFFFFF;
BOOL WaitNextMessage(ThreadMsg* msg, DWORD timeoutMs = kWaitForever);

// Looks at the next message without blocking; removes it when `remove`.
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
