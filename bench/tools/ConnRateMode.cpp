// "connrate": a new connection for every request (connect, GET, read by Content-Length, close), many at once.
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Modes.h"
#include "Net.h"
#include "ReplyParser.h"

namespace {

struct Slot {
    int fd = -1;
    bool connecting = false;
    double started = 0;
    ReplyParser parser;
};

}  // namespace

int RunConnRate(int port, const std::string& path, int concurrency, double seconds) {
    const std::string request = net::GetRequest(path, port);
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    std::vector<Slot> slots(static_cast<std::size_t>(concurrency));
    std::vector<double> latencies;
    latencies.reserve(1 << 20);
    unsigned long long errors = 0;

    auto begin = [&](std::size_t i) {
        Slot& s = slots[i];
        for (;;) {
            s.fd = net::ConnectLoopback(port, false);
            if (s.fd >= 0) break;
            ++errors;  // out of local ports or refused: try again
        }
        s.connecting = true;
        s.started = net::Now();
        s.parser.Reset();
        epoll_event ev{};
        ev.events = EPOLLOUT;
        ev.data.u64 = i;
        ::epoll_ctl(ep, EPOLL_CTL_ADD, s.fd, &ev);
    };
    auto restart = [&](std::size_t i) {
        ::close(slots[i].fd);  // also leaves the epoll set
        begin(i);
    };

    const double start = net::Now();
    const double end = start + seconds;
    for (std::size_t i = 0; i < slots.size(); ++i) begin(i);
    auto buffer = std::make_unique<char[]>(65536);
    epoll_event events[256];
    double now = start;
    while (now < end) {
        const int n = ::epoll_wait(ep, events, 256, 100);
        now = net::Now();
        for (int e = 0; e < n; ++e) {
            const std::size_t i = events[e].data.u64;
            Slot& s = slots[i];
            if (s.connecting) {
                int error = 0;
                socklen_t length = sizeof error;
                ::getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &error, &length);
                if (error != 0 || ::send(s.fd, request.data(), request.size(), MSG_NOSIGNAL) !=
                                      static_cast<ssize_t>(request.size())) {
                    ++errors;
                    restart(i);
                    continue;
                }
                s.connecting = false;
                epoll_event ev{};
                ev.events = EPOLLIN;
                ev.data.u64 = i;
                ::epoll_ctl(ep, EPOLL_CTL_MOD, s.fd, &ev);
                continue;
            }
            const ssize_t got = ::recv(s.fd, buffer.get(), 65536, 0);
            if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            if (got <= 0 || s.parser.Feed(buffer.get(), static_cast<std::size_t>(got)) < 0) {
                ++errors;
                restart(i);
                continue;
            }
            if (s.parser.Done()) {
                if (s.parser.Status() != 200) ++errors;
                else if (now <= end) latencies.push_back(now - s.started);
                restart(i);
            }
        }
    }
    const double elapsed = now - start;
    for (Slot& s : slots) ::close(s.fd);
    ::close(ep);

    std::sort(latencies.begin(), latencies.end());
    const std::size_t slow = static_cast<std::size_t>(
        latencies.end() - std::lower_bound(latencies.begin(), latencies.end(), 0.9));
    const double p99 = latencies.empty() ? 0 : latencies[latencies.size() * 99 / 100];
    const double worst = latencies.empty() ? 0 : latencies.back();
    // requests, seconds, errors, replies that took a SYN retry (0.9 s or more), p99 ms, worst ms
    std::printf("%zu %.6f %llu %zu %.3f %.3f\n", latencies.size(), elapsed, errors, slow, p99 * 1000, worst * 1000);
    return 0;
}
