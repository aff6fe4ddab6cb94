// Small socket and clock helpers shared by the load client's modes.
#include "Net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace net {

double Now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

int ConnectLoopback(int port, bool blocking, int receiveBuffer) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (blocking ? 0 : SOCK_NONBLOCK), 0);
    if (fd < 0) return -1;
    if (receiveBuffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    // Requests are one small segment each; never hold one back.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 && !(errno == EINPROGRESS && !blocking)) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

std::vector<int> ConnectMany(int port, int count, int receiveBuffer) {
    constexpr int kPending = 256;
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    std::vector<int> connected;
    int started = 0;
    int pending = 0;
    epoll_event events[kPending];
    while (static_cast<int>(connected.size()) < count) {
        for (; pending < kPending && started < count; ++pending, ++started) {
            const int fd = ConnectLoopback(port, false, receiveBuffer);
            if (fd < 0) Fail("connect " + std::to_string(started));
            epoll_event ev{};
            ev.events = EPOLLOUT;
            ev.data.fd = fd;
            ::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
        }
        const int n = ::epoll_wait(ep, events, kPending, 30000);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) Fail("connects pending for 30 seconds");
        for (int e = 0; e < n; ++e) {
            const int fd = events[e].data.fd;
            int error = 0;
            socklen_t length = sizeof error;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
            if (error != 0) {
                errno = error;
                Fail("connect " + std::to_string(connected.size()));
            }
            ::epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
            connected.push_back(fd);
            --pending;
        }
    }
    ::close(ep);
    return connected;
}

bool SendAll(int fd, const std::string& text) {
    std::size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

std::string GetRequest(const std::string& path, int port) {
    return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
}

void SetNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

double PercentileMs(const std::vector<double>& sortedSeconds, double q) {
    if (sortedSeconds.empty()) return 0;
    const std::size_t i = static_cast<std::size_t>(q * static_cast<double>(sortedSeconds.size()));
    return sortedSeconds[std::min(i, sortedSeconds.size() - 1)] * 1000;
}

double ProcessCpuSeconds(int pid) {
    std::FILE* stat = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (stat == nullptr) return 0;
    char text[1024] = {};
    const std::size_t length = std::fread(text, 1, sizeof text - 1, stat);
    std::fclose(stat);
    // Fields after the command name, which is in parentheses and may hold spaces:
    // state is the 3rd field, utime and stime the 14th and 15th.
    const char* rest = std::strrchr(text, ')');
    unsigned long long user = 0, system = 0;
    if (length == 0 || rest == nullptr ||
        std::sscanf(rest + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &user, &system) != 2)
        return 0;
    return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

void Fail(const std::string& message) {
    std::fprintf(stderr, "loadclient: %s: %s\n", message.c_str(), std::strerror(errno));
    std::exit(2);
}

}  // namespace net
