// Drains many connections at once on one thread: HTTP replies or raw byte counts.
#include "Receiver.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "Net.h"

namespace {
constexpr std::size_t kReceiveBuffer = 1 << 20;
}

std::uint64_t ReceiveAll(std::vector<ReceiveStream>& streams) {
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    if (ep < 0) net::Fail("epoll_create1");
    for (std::size_t i = 0; i < streams.size(); ++i) {
        net::SetNonBlocking(streams[i].fd);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = i;
        if (::epoll_ctl(ep, EPOLL_CTL_ADD, streams[i].fd, &ev) != 0) net::Fail("epoll_ctl");
    }
    auto buffer = std::make_unique<char[]>(kReceiveBuffer);
    std::size_t open = streams.size();
    std::uint64_t total = 0;
    epoll_event events[64];
    while (open > 0) {
        const int n = ::epoll_wait(ep, events, 64, 10000);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) net::Fail("no data for 10 seconds");
        for (int e = 0; e < n; ++e) {
            ReceiveStream& s = streams[events[e].data.u64];
            if (s.done) continue;
            const ssize_t got = ::recv(s.fd, buffer.get(), kReceiveBuffer, 0);
            if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            if (got <= 0) net::Fail("connection ended early");
            if (s.http) {
                const std::uint64_t before = s.parser.BodyBytes();
                if (s.parser.Feed(buffer.get(), static_cast<std::size_t>(got)) < 0) net::Fail("malformed reply");
                s.received += s.parser.BodyBytes() - before;
                total += s.parser.BodyBytes() - before;
                if (s.parser.Done()) {
                    if (s.parser.Status() != 200) {
                        errno = 0;
                        net::Fail("reply status " + std::to_string(s.parser.Status()));
                    }
                    s.done = true;
                }
            } else {
                s.received += static_cast<std::uint64_t>(got);
                total += static_cast<std::uint64_t>(got);
                if (s.received >= s.rawBytes) s.done = true;
            }
            if (s.done) {
                ::epoll_ctl(ep, EPOLL_CTL_DEL, s.fd, nullptr);
                --open;
            }
        }
    }
    ::close(ep);
    return total;
}
