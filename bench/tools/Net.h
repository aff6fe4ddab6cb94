// Small socket and clock helpers shared by the load client's modes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace net {

// Seconds of the monotonic clock.
double Now();

// A TCP socket to 127.0.0.1:`port`; `blocking` false starts a non-blocking
// connect (which may still be in progress). A non-zero `receiveBuffer` is set
// as SO_RCVBUF before the connect, so the window is small from the start.
// -1 on failure, errno set.
int ConnectLoopback(int port, bool blocking, int receiveBuffer = 0);

// `count` connected non-blocking sockets to 127.0.0.1:`port`. At most a few
// hundred connects are pending at once, so a server's listen queue is not
// flooded while they are set up. Exits the process when one fails.
std::vector<int> ConnectMany(int port, int count, int receiveBuffer = 0);

// Sends all of `text` on a blocking socket; false on failure.
bool SendAll(int fd, const std::string& text);

// "GET `path` HTTP/1.1" with a Host field: the request every mode sends.
std::string GetRequest(const std::string& path, int port);

void SetNonBlocking(int fd);

// Milliseconds at the fraction `q` (0.5, 0.99) of sorted seconds; 0 when empty.
double PercentileMs(const std::vector<double>& sortedSeconds, double q);

// User + system CPU seconds of process `pid` so far (all its threads); 0 when unreadable.
double ProcessCpuSeconds(int pid);

// Prints `message` with errno's text and exits with status 2.
[[noreturn]] void Fail(const std::string& message);

}  // namespace net
