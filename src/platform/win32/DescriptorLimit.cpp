// Windows: sockets and files are handles without a per-process descriptor limit to raise or watch.
#include "platform/DescriptorLimit.h"

namespace plat {

void RaiseDescriptorLimit() {}

bool IsDescriptorNearLimit(SocketHandle, unsigned) { return false; }

}  // namespace plat
