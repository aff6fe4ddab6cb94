// Windows: sockets and files are handles without a per-process descriptor limit to raise or watch.
#include "platform/DescriptorLimit.h"

namespace plat {

void RaiseDescriptorLimit() {}

unsigned DescriptorLimit() { return 0; }

}  // namespace plat
