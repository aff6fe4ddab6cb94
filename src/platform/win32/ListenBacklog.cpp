// Windows listen backlog: SOMAXCONN lets Winsock choose its maximum.
#include <winsock2.h>

#include "platform/ListenBacklog.h"

namespace plat {

int MaxListenBacklog() { return SOMAXCONN; }

}  // namespace plat
