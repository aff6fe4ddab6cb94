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

void AppendLocalDateTimeText(std::wstring& out) {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    wchar_t date[80] = {};
    wchar_t time[80] = {};
    ::GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &now, nullptr, date, 80);
    ::GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &now, nullptr, time, 80);
    out += date;
    out += L' ';
    out += time;
}

}  // namespace plat
