// The load client's modes; each prints one line of figures on standard output.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

int RunFetch(int port, const std::vector<std::string>& paths);
int RunLoopback(const std::string& file, int streams, std::uint64_t bytesEach);
int RunConnRate(int port, const std::string& path, int concurrency, double seconds);
int RunLatency(int port, int samples, double maxSeconds, const std::vector<std::string>& paths);
int RunIdle(int port, const std::string& path, int count);
int RunMany(int port, const std::string& path, int connections, double seconds, int serverPid);
int RunSlow(int port, const std::string& path, int count, int bytesPerSecond, int receiveBuffer);
int RunStorm(int port, const std::string& path, int clientsPerWave, int waves);
int RunLogFloor(const std::string& file, int requests, int linesPerRequest, int lineBytes, bool seek);
