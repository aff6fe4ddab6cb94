// The settings of one package server: made once at start, then read by the listener and every connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/Types.h"
#include "server/FolderListing.h"

struct CServerFigures;

// What a server must bound whatever its clients do, each with the reason
// for its size. Tests may scale them down.
struct CServerLimits {
    // Bytes of request heads kept across all connections while they wait for
    // their end: a setup program's head is under 1 KB, so only a client that
    // holds heads on purpose comes near it; past it, the connections holding
    // the largest heads are closed.
    std::uint64_t nHeadBytes = std::uint64_t{64} << 20;
    // Bytes of reply texts built in memory (folder listings) across all
    // connections: a listing of a large tree is megabytes, and a client that
    // never reads would keep its copies. Past it, a listing is answered 503.
    std::uint64_t nReplyMemoryBytes = std::uint64_t{256} << 20;
    // The largest folder listing document (see server/FolderListing.h): a
    // tree whose listing would pass it is answered "not found".
    std::size_t nListingBytes = kFolderListingSizeLimit;
    // Package files that replies may hold open across all connections; 0:
    // half of the process's descriptor limit (the other half stays for the
    // connections and the process's own files; no limit where there is none).
    // Past it, a package that is not small is answered 503; small ones are
    // read whole and need no descriptor.
    std::uint64_t nPackageDescriptors = 0;
    // A request head not complete this long after its first byte (or after
    // the end of the request before it) ends its connection.
    std::uint64_t nHeadTimeoutMs = 60000;
    // At the descriptor limit, after idle keep-alive connections, those with
    // a head older than this give way to new clients, oldest first.
    std::uint64_t nHeadGiveWayMs = 10000;
    // How often the listener looks at every connection (head time-outs, the
    // stall rule for clients that stopped reading, lingering closes) and
    // tells the service's watchdog that its loop runs (a quarter of the
    // watchdog's period at most).
    DWORD nCheckIntervalMs = 1000;
    // When the server is asked to stop, the replies already queued get this
    // long to finish (a setup program's package usually takes seconds; a
    // service manager waits longer than this for a stop); what is still
    // being sent after it is cut.
    DWORD nStopFinishMs = 10000;
};

struct CServerConfig {
    // The TCP port, the address literal to listen on (empty: every
    // address), and the packages folder.
    int m_nPort = 80;
    std::wstring m_strServerAddress;
    std::wstring m_strPackagePath;
    // "-headsizes": a "head" request of a package is answered with the
    // Content-Length its GET would carry (0 otherwise).
    bool m_bHeadSizes = false;
    CServerLimits limits;
    // GET /metrics from a loopback client is answered with the figures.
    bool m_bMetrics = true;
    // Where the listener counts (server/ServerFigures.h): the application's,
    // so the figures outlive a listener; null gives each listener its own.
    std::shared_ptr<CServerFigures> m_pFigures;
};
