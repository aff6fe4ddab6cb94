// POSIX handles: events, threads, waits, last error and time.
#include "platform/Handles.h"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include "common/Utf8.h"
#include "platform/Win32Codes.h"
#include "platform/posix/PosixObjects.h"
#include "platform/posix/ThreadQueue.h"

namespace plat::posix {

HANDLE NewHandle(std::shared_ptr<WaitableObject> object) {
    auto* box = new (std::nothrow) HandleBox{std::move(object)};
    if (box == nullptr) SetLastErrorCode(ERROR_NOT_ENOUGH_MEMORY);
    return box;
}

std::shared_ptr<WaitableObject> ObjectOf(HANDLE handle) {
    if (handle == nullptr) return nullptr;
    return static_cast<HandleBox*>(handle)->object;
}

DWORD Win32FromErrno(int error) {
    switch (error) {
        case 0: return NO_ERROR;
        case ENOENT: return ERROR_FILE_NOT_FOUND;
        case ENOTDIR: return ERROR_PATH_NOT_FOUND;
        case EACCES: case EPERM: case EROFS: return ERROR_ACCESS_DENIED;
        case EMFILE: case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
        case EBADF: return ERROR_INVALID_HANDLE;
        case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
        case EEXIST: return ERROR_ALREADY_EXISTS;
        case EINVAL: return ERROR_INVALID_PARAMETER;
        case ENOSPC: return ERROR_DISK_FULL;
        case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
        case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
        case EBUSY: case ETXTBSY: return ERROR_SHARING_VIOLATION;
        case ENOSYS: return ERROR_CALL_NOT_IMPLEMENTED;
        case EAGAIN: return WSAEWOULDBLOCK;
        case EINPROGRESS: return WSAEINPROGRESS;
        case EADDRINUSE: return WSAEADDRINUSE;
        case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
        case ECONNRESET: case EPIPE: return WSAECONNRESET;
        case ECONNABORTED: return WSAECONNABORTED;
        case ECONNREFUSED: return WSAECONNREFUSED;
        case ENOTCONN: return WSAENOTCONN;
        case ETIMEDOUT: return WSAETIMEDOUT;
        case ENOTSOCK: return WSAENOTSOCK;
        case ENETDOWN: return WSAENETDOWN;
        case ENETUNREACH: return WSAENETUNREACH;
        case ENOBUFS: return WSAENOBUFS;
        case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
        default: return ERROR_INVALID_FUNCTION;
    }
}

namespace {

struct EventObject : WaitableObject {};

// A thread: signalled when it has ended.
struct ThreadObject : WaitableObject {
    ThreadProc proc = nullptr;
    void* argument = nullptr;
    DWORD threadId = 0;
    pid_t kernelId = 0;
    DWORD exitCode = 259;  // STILL_ACTIVE
    int priority = 0;
    int suspendCount = 0;
    std::condition_variable resumedCv;
};

std::atomic<DWORD> g_nextThreadId{1000};
thread_local DWORD t_threadId = 0;
thread_local DWORD t_lastError = 0;

void* ThreadMain(void* raw) {
    auto self = *static_cast<std::shared_ptr<ThreadObject>*>(raw);
    delete static_cast<std::shared_ptr<ThreadObject>*>(raw);
    t_threadId = self->threadId;
    {
        std::unique_lock lock(self->mutex);
        self->kernelId = static_cast<pid_t>(::syscall(SYS_gettid));
        self->resumedCv.wait(lock, [&] { return self->suspendCount == 0; });
    }
    const unsigned code = self->proc(self->argument);
    CloseOwnQueue();
    {
        std::lock_guard lock(self->mutex);
        self->exitCode = code;
        self->signalled = true;
    }
    self->signalledCv.notify_all();
    return nullptr;
}

int NiceFor(int priority) {
    if (priority >= 2) return -10;
    if (priority == 1) return -5;
    if (priority == -1) return 5;
    if (priority <= -2) return 10;
    return 0;
}

}  // namespace
}  // namespace plat::posix

