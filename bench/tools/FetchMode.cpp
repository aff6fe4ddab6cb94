// "fetch": one connection per path, all at once, each reading its whole reply; total bytes and seconds.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Modes.h"
#include "Net.h"
#include "Receiver.h"

int RunFetch(int port, const std::vector<std::string>& paths) {
    std::vector<ReceiveStream> streams(paths.size());
    const double start = net::Now();
    for (std::size_t i = 0; i < paths.size(); ++i) {
        streams[i].fd = net::ConnectLoopback(port, true);
        if (streams[i].fd < 0) net::Fail("connect");
        if (!net::SendAll(streams[i].fd, net::GetRequest(paths[i], port))) net::Fail("send");
    }
    const std::uint64_t bytes = ReceiveAll(streams);
    const double seconds = net::Now() - start;
    for (ReceiveStream& s : streams) ::close(s.fd);
    std::printf("%llu %.6f\n", static_cast<unsigned long long>(bytes), seconds);
    return 0;
}
