// The one size of a transfer's chunk, shared by the socket layer and the
// server's send queue.
//
// A connection holds at most one chunk of a reply in memory, the socket
// layer passes at most a chunk to the system per call, and a sender hands
// the socket a whole number of chunks of a file per turn (per write
// notification) before the other connections have theirs (the send queue
// says how many).
#pragma once

#include "platform/Types.h"

namespace plat {

constexpr UINT kTransferChunkBytes = 1u << 20;

}  // namespace plat
