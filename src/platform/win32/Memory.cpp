// Windows memory return: large blocks go back to the system when freed; the heap is compacted.
#include <windows.h>

#include "platform/Memory.h"

namespace plat {

void ReturnFreeMemory() { ::HeapCompact(::GetProcessHeap(), 0); }

}  // namespace plat
