// Small socket and clock helpers shared by the load client's modes.
#pragma once

#include <cstdint>
#include <string>

namespace net {

// Seconds of the monotonic clock.
double Now();

// A TCP socket to 127.0.0.1:`port`; `blocking` false starts a non-blocking
// connect (which may still be in progress). -1 on failure, errno set.
int ConnectLoopback(int port, bool blocking);

// Sends all of `text` on a blocking socket; false on failure.
bool SendAll(int fd, const std::string& text);

// "GET `path` HTTP/1.1" with a Host field: the request every mode sends.
std::string GetRequest(const std::string& path, int port);

void SetNonBlocking(int fd);

// Prints `message` with errno's text and exits with status 2.
[[noreturn]] void Fail(const std::string& message);

}  // namespace net
