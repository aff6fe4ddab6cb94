// "loopback": the reference ceiling: sendfile of a file over local TCP sockets to the same receiver the fetches use.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "Modes.h"
#include "Net.h"
#include "Receiver.h"

namespace {

// One thread sends the file on every connection, non-blocking, as a
// single-threaded server would.
void SendFileToAll(const std::vector<int>& sockets, const std::string& file, std::uint64_t bytesEach) {
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    std::vector<int> files;
    std::vector<off_t> offsets(sockets.size(), 0);
    for (std::size_t i = 0; i < sockets.size(); ++i) {
        files.push_back(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
        if (files.back() < 0) net::Fail("open " + file);
        net::SetNonBlocking(sockets[i]);
        epoll_event ev{};
        ev.events = EPOLLOUT;
        ev.data.u64 = i;
        ::epoll_ctl(ep, EPOLL_CTL_ADD, sockets[i], &ev);
    }
    std::size_t open = sockets.size();
    epoll_event events[64];
    while (open > 0) {
        const int n = ::epoll_wait(ep, events, 64, 10000);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) net::Fail("sender stuck");
        for (int e = 0; e < n; ++e) {
            const std::size_t i = events[e].data.u64;
            const std::uint64_t left = bytesEach - static_cast<std::uint64_t>(offsets[i]);
            const ssize_t sent = ::sendfile(sockets[i], files[i], &offsets[i], left);
            if (sent < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            if (sent <= 0) net::Fail("sendfile");
            if (static_cast<std::uint64_t>(offsets[i]) >= bytesEach) {
                ::epoll_ctl(ep, EPOLL_CTL_DEL, sockets[i], nullptr);
                --open;
            }
        }
    }
    for (int f : files) ::close(f);
    ::close(ep);
}

}  // namespace

int RunLoopback(const std::string& file, int streams, std::uint64_t bytesEach) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof local;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 || ::listen(listener, 128) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&local), &length) != 0)
        net::Fail("listen");
    const int port = ntohs(local.sin_port);

    std::vector<ReceiveStream> receivers(static_cast<std::size_t>(streams));
    std::vector<int> senders;
    for (ReceiveStream& r : receivers) {
        r.fd = net::ConnectLoopback(port, true);
        if (r.fd < 0) net::Fail("connect");
        r.http = false;
        r.rawBytes = bytesEach;
        const int accepted = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (accepted < 0) net::Fail("accept");
        senders.push_back(accepted);
    }
    const double start = net::Now();
    std::thread sender(SendFileToAll, std::cref(senders), std::cref(file), bytesEach);
    const std::uint64_t bytes = ReceiveAll(receivers);
    const double seconds = net::Now() - start;
    sender.join();
    for (ReceiveStream& r : receivers) ::close(r.fd);
    for (int s : senders) ::close(s);
    ::close(listener);
    std::printf("%llu %.6f\n", static_cast<unsigned long long>(bytes), seconds);
    return 0;
}
