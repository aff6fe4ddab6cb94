// The longest queue of connections waiting for their accept that the system grants a listening socket.
#pragma once

namespace plat {

// The backlog to ask for when every connection of a burst should wait for
// its accept rather than have its handshake dropped. Windows: SOMAXCONN,
// which Winsock turns into its own maximum. POSIX: the kernel's limit
// (net.core.somaxconn), and at least 4,096 where that is lower or cannot
// be read (the kernel cuts the request down to its limit anyway).
int MaxListenBacklog();

}  // namespace plat
