// POSIX service dispatch: systemd's notify protocol, with SIGTERM as the stop control.
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
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "common/Utf8.h"
#include "platform/Handles.h"
#include "platform/ServiceCodes.h"
#include "platform/Win32Codes.h"
#include "platform/posix/PosixObjects.h"
#include "platform/posix/systemd/ServiceNotifyText.h"

namespace plat {
namespace {

constexpr DWORD kErrorInvalidData = 13;
constexpr DWORD kErrorModNotFound = 126;

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

}  // namespace

BOOL StartServiceDispatcher(const ServiceTableEntry* table) {
    if (table == nullptr || table[0].serviceName == nullptr || table[0].serviceProc == nullptr ||
        table[1].serviceName != nullptr || table[1].serviceProc != nullptr) {
        SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    sockaddr_un address;
    socklen_t addressLength = 0;
    if (!NotifyAddress(std::getenv("NOTIFY_SOCKET"), &address, &addressLength)) {
        SetLastErrorCode(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return FALSE;
    }

    Dispatch dispatch;
    int signalPipe[2] = {-1, -1};
    auto closeAll = [&] {
        CloseIfOpen(dispatch.notifySocket);
        CloseIfOpen(dispatch.wakeFd);
        CloseIfOpen(signalPipe[0]);
        CloseIfOpen(signalPipe[1]);
    };
    dispatch.notifySocket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (dispatch.notifySocket < 0) {
        SetLastErrorCode(posix::Win32FromErrno(errno));
        return FALSE;
    }
    // A notify socket that nobody listens on means no service manager to talk to.
    if (::connect(dispatch.notifySocket, reinterpret_cast<const sockaddr*>(&address), addressLength) != 0) {
        closeAll();
        SetLastErrorCode(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return FALSE;
    }
    dispatch.wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (dispatch.wakeFd < 0 || ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        const DWORD error = posix::Win32FromErrno(errno);
        closeAll();
        SetLastErrorCode(error);
        return FALSE;
    }
    {
        std::lock_guard lock(g_mutex);
        if (g_dispatch != nullptr) {
            closeAll();
            SetLastErrorCode(ERROR_SERVICE_ALREADY_RUNNING);
            return FALSE;
        }
        g_dispatch = &dispatch;
    }

    // SIGTERM (systemd's stop) and SIGINT (Ctrl+C on a service run by hand)
    // are stop controls; SIGHUP, which asks a daemon to reload, is ignored:
    // there is nothing to reload, and it must not end the service.
    g_signalWriteFd.store(signalPipe[1]);
    struct sigaction action {}, ignore {}, previousTerm {}, previousInt {}, previousHup {};
    action.sa_handler = &OnTerminateSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGTERM, &action, &previousTerm);
    ::sigaction(SIGINT, &action, &previousInt);
    ::sigaction(SIGHUP, &ignore, &previousHup);

    // The service body gets the service name as its only argument, as from the SCM.
    std::wstring name(table[0].serviceName);
    std::vector<wchar_t> nameBuffer(name.begin(), name.end());
    nameBuffer.push_back(L'\0');
    wchar_t* argv[] = {nameBuffer.data(), nullptr};
    const ServiceMainFunction serviceMain = table[0].serviceProc;

    std::thread serviceThread;
    DWORD startError = NO_ERROR;
    try {
        serviceThread = std::thread([&dispatch, serviceMain, &argv] {
            serviceMain(1, argv);
            std::lock_guard lock(g_mutex);
            dispatch.serviceEnded = true;
            Wake(dispatch);
        });
    } catch (const std::system_error&) {
        startError = ERROR_NOT_ENOUGH_MEMORY;
    }

    bool stopRequested = false;
    for (bool ended = startError != NO_ERROR; !ended;) {
        pollfd fds[2] = {{signalPipe[0], POLLIN, 0}, {dispatch.wakeFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;  // cannot happen with valid descriptors; the join below waits for the service
        }
        if (fds[0].revents & POLLIN) {
            Drain(signalPipe[0]);
            stopRequested = true;
        }
        if (fds[1].revents & POLLIN) Drain(dispatch.wakeFd);

        ServiceControlHandler handler = nullptr;
        ServiceControlHandlerEx handlerEx = nullptr;
        void* context = nullptr;
        {
            std::lock_guard lock(g_mutex);
            ended = dispatch.serviceEnded;
            // A stop that the service cannot take yet (still starting, or not
            // accepting stops) waits for a status that accepts it.
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
    }
    if (serviceThread.joinable()) serviceThread.join();

    ::sigaction(SIGTERM, &previousTerm, nullptr);
    ::sigaction(SIGINT, &previousInt, nullptr);
    ::sigaction(SIGHUP, &previousHup, nullptr);
    g_signalWriteFd.store(-1);
    DWORD exitCode = NO_ERROR;
    {
        std::lock_guard lock(g_mutex);
        g_dispatch = nullptr;
        if (dispatch.haveStatus && dispatch.lastStatus.currentState == SERVICE_STOPPED)
            exitCode = dispatch.lastStatus.win32ExitCode;
    }
    closeAll();
    if (startError != NO_ERROR) {
        SetLastErrorCode(startError);
        return FALSE;
    }
    if (exitCode != NO_ERROR) {
        SetLastErrorCode(exitCode);
        return FALSE;
    }
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
        SetLastErrorCode(kErrorInvalidData);
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
    ssize_t sent;
    do {
        sent = ::send(dispatch.notifySocket, text.data(), text.size(), MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) {
        SetLastErrorCode(posix::Win32FromErrno(errno));
        return FALSE;
    }
    return TRUE;
}

namespace {
int g_advapiToken;  // what SystemModuleHandle hands out for the service functions' module
}

void* SystemModuleHandle(const wchar_t* moduleName) {
    if (moduleName != nullptr && AsciiEqualsNoCase(moduleName, L"ADVAPI32.DLL")) return &g_advapiToken;
    SetLastErrorCode(kErrorModNotFound);
    return nullptr;
}

RegisterServiceControlHandlerExFunction FindRegisterServiceControlHandlerEx(void* module) {
    return module == &g_advapiToken ? &RegisterServiceControlHandlerExtended : nullptr;
}

}  // namespace plat
