// Drains many connections at once on one thread: HTTP replies or raw byte counts.
#pragma once

#include <cstdint>
#include <vector>

#include "ReplyParser.h"

struct ReceiveStream {
    int fd = -1;
    bool http = true;               // an HTTP reply; otherwise `rawBytes` raw bytes
    std::uint64_t rawBytes = 0;
    ReplyParser parser;
    std::uint64_t received = 0;     // body (or raw) bytes so far
    bool done = false;
};

// Reads every stream to its end with epoll; returns the body bytes of all
// streams together. Exits the process on a connection failure or a reply
// that is not 200.
std::uint64_t ReceiveAll(std::vector<ReceiveStream>& streams);
