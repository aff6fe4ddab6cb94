// Windows: no service manager hands a listening socket to a service.
#include "platform/ActivatedSocket.h"

namespace plat {

void TakeActivatedListenSocket() {}

SocketHandle ActivatedListenSocket() { return kInvalidSocket; }

}  // namespace plat
