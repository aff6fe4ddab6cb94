// "idle": opens many keep-alive connections, one GET each, then holds them open until standard input closes.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "Modes.h"
#include "Net.h"
#include "ReplyParser.h"

int RunIdle(int port, const std::string& path, int count) {
    const std::string request = net::GetRequest(path, port);
    std::vector<int> sockets;
    char buffer[65536];
    ReplyParser parser;
    for (int i = 0; i < count; ++i) {
        const int fd = net::ConnectLoopback(port, true);
        if (fd < 0) net::Fail("connect " + std::to_string(i));
        if (!net::SendAll(fd, request)) net::Fail("send");
        parser.Reset();
        while (!parser.Done()) {
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0 || parser.Feed(buffer, static_cast<std::size_t>(got)) < 0) net::Fail("reply");
        }
        sockets.push_back(fd);
    }
    std::printf("ready %zu\n", sockets.size());
    std::fflush(stdout);
    while (::read(0, buffer, sizeof buffer) > 0) {
    }
    for (int fd : sockets) ::close(fd);
    return 0;
}
