// POSIX service dispatch: systemd's notify protocol, with SIGTERM as the stop control and WATCHDOG=1 pings.
#include "platform/ServiceDispatch.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "common/Utf8.h"
#include "platform/Handles.h"
#include "platform/ServiceCodes.h"
#include "platform/ServiceWatchdog.h"
#include "platform/Win32Codes.h"
#include "platform/posix/PosixObjects.h"
#include "platform/posix/systemd/ServiceNotifyText.h"

namespace plat {
namespace {

// The state of the one running dispatcher; lives on its stack.
struct Dispatch {
    int notifySocket = -1;
    int wakeFd = -1;  // eventfd: a status report, a registration, or the end of the service body
    ServiceControlHandler handler = nullptr;
    ServiceControlHandlerEx handlerEx = nullptr;
    void* context = nullptr;
    bool registered = false;
    bool haveStatus = false;
    ServiceStatusRecord lastStatus{};
    bool serviceEnded = false;
    // systemd's watchdog: the least time between two pings (0: it watches
    // nothing), and the tick of the last ping sent.
    std::uint64_t watchdogPingInterval = 0;
    bool watchdogPinged = false;
    std::uint64_t lastWatchdogPing = 0;
};

// Guards g_dispatch and everything in it. Status reports are sent under it, so
// they reach systemd in the order of the calls.
std::mutex g_mutex;
Dispatch* g_dispatch = nullptr;

std::atomic<int> g_signalWriteFd{-1};
static_assert(std::atomic<int>::is_always_lock_free, "used from a signal handler");

// Async-signal-safe: only tells the dispatcher thread that a stop signal came.
void OnTerminateSignal(int) {
    const int saved = errno;
    const int fd = g_signalWriteFd.load();
    if (fd >= 0) {
        const unsigned char byte = 1;
        [[maybe_unused]] ssize_t n = ::write(fd, &byte, 1);
    }
    errno = saved;
}

void Wake(const Dispatch& dispatch) {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(dispatch.wakeFd, &one, sizeof one);
}

// Sends one notify message: 0, or the errno of the failure.
int SendNotifyMessage(const Dispatch& dispatch, const char* text, std::size_t size) {
    ssize_t sent;
    do {
        sent = ::send(dispatch.notifySocket, text, size, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent < 0 ? errno : 0;
}

void Drain(int fd) {
    unsigned char buffer[64];
    while (::read(fd, buffer, sizeof buffer) > 0) {
    }
}

// NOTIFY_SOCKET: an absolute path, or "@" and the name of an abstract socket.
bool NotifyAddress(const char* value, sockaddr_un* address, socklen_t* length) {
    if (value == nullptr) return false;
    const std::size_t size = std::strlen(value);
    if (size < 2 || size >= sizeof address->sun_path) return false;
    if (value[0] != '/' && value[0] != '@') return false;
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    std::memcpy(address->sun_path, value, size);
    if (value[0] == '@') {
        address->sun_path[0] = '\0';
        *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + size);
    } else {
        *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + size + 1);
    }
    return true;
}

bool AcceptsStop(const ServiceStatusRecord& status) {
    return (status.controlsAccepted & SERVICE_ACCEPT_STOP) != 0 &&
           (status.currentState == SERVICE_RUNNING || status.currentState == SERVICE_PAUSED);
}

void CloseIfOpen(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

BOOL FailWith(DWORD error) {
    SetLastErrorCode(error);
    return FALSE;
}

// A table of exactly one service: its entry and the terminating empty one.
bool IsOneServiceTable(const ServiceTableEntry* table) {
    return table != nullptr && table[0].serviceName != nullptr && table[0].serviceProc != nullptr &&
           table[1].serviceName == nullptr && table[1].serviceProc == nullptr;
}

// Connects the notify socket and opens the wake eventfd and the signal pipe.
// NO_ERROR, or the code to fail with; what was opened is left to the caller to close.
DWORD OpenChannels(Dispatch& dispatch, int signalPipe[2]) {
    sockaddr_un address;
    socklen_t addressLength = 0;
    if (!NotifyAddress(std::getenv("NOTIFY_SOCKET"), &address, &addressLength))
        return ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
    dispatch.notifySocket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (dispatch.notifySocket < 0) return posix::Win32FromErrno(errno);
    // A notify socket that nobody listens on means no service manager to talk to.
    if (::connect(dispatch.notifySocket, reinterpret_cast<const sockaddr*>(&address), addressLength) != 0)
        return ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
    dispatch.watchdogPingInterval = WatchdogPingIntervalMilliseconds(
        std::getenv("WATCHDOG_USEC"), std::getenv("WATCHDOG_PID"), static_cast<long>(::getpid()));
    dispatch.wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (dispatch.wakeFd < 0 || ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return posix::Win32FromErrno(errno);
    return NO_ERROR;
}

// Makes `dispatch` the process's one dispatcher; false when another one runs.
bool BecomeTheDispatcher(Dispatch& dispatch) {
    std::lock_guard lock(g_mutex);
    if (g_dispatch != nullptr) return false;
    g_dispatch = &dispatch;
    return true;
}

// Ends the dispatcher's term; returns the Win32 exit code the service stopped with.
DWORD LeaveTheDispatcher(const Dispatch& dispatch) {
    std::lock_guard lock(g_mutex);
    g_dispatch = nullptr;
    return dispatch.haveStatus && dispatch.lastStatus.currentState == SERVICE_STOPPED
               ? dispatch.lastStatus.win32ExitCode
               : NO_ERROR;
}

struct PreviousSignalActions {
    struct sigaction terminate, interrupt, hangUp;
};

// SIGTERM (systemd's stop) and SIGINT (Ctrl+C on a service run by hand)
// are stop controls, written to `writeFd`; SIGHUP, which asks a daemon to
// reload, is ignored: there is nothing to reload, and it must not end the service.
PreviousSignalActions CatchStopSignals(int writeFd) {
    g_signalWriteFd.store(writeFd);
    struct sigaction action {}, ignore {};
    action.sa_handler = &OnTerminateSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    PreviousSignalActions previous{};
    ::sigaction(SIGTERM, &action, &previous.terminate);
    ::sigaction(SIGINT, &action, &previous.interrupt);
    ::sigaction(SIGHUP, &ignore, &previous.hangUp);
    return previous;
}

void RestoreSignals(const PreviousSignalActions& previous) {
    ::sigaction(SIGTERM, &previous.terminate, nullptr);
    ::sigaction(SIGINT, &previous.interrupt, nullptr);
    ::sigaction(SIGHUP, &previous.hangUp, nullptr);
    g_signalWriteFd.store(-1);
}

// Runs the service body on a thread of its own, which marks the service ended
// when the body returns. NO_ERROR, or the code to fail with.
DWORD StartServiceThread(std::thread& thread, Dispatch& dispatch, ServiceMainFunction serviceMain, wchar_t** argv) {
    try {
        thread = std::thread([&dispatch, serviceMain, argv] {
            serviceMain(1, argv);
            std::lock_guard lock(g_mutex);
            dispatch.serviceEnded = true;
            Wake(dispatch);
        });
    } catch (const std::system_error&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    return NO_ERROR;
}

// Runs a stop control that was asked for, once the service accepts it; a stop
// that the service cannot take yet (still starting, or not accepting stops)
// waits for a status that accepts it. True once the service body has ended.
bool DeliverStopWhenAccepted(Dispatch& dispatch, bool& stopRequested) {
    ServiceControlHandler handler = nullptr;
    ServiceControlHandlerEx handlerEx = nullptr;
    void* context = nullptr;
    bool ended;
    {
        std::lock_guard lock(g_mutex);
        ended = dispatch.serviceEnded;
        if (stopRequested && !ended && dispatch.registered && dispatch.haveStatus &&
            AcceptsStop(dispatch.lastStatus)) {
            stopRequested = false;
            handler = dispatch.handler;
            handlerEx = dispatch.handlerEx;
            context = dispatch.context;
        }
    }
    // Controls run on this thread, without the lock: the handler reports status.
    if (handlerEx) handlerEx(SERVICE_CONTROL_STOP, 0, nullptr, context);
    else if (handler) handler(SERVICE_CONTROL_STOP);
    return ended;
}

// Waits for stop signals and wake-ups until the service body has ended.
void DispatchUntilServiceEnds(Dispatch& dispatch, int signalReadFd) {
    bool stopRequested = false;
    for (bool ended = false; !ended;) {
        pollfd fds[2] = {{signalReadFd, POLLIN, 0}, {dispatch.wakeFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;  // cannot happen with valid descriptors; the caller's join waits for the service
        }
        if (fds[0].revents & POLLIN) {
            Drain(signalReadFd);
            stopRequested = true;
        }
        if (fds[1].revents & POLLIN) Drain(dispatch.wakeFd);
        ended = DeliverStopWhenAccepted(dispatch, stopRequested);
    }
}

}  // namespace

BOOL StartServiceDispatcher(const ServiceTableEntry* table) {
    if (!IsOneServiceTable(table)) return FailWith(ERROR_INVALID_PARAMETER);
    Dispatch dispatch;
    int signalPipe[2] = {-1, -1};
    auto closeAll = [&] {
        CloseIfOpen(dispatch.notifySocket);
        CloseIfOpen(dispatch.wakeFd);
        CloseIfOpen(signalPipe[0]);
        CloseIfOpen(signalPipe[1]);
    };
    if (const DWORD error = OpenChannels(dispatch, signalPipe); error != NO_ERROR) {
        closeAll();
        return FailWith(error);
    }
    if (!BecomeTheDispatcher(dispatch)) {
        closeAll();
        return FailWith(ERROR_SERVICE_ALREADY_RUNNING);
    }
    const PreviousSignalActions previousSignalActions = CatchStopSignals(signalPipe[1]);

    // The service body gets the service name as its only argument, as from the SCM.
    std::wstring name(table[0].serviceName);
    std::vector<wchar_t> nameBuffer(name.begin(), name.end());
    nameBuffer.push_back(L'\0');
    wchar_t* argv[] = {nameBuffer.data(), nullptr};
    std::thread serviceThread;
    const DWORD startError = StartServiceThread(serviceThread, dispatch, table[0].serviceProc, argv);
    if (startError == NO_ERROR) DispatchUntilServiceEnds(dispatch, signalPipe[0]);
    if (serviceThread.joinable()) serviceThread.join();

    RestoreSignals(previousSignalActions);
    const DWORD exitCode = LeaveTheDispatcher(dispatch);
    closeAll();
    if (startError != NO_ERROR) return FailWith(startError);
    if (exitCode != NO_ERROR) return FailWith(exitCode);
    return TRUE;
}

namespace {

ServiceStatusHandle Register(ServiceControlHandler handler, ServiceControlHandlerEx handlerEx, void* context) {
    std::lock_guard lock(g_mutex);
    // A process of its own type runs one service: as on Windows, the name is not checked.
    if (g_dispatch == nullptr) {
        SetLastErrorCode(ERROR_SERVICE_NOT_IN_EXE);
        return nullptr;
    }
    g_dispatch->handler = handler;
    g_dispatch->handlerEx = handlerEx;
    g_dispatch->context = context;
    g_dispatch->registered = true;
    Wake(*g_dispatch);
    return g_dispatch;
}

}  // namespace

ServiceStatusHandle RegisterServiceControlHandlerPlain(const wchar_t*, ServiceControlHandler handler) {
    return Register(handler, nullptr, nullptr);
}

ServiceStatusHandle RegisterServiceControlHandlerExtended(const wchar_t*, ServiceControlHandlerEx handler,
                                                         void* context) {
    return Register(nullptr, handler, context);
}

BOOL SendServiceStatus(ServiceStatusHandle handle, const ServiceStatusRecord& status) {
    std::lock_guard lock(g_mutex);
    if (handle == nullptr || handle != g_dispatch) {
        SetLastErrorCode(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::string text = ServiceStatusNotifyText(status);
    if (text.empty()) {
        SetLastErrorCode(ERROR_INVALID_DATA);
        return FALSE;
    }
    Dispatch& dispatch = *g_dispatch;
    if (dispatch.haveStatus) {
        const ServiceStatusRecord& last = dispatch.lastStatus;
        // The same report again (the framework repeats the status after each
        // control) tells systemd nothing new.
        if (std::memcmp(&last, &status, sizeof status) == 0) return TRUE;
        // READY=1 and STOPPING=1 mark the step into a state, once.
        if (last.currentState == status.currentState) {
            for (const char* once : {"READY=1\n", "STOPPING=1\n"})
                if (text.rfind(once, 0) == 0) text.erase(0, std::strlen(once));
        }
    }
    dispatch.lastStatus = status;
    dispatch.haveStatus = true;
    Wake(dispatch);
    if (const int error = SendNotifyMessage(dispatch, text.data(), text.size()); error != 0) {
        SetLastErrorCode(posix::Win32FromErrno(error));
        return FALSE;
    }
    return TRUE;
}

void NotifyServiceManagerWatchdog() {
    std::lock_guard lock(g_mutex);
    if (g_dispatch == nullptr || g_dispatch->watchdogPingInterval == 0) return;
    Dispatch& dispatch = *g_dispatch;
    const std::uint64_t now = SystemTickCount64();
    if (dispatch.watchdogPinged && now - dispatch.lastWatchdogPing < dispatch.watchdogPingInterval) return;
    // A ping that is lost (a full socket buffer) is made up for by the next beat.
    if (SendNotifyMessage(dispatch, kWatchdogNotifyText, sizeof kWatchdogNotifyText - 1) != 0) return;
    dispatch.watchdogPinged = true;
    dispatch.lastWatchdogPing = now;
}

namespace {
int g_advapiToken;  // what SystemModuleHandle hands out for the service functions' module
}

void* SystemModuleHandle(const wchar_t* moduleName) {
    if (moduleName != nullptr && AsciiEqualsNoCase(moduleName, L"ADVAPI32.DLL")) return &g_advapiToken;
    SetLastErrorCode(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

RegisterServiceControlHandlerExFunction FindRegisterServiceControlHandlerEx(void* module) {
    return module == &g_advapiToken ? &RegisterServiceControlHandlerExtended : nullptr;
}

}  // namespace plat
