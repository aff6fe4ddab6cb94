// "many": thousands of keep-alive connections, each with one request outstanding at a time, on one epoll thread.
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

struct Client {
    int fd = -1;
    double sent = 0;
    ReplyParser parser;
};

}  // namespace

int RunMany(int port, const std::string& path, int connections, double seconds, int serverPid) {
    const std::string request = net::GetRequest(path, port);
    std::vector<Client> clients(static_cast<std::size_t>(connections));
    const std::vector<int> fds = net::ConnectMany(port, connections);
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    auto send = [&](Client& c, double now) {
        c.parser.Reset();
        c.sent = now;
        // A request is far smaller than an empty socket buffer: one send takes it.
        return ::send(c.fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size());
    };
    for (std::size_t i = 0; i < clients.size(); ++i) {
        clients[i].fd = fds[i];
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = i;
        ::epoll_ctl(ep, EPOLL_CTL_ADD, fds[i], &ev);
    }

    // Every connection first gets one reply untimed, so the server has
    // accepted and served all of them; then all ask at once and keep asking.
    std::size_t live = clients.size();
    std::size_t warmed = 0;
    bool timing = false;
    unsigned long long errors = 0;
    double start = net::Now();
    double end = start + seconds;
    double serverCpu = 0;
    std::vector<double> latencies;
    latencies.reserve(1 << 20);
    auto drop = [&](Client& c) {
        ::close(c.fd);
        c.fd = -1;
        ++errors;
        --live;
    };
    for (Client& c : clients) {
        if (!send(c, start)) drop(c);
    }
    auto buffer = std::make_unique<char[]>(65536);
    epoll_event events[512];
    double now = start;
    while (live > 0 && (!timing || now < end)) {
        const int n = ::epoll_wait(ep, events, 512, 30000);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) net::Fail("no reply for 30 seconds");
        now = net::Now();
        for (int e = 0; e < n; ++e) {
            Client& c = clients[events[e].data.u64];
            if (c.fd < 0) continue;
            const ssize_t got = ::recv(c.fd, buffer.get(), 65536, 0);
            if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            // One request is outstanding, so every byte belongs to its reply.
            if (got <= 0 || c.parser.Feed(buffer.get(), static_cast<std::size_t>(got)) != got) {
                drop(c);
                continue;
            }
            if (!c.parser.Done()) continue;
            if (c.parser.Status() != 200) ++errors;
            if (timing) {
                latencies.push_back(now - c.sent);
                if (!send(c, now)) drop(c);
            } else {
                ++warmed;
            }
        }
        if (!timing && warmed >= live) {
            timing = true;
            if (serverPid > 0) serverCpu = -net::ProcessCpuSeconds(serverPid);
            start = now;
            end = start + seconds;
            for (Client& c : clients) {
                if (c.fd >= 0 && !send(c, now)) drop(c);
            }
        }
    }
    if (serverPid > 0) serverCpu += net::ProcessCpuSeconds(serverPid);
    for (Client& c : clients) {
        if (c.fd >= 0) ::close(c.fd);
    }
    ::close(ep);
    std::sort(latencies.begin(), latencies.end());
    // requests, seconds, errors (connections lost or replies not 200), p50 ms, p99 ms,
    // the server's CPU seconds in the timed run (0 without its process id)
    std::printf("%zu %.6f %llu %.3f %.3f %.2f\n", latencies.size(), now - start, errors,
                net::PercentileMs(latencies, 0.5), net::PercentileMs(latencies, 0.99), serverCpu);
    return 0;
}
