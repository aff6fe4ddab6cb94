// Socket addresses of either family, and a host and port resolved into one: shared by both socket backends.
//
// Only the system's socket headers differ between the backends; the rules
// of resolution are written once (portable/SocketAddress.cpp), on top of
// two look-ups each backend supplies (ParseAddressLiteral, LookUpHostName).
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstdint>
#include <functional>

namespace plat::sockets {

// A socket address of either family.
struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;

    int Family() const { return storage.ss_family; }
    sockaddr* Raw() { return reinterpret_cast<sockaddr*>(&storage); }
    // A loopback address: 127.0.0.0/8, ::1, or ::ffff:127.x.y.z (an IPv4
    // client of a dual-stack socket).
    bool IsLoopback() const;
};

// `host` and `port` as an address for a socket of `family` (AF_INET or
// AF_INET6; AF_UNSPEC: the family of the host's address). `host` is null
// (every local address), a literal of either family, or a host name, whose
// first address that the family can reach counts; an IPv6 socket reaches an
// IPv4 address as ::ffff:a.b.c.d. 0, or a Winsock code on failure.
int ResolveAddress(const wchar_t* host, unsigned port, int family, SocketAddress& out);

// ---- Supplied by the backend

// Reads `text` as an address literal of `family` (AF_INET: into an in_addr,
// AF_INET6: into an in6_addr); false when it is none.
bool ParseAddressLiteral(int family, const wchar_t* text, void* address);
// Looks up the host `name` (IPv4 addresses only when `ipv4Only`) and hands
// its addresses, in the order found, to `take` until it returns true. 0, or
// a Winsock code when the look-up fails.
int LookUpHostName(const wchar_t* name, bool ipv4Only, const std::function<bool(const sockaddr&)>& take);

}  // namespace plat::sockets
