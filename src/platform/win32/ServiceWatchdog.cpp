// Windows: the service manager keeps no watchdog, so the program watches itself and ends its own process.
#include <windows.h>

#include "platform/ServiceWatchdog.h"

namespace plat {

void NotifyServiceManagerWatchdog() {}

bool ServiceManagerKeepsWatchdog() { return false; }

void EndProcessAtOnce(DWORD exitCode) {
    // TerminateProcess runs no DLL detach code, which could wait for a lock that a hung thread holds.
    ::TerminateProcess(::GetCurrentProcess(), exitCode);
    // Reached only if the call failed: the ordinary way out.
    ::ExitProcess(exitCode);
}

}  // namespace plat
