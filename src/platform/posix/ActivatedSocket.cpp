// systemd socket activation: the listening socket at descriptor 3 (LISTEN_FDS, LISTEN_PID).
#include "platform/ActivatedSocket.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

// The first descriptor systemd hands over (SD_LISTEN_FDS_START).
constexpr int kFirstHandedDescriptor = 3;

plat::SocketHandle g_activated = plat::kInvalidSocket;

// A whole decimal number in an environment variable, or -1.
long NumberOf(const char* name) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return -1;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return (end != nullptr && *end == '\0' && value >= 0) ? value : -1;
}

}  // namespace

namespace plat {

void TakeActivatedListenSocket() {
    const long count = NumberOf("LISTEN_FDS");
    const long pid = NumberOf("LISTEN_PID");
    // Variables meant for another process (the one that started this one) are left alone.
    if (count < 0 || pid != static_cast<long>(::getpid())) return;
    ::unsetenv("LISTEN_FDS");
    ::unsetenv("LISTEN_PID");
    ::unsetenv("LISTEN_FDNAMES");
    // The program serves one socket: the first. Others, unexpected, stay closed to it.
    for (long fd = kFirstHandedDescriptor; fd < kFirstHandedDescriptor + count; ++fd) {
        const int flags = ::fcntl(static_cast<int>(fd), F_GETFD);
        if (flags < 0) continue;
        ::fcntl(static_cast<int>(fd), F_SETFD, flags | FD_CLOEXEC);
        if (fd == kFirstHandedDescriptor) g_activated = static_cast<SocketHandle>(fd);
        else ::close(static_cast<int>(fd));
    }
}

SocketHandle ActivatedListenSocket() { return g_activated; }

}  // namespace plat
