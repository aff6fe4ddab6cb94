// "slow": many downloads at once, each through a small receive buffer and read at a modest rate, until stdin closes.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Modes.h"
#include "Net.h"
#include "ReplyParser.h"

namespace {

constexpr int kTickMs = 50;

struct Download {
    int fd = -1;
    ReplyParser parser;
    bool active = false;  // its reply has begun: the head and some of the body arrived
};

}  // namespace

int RunSlow(int port, const std::string& path, int count, int bytesPerSecond, int receiveBuffer) {
    const std::string request = net::GetRequest(path, port);
    std::vector<Download> downloads(static_cast<std::size_t>(count));
    const std::vector<int> fds = net::ConnectMany(port, count, receiveBuffer);
    for (std::size_t i = 0; i < downloads.size(); ++i) {
        downloads[i].fd = fds[i];
        if (::send(fds[i], request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
            net::Fail("send");
    }
    const std::size_t quota = static_cast<std::size_t>(bytesPerSecond) * kTickMs / 1000 + 1;
    auto buffer = std::make_unique<char[]>(quota);
    int active = 0, completed = 0, errors = 0;
    bool announced = false;
    const double deadline = net::Now() + 60;
    pollfd input{0, POLLIN, 0};
    for (;;) {
        // Each tick every download takes at most its share of the rate.
        for (Download& d : downloads) {
            if (d.fd < 0) continue;
            const ssize_t got = ::recv(d.fd, buffer.get(), quota, 0);
            if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            if (got <= 0 || d.parser.Feed(buffer.get(), static_cast<std::size_t>(got)) < 0 ||
                (d.parser.Done() && d.parser.Status() != 200)) {
                ++errors;
            } else if (d.parser.Done()) {
                ++completed;  // too fast to count as in progress
            } else {
                if (!d.active && d.parser.BodyBytes() > 0) {
                    d.active = true;
                    ++active;
                }
                continue;
            }
            if (d.active) --active;
            ::close(d.fd);
            d.fd = -1;
        }
        if (!announced && active == count) {
            std::printf("ready %d\n", active);
            std::fflush(stdout);
            announced = true;
        }
        if (!announced && (completed + errors > 0 || net::Now() > deadline)) {
            errno = 0;
            net::Fail("downloads not all under way: " + std::to_string(active) + " are, " + std::to_string(completed) +
                      " ended, " + std::to_string(errors) + " failed");
        }
        const int ready = ::poll(&input, 1, kTickMs);
        if (ready > 0 && ::read(0, buffer.get(), quota) <= 0) break;
    }
    for (Download& d : downloads) {
        if (d.fd >= 0) ::close(d.fd);
    }
    // downloads still under way when standard input closed, downloads that ended, failures
    std::printf("%d %d %d\n", active, completed, errors);
    return 0;
}
