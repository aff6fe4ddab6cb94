// Giving memory that the program freed back to the system.
#pragma once

namespace plat {

// Returns free memory that the allocator keeps for later use to the system,
// where the allocator allows it (glibc: malloc_trim). Costs a pass over the
// heap: call it rarely, after large blocks were freed.
void ReturnFreeMemory();

}  // namespace plat
