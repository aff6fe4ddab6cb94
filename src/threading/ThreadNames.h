// Process-wide registry of thread names, announced to the platform when a
// thread's name changes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/Format.h"
#include "platform/Types.h"

// Records `name` for the thread (an exact, case-sensitive repeat of the
// registered name does nothing) and announces the new name: the platform
// names a thread only from the thread itself, so the announcement names the
// native thread when the calling thread is `threadId` and is skipped for any
// other thread. The empty name removes the thread's entry.
void SetThreadNameText(DWORD threadId, const std::wstring& name);

// The same with the name formatted from a printf-style format.
template <typename... Args>
void SetThreadName(DWORD threadId, std::wstring_view format, const Args&... args) {
    SetThreadNameText(threadId, FormatW(format, args...));
}

// The registered name of a thread; empty when it has none.
std::wstring RegisteredThreadName(DWORD threadId);

// How many times a new name has been announced since the process started.
std::uint64_t ThreadNameAnnouncementCount();
