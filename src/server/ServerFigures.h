// Counters of what the server did since the process started, for the monitoring reply (server/FiguresText.h).
//
// Counting must cost nothing on the connection path: no lock, no system
// call. The listener thread owns the plain counters (it alone writes them,
// and the monitoring reply that reads them is rendered on it too); a counter
// that another thread writes (the log's dropped lines) is a relaxed atomic.
// One object lives as long as the application, so the figures survive a
// listener that is started again.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// What a request was answered with.
enum class ReplyFigure : unsigned char {
    Ok,                   // 200 with a package
    Head,                 // 200 to a "head" request of a package
    Partial,              // 206
    NotFound,             // 404
    RangeNotSatisfiable,  // 416
    Unavailable,          // 503
    Listing,              // a folder listing (GET or HEAD)
    Metrics,              // the monitoring reply itself
    Count
};

// Why a connection was closed.
enum class CloseCause : unsigned char {
    Client,        // the client closed it, or it broke (reset, a failed send)
    AfterReply,    // the server closed it after the reply the request asked to be the last
    IdleEviction,  // closed to make room for a new client near the descriptor limit
    HeadTimeout,   // its request head did not end in time
    Stall,         // its client took no byte of a reply for six whole minutes
    Budget,        // it held one of the largest heads when the heads budget was passed
    Error,         // the server could not go on serving it (no memory, a package read failed)
    Stop,          // the server stopped while it owed no reply
    Count
};

struct CServerFigures {
    explicit CServerFigures(std::uint64_t startMs) : nStartMs(startMs) {}
    CServerFigures(const CServerFigures&) = delete;
    CServerFigures& operator=(const CServerFigures&) = delete;

    void CountReply(ReplyFigure kind) { ++nReplies[static_cast<std::size_t>(kind)]; }
    void CountClose(CloseCause cause) { ++nClosed[static_cast<std::size_t>(cause)]; }
    std::uint64_t ClosedTotal() const {
        std::uint64_t total = 0;
        for (const std::uint64_t closed : nClosed) total += closed;
        return total;
    }
    void CountDroppedLogLines(std::uint64_t lines) { nLogLinesDropped.fetch_add(lines, std::memory_order_relaxed); }

    // ---- Listener thread only.
    std::uint64_t nReplies[static_cast<std::size_t>(ReplyFigure::Count)] = {};
    std::uint64_t nClosed[static_cast<std::size_t>(CloseCause::Count)] = {};
    std::uint64_t nAccepted = 0;
    std::uint64_t nBytesSent = 0;
    std::uint64_t nListingsBuilt = 0;   // documents built and handed to replies
    std::uint64_t nListingsShared = 0;  // replies that got a document built for an earlier request

    // ---- Any thread.
    std::atomic<std::uint64_t> nLogLinesDropped{0};  // log file lines that could not be written

    const std::uint64_t nStartMs;  // tick count at the start
};
