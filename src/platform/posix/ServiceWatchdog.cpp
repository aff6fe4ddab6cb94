// POSIX: systemd keeps the service's watchdog (its pings go out with the dispatcher's notify messages).
#include "platform/ServiceWatchdog.h"

#include <unistd.h>

namespace plat {

bool ServiceManagerKeepsWatchdog() { return true; }

void EndProcessAtOnce(DWORD exitCode) { ::_exit(static_cast<int>(exitCode & 0xFF)); }

}  // namespace plat
