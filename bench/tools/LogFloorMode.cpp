// "logfloor": what request log lines cost when each is its own open, seek to the end, write and close.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "Modes.h"
#include "Net.h"

namespace {

double CpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

int RunLogFloor(const std::string& file, int requests, int linesPerRequest, int lineBytes, bool seek) {
    const std::string line = std::string(static_cast<std::size_t>(std::max(lineBytes, 2) - 2), 'x') + "\r\n";
    const double cpuBefore = CpuSeconds();
    const double start = net::Now();
    for (int r = 0; r < requests; ++r) {
        for (int l = 0; l < linesPerRequest; ++l) {
            const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            if (fd < 0) net::Fail("open " + file);
            if (seek) ::lseek(fd, 0, SEEK_END);  // needless after O_APPEND, but it is a system call
            if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) net::Fail("write");
            ::close(fd);
        }
    }
    const double wall = net::Now() - start;
    const double cpu = CpuSeconds() - cpuBefore;
    ::unlink(file.c_str());
    // microseconds per request: wall clock, CPU (user + system)
    std::printf("%.3f %.3f\n", wall * 1e6 / requests, cpu * 1e6 / requests);
    return 0;
}
