// Resolving a host and port into a socket address (platform-independent: both backends use it).
#include "platform/portable/SocketAddress.h"

#include <cstring>

namespace plat::sockets {

bool SocketAddress::IsLoopback() const {
    if (Family() == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&storage);
        return (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
    }
    if (Family() != AF_INET6) return false;
    const unsigned char* bytes = reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_addr.s6_addr;
    static const unsigned char kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    static const unsigned char kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return std::memcmp(bytes, kLoopback6, 16) == 0 || (std::memcmp(bytes, kMappedPrefix, 12) == 0 && bytes[12] == 127);
}

namespace {

// Winsock codes (the backends' own headers do not agree on their names).
constexpr int kInvalidArgument = 10022;      // WSAEINVAL
constexpr int kFamilyNotSupported = 10047;   // WSAEAFNOSUPPORT
constexpr int kHostNotFound = 11001;         // WSAHOST_NOT_FOUND

void SetIPv4(SocketAddress& out, const in_addr& address, std::uint16_t networkPort) {
    out = SocketAddress{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&out.storage);
    v4->sin_family = AF_INET;
    v4->sin_port = networkPort;
    v4->sin_addr = address;
    out.length = sizeof(sockaddr_in);
}

void SetIPv6(SocketAddress& out, const in6_addr& address, std::uint16_t networkPort) {
    out = SocketAddress{};
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&out.storage);
    v6->sin6_family = AF_INET6;
    v6->sin6_port = networkPort;
    v6->sin6_addr = address;
    out.length = sizeof(sockaddr_in6);
}

// An IPv4 address as a socket of `family` takes it: an IPv6 socket reaches
// it as ::ffff:a.b.c.d.
void SetIPv4For(int family, SocketAddress& out, const in_addr& address, std::uint16_t networkPort) {
    if (family != AF_INET6) return SetIPv4(out, address, networkPort);
    in6_addr mapped{};
    mapped.s6_addr[10] = 0xFF;
    mapped.s6_addr[11] = 0xFF;
    std::memcpy(&mapped.s6_addr[12], &address, sizeof address);
    SetIPv6(out, mapped, networkPort);
}

}  // namespace

int ResolveAddress(const wchar_t* host, unsigned port, int family, SocketAddress& out) {
    if (port > 65535) return kInvalidArgument;
    const std::uint16_t networkPort = htons(static_cast<std::uint16_t>(port));
    if (host == nullptr) {
        in_addr any4{};
        any4.s_addr = htonl(INADDR_ANY);
        if (family == AF_INET) SetIPv4(out, any4, networkPort);
        else SetIPv6(out, in6_addr{}, networkPort);
        return 0;
    }
    in6_addr v6{};
    in_addr v4{};
    if (ParseAddressLiteral(AF_INET6, host, &v6)) {
        if (family == AF_INET) return kFamilyNotSupported;
        SetIPv6(out, v6, networkPort);
        return 0;
    }
    if (ParseAddressLiteral(AF_INET, host, &v4)) {
        SetIPv4For(family, out, v4, networkPort);
        return 0;
    }
    bool found = false;
    const int error = LookUpHostName(host, family == AF_INET, [&](const sockaddr& entry) {
        if (entry.sa_family == AF_INET) {
            SetIPv4For(family, out, reinterpret_cast<const sockaddr_in&>(entry).sin_addr, networkPort);
            found = true;
        } else if (entry.sa_family == AF_INET6 && family != AF_INET) {
            SetIPv6(out, reinterpret_cast<const sockaddr_in6&>(entry).sin6_addr, networkPort);
            found = true;
        }
        return found;
    });
    if (error != 0) return error;
    return found ? 0 : kHostNotFound;
}

}  // namespace plat::sockets
