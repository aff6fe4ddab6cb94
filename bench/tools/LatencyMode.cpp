// "latency": samples of a list of GETs on one keep-alive connection; median and 99th percentile in ms.
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

// Reads one reply on a blocking socket; returns its body bytes.
std::uint64_t ReadReply(int fd, ReplyParser& parser, char* buffer, std::size_t size) {
    parser.Reset();
    while (!parser.Done()) {
        // One reply at a time is outstanding, so nothing beyond it arrives.
        const ssize_t got = ::recv(fd, buffer, size, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) net::Fail("connection ended early");
        if (parser.Feed(buffer, static_cast<std::size_t>(got)) != got) net::Fail("malformed or extra reply bytes");
    }
    if (parser.Status() != 200) {
        errno = 0;
        net::Fail("reply status " + std::to_string(parser.Status()));
    }
    return parser.BodyBytes();
}

}  // namespace

int RunLatency(int port, int samples, double maxSeconds, const std::vector<std::string>& paths) {
    const int fd = net::ConnectLoopback(port, true);
    if (fd < 0) net::Fail("connect");
    std::vector<std::string> requests;
    for (const std::string& path : paths) requests.push_back(net::GetRequest(path, port));
    auto buffer = std::make_unique<char[]>(1 << 20);
    ReplyParser parser;
    std::vector<double> times;
    std::uint64_t bytes = 0;
    const double deadline = net::Now() + maxSeconds;
    for (int sample = -1; sample < samples; ++sample) {  // sample -1 warms caches up and is not counted
        const double start = net::Now();
        bytes = 0;
        for (const std::string& request : requests) {
            if (!net::SendAll(fd, request)) net::Fail("send");
            bytes += ReadReply(fd, parser, buffer.get(), 1 << 20);
        }
        const double now = net::Now();
        if (sample >= 0) times.push_back((now - start) * 1000);
        // A slow server gets fewer samples (at least five) rather than a long run.
        if (sample >= 4 && now > deadline) break;
    }
    ::close(fd);
    std::sort(times.begin(), times.end());
    const double median = times[times.size() / 2];
    const double p99 = times[std::min(times.size() - 1, times.size() * 99 / 100)];
    // median ms, p99 ms, body bytes of one sample
    std::printf("%.3f %.3f %llu\n", median, p99, static_cast<unsigned long long>(bytes));
    return 0;
}