namespace plat {

using namespace plat::posix;

DWORD LastError() { return t_lastError; }
void SetLastErrorCode(DWORD code) { t_lastError = code; }

HANDLE CreateEventObject(bool manualReset, bool initiallySignalled) {
    auto event = std::make_shared<EventObject>();
    event->manualReset = manualReset;
    event->signalled = initiallySignalled;
    return NewHandle(std::move(event));
}

BOOL SignalEvent(HANDLE event) {
    auto object = ObjectOf(event);
    if (!object) { SetLastErrorCode(ERROR_INVALID_HANDLE); return FALSE; }
    {
        std::lock_guard lock(object->mutex);
        object->signalled = true;
    }
    if (object->manualReset) object->signalledCv.notify_all();
    else object->signalledCv.notify_one();
    return TRUE;
}

BOOL ResetEventObject(HANDLE event) {
    auto object = ObjectOf(event);
    if (!object) { SetLastErrorCode(ERROR_INVALID_HANDLE); return FALSE; }
    std::lock_guard lock(object->mutex);
    object->signalled = false;
    return TRUE;
}

DWORD WaitForObject(HANDLE handle, DWORD milliseconds) {
    if (milliseconds == 0 && handle != nullptr) {
        // A look at a manual-reset object changes nothing: no lock, and no
        // reference taken (the caller's handle keeps the object).
        const WaitableObject* look = static_cast<HandleBox*>(handle)->object.get();
        if (look != nullptr && look->manualReset)
            return look->signalled.load(std::memory_order_acquire) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    }
    auto object = ObjectOf(handle);
    if (!object) { SetLastErrorCode(ERROR_INVALID_HANDLE); return WAIT_FAILED; }
    std::unique_lock lock(object->mutex);
    auto ready = [&] { return object->signalled.load(); };
    if (milliseconds == 0) {
        // A look without waiting (the message loops ask before every
        // message): no clock reading and no condition variable.
        if (!ready()) return WAIT_TIMEOUT;
    } else if (milliseconds == INFINITE) {
        object->signalledCv.wait(lock, ready);
    } else if (!object->signalledCv.wait_for(lock, std::chrono::milliseconds(milliseconds), ready)) {
        return WAIT_TIMEOUT;
    }
    if (!object->manualReset) object->signalled = false;
    return WAIT_OBJECT_0;
}

HANDLE DuplicateHandleObject(HANDLE handle) {
    auto object = ObjectOf(handle);
    if (!object) { SetLastErrorCode(ERROR_INVALID_HANDLE); return nullptr; }
    return NewHandle(std::move(object));
}

BOOL CloseHandleObject(HANDLE handle) {
    if (handle == nullptr) { SetLastErrorCode(ERROR_INVALID_HANDLE); return FALSE; }
    delete static_cast<HandleBox*>(handle);
    return TRUE;
}

HANDLE StartThread(ThreadProc proc, void* argument, bool suspended, DWORD* threadId) {
    auto thread = std::make_shared<ThreadObject>();
    thread->proc = proc;
    thread->argument = argument;
    thread->threadId = g_nextThreadId.fetch_add(4);
    thread->suspendCount = suspended ? 1 : 0;
    HANDLE handle = NewHandle(thread);
    if (handle == nullptr) return nullptr;
    auto* startArg = new std::shared_ptr<ThreadObject>(thread);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t native;
    const int rc = pthread_create(&native, &attr, &ThreadMain, startArg);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete startArg;
        CloseHandleObject(handle);
        SetLastErrorCode(Win32FromErrno(rc));
        return nullptr;
    }
    if (threadId) *threadId = thread->threadId;
    return handle;
}

