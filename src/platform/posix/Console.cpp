// POSIX console: the starting terminal, and signals as control events.
#include "platform/Console.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "common/Utf8.h"

namespace plat {
namespace {

void WriteAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

constexpr unsigned kCloseGraceSeconds = 10;

std::atomic<ConsoleControlHandler> g_handler{nullptr};
int g_signalPipe[2] = {-1, -1};

// Async-signal-safe: only hands the signal number to the handler thread.
void OnSignal(int signo) {
    const int saved = errno;
    const unsigned char code = static_cast<unsigned char>(signo);
    [[maybe_unused]] ssize_t n = ::write(g_signalPipe[1], &code, 1);
    errno = saved;
}

void* HandlerThread(void*) {
    for (;;) {
        unsigned char signo = 0;
        const ssize_t n = ::read(g_signalPipe[0], &signo, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return nullptr;
        DWORD event = 0;  // CTRL_C_EVENT
        if (signo == SIGTERM) event = 6;       // CTRL_SHUTDOWN_EVENT
        else if (signo == SIGHUP) event = 2;   // CTRL_CLOSE_EVENT
        const ConsoleControlHandler handler = g_handler.load();
        const BOOL handled = handler ? handler(event) : FALSE;
        // An event no handler takes ends the process at once, as Windows'
        // default handler does. Windows also ends a console process once its
        // handler has returned from a close, logoff or shutdown event: do the
        // same after a grace period for the orderly stop the handler started,
        // so that a process whose application has already given up still ends.
        if (!handled) ::_exit(128 + signo);
        if (event != 0) {
            ::sleep(kCloseGraceSeconds);
            ::_exit(128 + signo);
        }
    }
}

}  // namespace

BOOL OpenConsole() { return TRUE; }
void CloseConsole() {}

void WriteConsoleLine(std::wstring_view text) {
    std::string bytes = WideToUtf8(text);
    bytes.push_back('\n');
    WriteAll(STDOUT_FILENO, bytes);
}

std::wstring_view ConsoleLineEnd() { return L"\n"; }

void WriteStandardOutput(std::wstring_view text) { WriteAll(STDOUT_FILENO, WideToUtf8(text)); }
void WriteStandardError(std::wstring_view text) { WriteAll(STDERR_FILENO, WideToUtf8(text)); }

BOOL InstallConsoleControlHandler(ConsoleControlHandler handler) {
    g_handler.store(handler);
    if (g_signalPipe[0] >= 0) return TRUE;
    if (::pipe2(g_signalPipe, O_CLOEXEC) != 0) return FALSE;
    pthread_t thread;
    if (::pthread_create(&thread, nullptr, &HandlerThread, nullptr) != 0) return FALSE;
    ::pthread_detach(thread);
    struct sigaction action {};
    action.sa_handler = &OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signo : {SIGINT, SIGTERM, SIGHUP})
        if (::sigaction(signo, &action, nullptr) != 0) return FALSE;
    return TRUE;
}

}  // namespace plat
