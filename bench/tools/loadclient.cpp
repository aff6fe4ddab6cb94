// Load client for the workloads wrk cannot express; bench/bench.py runs it.
//
//   loadclient fetch PORT PATH...                 one connection per path at once: "bytes seconds"
//   loadclient loopback FILE STREAMS BYTES        sendfile ceiling over local sockets: "bytes seconds"
//   loadclient connrate PORT PATH CONC SECONDS    connection per request: "requests seconds errors slow p99ms worstms"
//   loadclient latency PORT SAMPLES SECONDS PATHFILE
//                                                 each sample GETs every path listed in PATHFILE, SAMPLES
//                                                 times or (at least 5) until SECONDS pass: "medianms p99ms bytes"
//   loadclient idle PORT PATH COUNT               COUNT idle keep-alive connections until stdin closes
//   loadclient many PORT PATH CONNS SECONDS [PID] CONNS keep-alive clients asking in turn:
//                                                 "requests seconds errors p50ms p99ms servercpuseconds"
//   loadclient slow PORT PATH COUNT RATE RCVBUF   COUNT downloads read at RATE bytes/s each through
//                                                 RCVBUF; "ready N" once all are under way, then
//                                                 "underway ended failed" when stdin closes
//   loadclient storm PORT PATH CLIENTS WAVES      CLIENTS connect at once, one GET each, then close:
//                                                 "replies seconds failed retransmitted p50ms p99ms"
//   loadclient logfloor FILE REQUESTS LINES BYTES [noseek]
//                                                 LINES open+seek+write+close of BYTES per request
//                                                 (noseek: no seek): "wallus cpuus" per request
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "Modes.h"

namespace {

int Usage() {
    std::fprintf(stderr, "usage: loadclient fetch|loopback|connrate|latency|idle|many|slow|storm|logfloor ... "
                         "(see loadclient.cpp)\n");
    return 64;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return Usage();
    const std::string mode = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    if (mode == "fetch" && args.size() >= 2) {
        return RunFetch(std::atoi(args[0].c_str()), std::vector<std::string>(args.begin() + 1, args.end()));
    }
    if (mode == "loopback" && args.size() == 3) {
        return RunLoopback(args[0], std::atoi(args[1].c_str()), std::strtoull(args[2].c_str(), nullptr, 10));
    }
    if (mode == "connrate" && args.size() == 4) {
        return RunConnRate(std::atoi(args[0].c_str()), args[1], std::atoi(args[2].c_str()), std::atof(args[3].c_str()));
    }
    if (mode == "latency" && args.size() == 4) {
        std::vector<std::string> paths;
        std::ifstream list(args[3]);
        for (std::string line; std::getline(list, line);) {
            if (!line.empty()) paths.push_back(line);
        }
        if (paths.empty()) return Usage();
        return RunLatency(std::atoi(args[0].c_str()), std::atoi(args[1].c_str()), std::atof(args[2].c_str()), paths);
    }
    if (mode == "idle" && args.size() == 3) {
        return RunIdle(std::atoi(args[0].c_str()), args[1], std::atoi(args[2].c_str()));
    }
    auto number = [&](std::size_t i) { return std::atoi(args[i].c_str()); };
    if (mode == "many" && (args.size() == 4 || args.size() == 5))
        return RunMany(number(0), args[1], number(2), std::atof(args[3].c_str()), args.size() == 5 ? number(4) : 0);
    if (mode == "slow" && args.size() == 5) return RunSlow(number(0), args[1], number(2), number(3), number(4));
    if (mode == "storm" && args.size() == 4) return RunStorm(number(0), args[1], number(2), number(3));
    if (mode == "logfloor" && (args.size() == 4 || (args.size() == 5 && args[4] == "noseek")))
        return RunLogFloor(args[0], number(1), number(2), number(3), args.size() == 4);
    return Usage();
}
