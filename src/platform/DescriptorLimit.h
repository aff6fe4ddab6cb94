// The process's limit on open descriptors: raising it, and telling when a new socket comes near it.
#pragma once

#include "platform/AsyncSocket.h"

namespace plat {

// Raises the soft limit on open descriptors to the hard limit (POSIX), so a
// busy server is not held to a default meant for interactive programs.
// Nothing where no such limit applies (Windows).
void RaiseDescriptorLimit();

// Whether the socket `accepted` leaves fewer than `reserve` descriptors
// below the process's limit, so that opening files (packages, the log) may
// soon fail. POSIX hands out the lowest free number, so the newest
// socket's number tells how many are in use. Always false where sockets do
// not count against such a limit (Windows).
bool IsDescriptorNearLimit(SocketHandle accepted, unsigned reserve);

}  // namespace plat
