// "storm": waves of clients that all connect at once, each asking for one package and closing.
#include <netinet/in.h>
#include <netinet/tcp.h>
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

constexpr double kWaveLimit = 20;  // seconds; a client not served by then failed

struct Client {
    int fd = -1;
    bool connecting = true;
    ReplyParser parser;
};

// Whether the kernel had to send any segment of this connection again: a
// dropped SYN or handshake ACK (full listen queue) shows up here.
bool Retransmitted(int fd) {
    tcp_info info{};
    socklen_t length = sizeof info;
    return ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 && info.tcpi_total_retrans > 0;
}

}  // namespace

int RunStorm(int port, const std::string& path, int clientsPerWave, int waves) {
    const std::string request = net::GetRequest(path, port);
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    auto buffer = std::make_unique<char[]>(65536);
    std::vector<double> latencies;
    unsigned long long failed = 0, retried = 0;
    double busy = 0;
    epoll_event events[512];
    for (int wave = 0; wave < waves; ++wave) {
        std::vector<Client> clients(static_cast<std::size_t>(clientsPerWave));
        const double start = net::Now();
        std::size_t open = 0;
        for (std::size_t i = 0; i < clients.size(); ++i) {
            clients[i].fd = net::ConnectLoopback(port, false);
            if (clients[i].fd < 0) {
                ++failed;
                continue;
            }
            epoll_event ev{};
            ev.events = EPOLLOUT;
            ev.data.u64 = i;
            ::epoll_ctl(ep, EPOLL_CTL_ADD, clients[i].fd, &ev);
            ++open;
        }
        auto finish = [&](Client& c, bool served, double now) {
            if (served) {
                latencies.push_back(now - start);
                if (Retransmitted(c.fd)) ++retried;
            } else {
                ++failed;
            }
            ::close(c.fd);
            c.fd = -1;
            --open;
        };
        double now = start;
        while (open > 0 && now < start + kWaveLimit) {
            const int n = ::epoll_wait(ep, events, 512, 1000);
            now = net::Now();
            for (int e = 0; e < std::max(n, 0); ++e) {
                Client& c = clients[events[e].data.u64];
                if (c.connecting) {
                    int error = 0;
                    socklen_t length = sizeof error;
                    ::getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &error, &length);
                    if (error != 0 || ::send(c.fd, request.data(), request.size(), MSG_NOSIGNAL) !=
                                          static_cast<ssize_t>(request.size())) {
                        finish(c, false, now);
                        continue;
                    }
                    c.connecting = false;
                    epoll_event ev{};
                    ev.events = EPOLLIN;
                    ev.data.u64 = events[e].data.u64;
                    ::epoll_ctl(ep, EPOLL_CTL_MOD, c.fd, &ev);
                    continue;
                }
                const ssize_t got = ::recv(c.fd, buffer.get(), 65536, 0);
                if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
                if (got <= 0 || c.parser.Feed(buffer.get(), static_cast<std::size_t>(got)) < 0) {
                    finish(c, false, now);
                } else if (c.parser.Done()) {
                    finish(c, c.parser.Status() == 200, now);
                }
            }
        }
        for (Client& c : clients) {
            if (c.fd >= 0) finish(c, false, now);
        }
        busy += now - start;
    }
    ::close(ep);
    std::sort(latencies.begin(), latencies.end());
    // replies, seconds of all waves, failed clients, served clients whose segments were sent again,
    // p50 and p99 ms from the wave's start to the client's reply
    std::printf("%zu %.6f %llu %llu %.3f %.3f\n", latencies.size(), busy, failed, retried,
                net::PercentileMs(latencies, 0.5), net::PercentileMs(latencies, 0.99));
    return 0;
}
