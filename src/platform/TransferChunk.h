// The one size of a transfer's chunk, shared by the socket layer and the
// server's send queue.
//
// A connection holds at most one chunk of a reply in memory, and a sender
// hands the socket at most one chunk of a file per turn (per write
// notification) before the other connections have theirs; the socket layer
// passes at most a chunk to the system per call. On loopback, 2 MiB per turn
// cost a little less CPU per byte than 1 MiB; one size for all three keeps
// the memory per connection and halves the turn a large download takes.
#pragma once

#include "platform/Types.h"

namespace plat {

constexpr UINT kTransferChunkBytes = 1u << 20;

}  // namespace plat
