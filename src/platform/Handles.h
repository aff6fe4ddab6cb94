// Waitable handles, events, threads, last-error codes and time: the Win32
// kernel contract the worker framework relies on, on every platform.
//
// Windows maps these one to one onto the kernel objects. POSIX builds
// reference-counted objects behind opaque handles: each handle is closed once,
// a duplicate is a handle of its own on the same object, and the object lives
// until its last handle is closed.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Types.h"

namespace plat {

// Calling thread's last error code (Win32 numbering on every platform).
DWORD LastError();
void SetLastErrorCode(DWORD code);

// Events. Null on failure.
HANDLE CreateEventObject(bool manualReset, bool initiallySignalled);
BOOL SignalEvent(HANDLE event);
BOOL ResetEventObject(HANDLE event);

// Waits for an event or a thread handle. Returns WAIT_OBJECT_0 (0), WAIT_TIMEOUT
// (258) or WAIT_FAILED. An auto-reset event is reset by the wait it releases.
DWORD WaitForObject(HANDLE handle, DWORD milliseconds);

// A second handle on the same object, with the same access. Null on failure.
HANDLE DuplicateHandleObject(HANDLE handle);
BOOL CloseHandleObject(HANDLE handle);

// Threads. The handle is signalled when the thread has ended.
typedef unsigned (*ThreadProc)(void* argument);
HANDLE StartThread(ThreadProc proc, void* argument, bool suspended, DWORD* threadId);
// Returns the previous suspend count, or 0xFFFFFFFF on failure.
DWORD ResumeThreadHandle(HANDLE thread);
BOOL SetThreadPriorityLevel(HANDLE thread, int priority);
int GetThreadPriorityLevel(HANDLE thread);
BOOL GetThreadExitCode(HANDLE thread, DWORD* exitCode);
DWORD CurrentThreadId();
DWORD CurrentProcessId();
// Names the calling thread with the platform's own means (shown by debuggers
// and, on Linux, by ps and /proc; truncated to what the platform allows).
void SetNativeThreadName(const std::wstring& name);

void SleepMilliseconds(DWORD milliseconds);

// Monotonic milliseconds since an arbitrary start (GetTickCount64).
std::uint64_t SystemTickCount64();

// The current local time as a count of seconds: cheap, and another value
// whenever the local date and time text would read differently (the next
// second, a clock set back, a change of time zone where the platform's local
// time follows one at once).
std::int64_t CurrentLocalSecond();
// Appends the local date and time of `localSecond` (a value of
// CurrentLocalSecond), to the second, in the user's usual rendering (date,
// one space, time).
void AppendLocalDateTimeText(std::wstring& out, std::int64_t localSecond);

}  // namespace plat