DWORD ResumeThreadHandle(HANDLE thread) {
    auto object = std::dynamic_pointer_cast<ThreadObject>(ObjectOf(thread));
    if (!object) { SetLastErrorCode(ERROR_INVALID_HANDLE); return 0xFFFFFFFF; }
    DWORD previous;
    {
        std::lock_guard lock(object->mutex);
        previous = static_cast<DWORD>(object->suspendCount);
        if (object->suspendCount > 0) --object->suspendCount;
    }
    object->resumedCv.notify_all();
    return previous;
}

BOOL SetThreadPriorityLevel(HANDLE thread, int priority) {
    auto object = std::dynamic_pointer_cast<ThreadObject>(ObjectOf(thread));
    if (!object) { SetLastErrorCode(ERROR_INVALID_HANDLE); return FALSE; }
    std::lock_guard lock(object->mutex);
    object->priority = priority;
    // Linux threads are scheduled by their nice value; raising it needs
    // CAP_SYS_NICE, so an unprivileged daemon keeps its level and only the
    // recorded priority changes.
    if (object->kernelId != 0 && !object->signalled)
        ::setpriority(PRIO_PROCESS, static_cast<id_t>(object->kernelId), NiceFor(priority));
    return TRUE;
}

int GetThreadPriorityLevel(HANDLE thread) {
    auto object = std::dynamic_pointer_cast<ThreadObject>(ObjectOf(thread));
    if (!object) { SetLastErrorCode(ERROR_INVALID_HANDLE); return 0x7FFFFFFF; }
    std::lock_guard lock(object->mutex);
    return object->priority;
}

BOOL GetThreadExitCode(HANDLE thread, DWORD* exitCode) {
    auto object = std::dynamic_pointer_cast<ThreadObject>(ObjectOf(thread));
    if (!object || !exitCode) { SetLastErrorCode(ERROR_INVALID_HANDLE); return FALSE; }
    std::lock_guard lock(object->mutex);
    *exitCode = object->exitCode;
    return TRUE;
}

DWORD CurrentThreadId() {
    if (t_threadId == 0) t_threadId = g_nextThreadId.fetch_add(4);
    return t_threadId;
}

// getpid is a system call each time, and every log line asks: the id is
// kept, and a forked child (whose id differs) forgets it.
namespace {
std::atomic<pid_t> g_processId{0};
void ForgetProcessId() { g_processId.store(0, std::memory_order_relaxed); }
}  // namespace

DWORD CurrentProcessId() {
    pid_t id = g_processId.load(std::memory_order_relaxed);
    if (id == 0) {
        static const bool registered = ::pthread_atfork(nullptr, nullptr, &ForgetProcessId) == 0;
        (void)registered;
        id = ::getpid();
        g_processId.store(id, std::memory_order_relaxed);
    }
    return static_cast<DWORD>(id);
}

void SetNativeThreadName(const std::wstring& name) {
    // Linux allows 15 bytes plus the terminator; cut at a character boundary.
    std::string utf8 = WideToUtf8(name);
    if (utf8.size() > 15) {
        std::size_t cut = 15;
        while (cut > 0 && (static_cast<unsigned char>(utf8[cut]) & 0xC0) == 0x80) --cut;
        utf8.resize(cut);
    }
    ::pthread_setname_np(::pthread_self(), utf8.c_str());
}

void SleepMilliseconds(DWORD milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

std::uint64_t SystemTickCount64() {
    // The coarse clock, like the Windows tick count, moves in steps of a few
    // milliseconds and costs a fraction of the precise one: it is read several
    // times per request.
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

// The seconds of the system clock (UTC): localtime_r applies the time zone
// the process read at its first use, so a second names one text.
std::int64_t CurrentLocalSecond() { return static_cast<std::int64_t>(::time(nullptr)); }

void AppendLocalDateTimeText(std::wstring& out, std::int64_t localSecond) {
    const time_t second = static_cast<time_t>(localSecond);
    tm local{};
    ::localtime_r(&second, &local);
    char text[64];
    const std::size_t length = ::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    out.append(text, text + length);
}

}  // namespace plat
