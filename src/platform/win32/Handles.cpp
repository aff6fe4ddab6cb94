// Windows handles: the kernel's own events, threads and waits.
#include <windows.h>

#include <process.h>

#include "common/Utf8.h"
#include "platform/Handles.h"

namespace plat {

DWORD LastError() { return ::GetLastError(); }
void SetLastErrorCode(DWORD code) { ::SetLastError(code); }

HANDLE CreateEventObject(bool manualReset, bool initiallySignalled) {
    return ::CreateEventW(nullptr, manualReset ? TRUE : FALSE, initiallySignalled ? TRUE : FALSE, nullptr);
}

BOOL SignalEvent(HANDLE event) { return ::SetEvent(event); }
BOOL ResetEventObject(HANDLE event) { return ::ResetEvent(event); }

DWORD WaitForObject(HANDLE handle, DWORD milliseconds) { return ::WaitForSingleObject(handle, milliseconds); }

HANDLE DuplicateHandleObject(HANDLE handle) {
    HANDLE duplicate = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), handle, ::GetCurrentProcess(), &duplicate, 0, FALSE,
                           DUPLICATE_SAME_ACCESS))
        return nullptr;
    return duplicate;
}

BOOL CloseHandleObject(HANDLE handle) { return ::CloseHandle(handle); }

namespace {
struct StartArgs {
    ThreadProc proc;
    void* argument;
};

unsigned __stdcall ThreadTrampoline(void* raw) {
    StartArgs args = *static_cast<StartArgs*>(raw);
    delete static_cast<StartArgs*>(raw);
    return args.proc(args.argument);
}
}  // namespace

HANDLE StartThread(ThreadProc proc, void* argument, bool suspended, DWORD* threadId) {
    auto* args = new StartArgs{proc, argument};
    unsigned id = 0;
    // _beginthreadex keeps the C runtime's per-thread state right.
    const uintptr_t handle =
        ::_beginthreadex(nullptr, 0, &ThreadTrampoline, args, suspended ? CREATE_SUSPENDED : 0, &id);
    if (handle == 0) {
        delete args;
        return nullptr;
    }
    if (threadId) *threadId = id;
    return reinterpret_cast<HANDLE>(handle);
}

DWORD ResumeThreadHandle(HANDLE thread) { return ::ResumeThread(thread); }
BOOL SetThreadPriorityLevel(HANDLE thread, int priority) { return ::SetThreadPriority(thread, priority); }
int GetThreadPriorityLevel(HANDLE thread) { return ::GetThreadPriority(thread); }
BOOL GetThreadExitCode(HANDLE thread, DWORD* exitCode) { return ::GetExitCodeThread(thread, exitCode); }
DWORD CurrentThreadId() { return ::GetCurrentThreadId(); }
DWORD CurrentProcessId() { return ::GetCurrentProcessId(); }

void SetNativeThreadName(const std::wstring& name) {
    // SetThreadDescription exists from Windows 10 1607 on; look it up so the
    // program still starts on older systems.
    typedef HRESULT(WINAPI * SetDescriptionFn)(HANDLE, PCWSTR);
    static const auto setDescription = reinterpret_cast<SetDescriptionFn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
    if (setDescription) setDescription(::GetCurrentThread(), name.c_str());
}

void SleepMilliseconds(DWORD milliseconds) { ::Sleep(milliseconds); }

std::uint64_t SystemTickCount64() { return ::GetTickCount64(); }

// Local time read as if it were a file time: seconds since 1601 of the local
// calendar, so a change of time zone or a clock set back gives another value.
std::int64_t CurrentLocalSecond() {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    FILETIME asFileTime{};
    ::SystemTimeToFileTime(&now, &asFileTime);
    const std::uint64_t ticks = (static_cast<std::uint64_t>(asFileTime.dwHighDateTime) << 32) | asFileTime.dwLowDateTime;
    return static_cast<std::int64_t>(ticks / 10000000u);
}

void AppendLocalDateTimeText(std::wstring& out, std::int64_t localSecond) {
    const std::uint64_t ticks = static_cast<std::uint64_t>(localSecond) * 10000000u;
    const FILETIME asFileTime{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME local{};
    ::FileTimeToSystemTime(&asFileTime, &local);
    wchar_t date[80] = {};
    wchar_t time[80] = {};
    ::GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &local, nullptr, date, 80);
    ::GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &local, nullptr, time, 80);
    out += date;
    out += L' ';
    out += time;
}

}  // namespace plat
