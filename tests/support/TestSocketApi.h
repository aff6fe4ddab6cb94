// The few BSD-socket calls the test client needs, spelled once for Winsock and for POSIX.
//
// Test code only: this header includes the system's socket headers, so
// include it from .cpp files, never from a header other tests include.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

#include <cstdint>

namespace test_sockets {

#ifdef _WIN32
typedef SOCKET Handle;
constexpr Handle kInvalid = INVALID_SOCKET;
constexpr int kShutdownWrite = SD_SEND;
constexpr int kWouldBlock = WSAEWOULDBLOCK;
constexpr int kInProgress = WSAEWOULDBLOCK;

inline bool StartUp() {
    static const bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}
inline int LastError() { return ::WSAGetLastError(); }
inline void CloseSocket(Handle socket) { ::closesocket(socket); }
inline bool SetNonBlocking(Handle socket, bool on) {
    u_long value = on ? 1 : 0;
    return ::ioctlsocket(socket, FIONBIO, &value) == 0;
}
inline int Poll(pollfd* entries, unsigned count, int timeoutMs) { return ::WSAPoll(entries, count, timeoutMs); }
inline int Recv(Handle socket, char* buffer, int length) { return ::recv(socket, buffer, length, 0); }
inline int SendSome(Handle socket, const char* bytes, int length) { return ::send(socket, bytes, length, 0); }
#else
typedef int Handle;
constexpr Handle kInvalid = -1;
constexpr int kShutdownWrite = SHUT_WR;
constexpr int kWouldBlock = EAGAIN;
constexpr int kInProgress = EINPROGRESS;

inline bool StartUp() { return true; }
inline int LastError() { return errno; }
inline void CloseSocket(Handle socket) { ::close(socket); }
inline bool SetNonBlocking(Handle socket, bool on) {
    const int flags = ::fcntl(socket, F_GETFL);
    return flags >= 0 && ::fcntl(socket, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) == 0;
}
inline int Poll(pollfd* entries, unsigned count, int timeoutMs) { return ::poll(entries, count, timeoutMs); }
inline int Recv(Handle socket, char* buffer, int length) {
    int got;
    do {
        got = static_cast<int>(::recv(socket, buffer, static_cast<size_t>(length), 0));
    } while (got < 0 && errno == EINTR);
    return got;
}
inline int SendSome(Handle socket, const char* bytes, int length) {
    int sent;
    do {
        sent = static_cast<int>(::send(socket, bytes, static_cast<size_t>(length), MSG_NOSIGNAL));
    } while (sent < 0 && errno == EINTR);
    return sent;
}
#endif

}  // namespace test_sockets
