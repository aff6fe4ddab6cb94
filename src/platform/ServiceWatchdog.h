// Signs of life of a running service, for the watchdog that ends it when its
// main loop hangs so that the service manager starts it again.
//
// POSIX: systemd keeps the watchdog. The unit asks for it (WatchdogSec=),
// systemd names the period and the watched process in WATCHDOG_USEC and
// WATCHDOG_PID, and a service that sends no WATCHDOG=1 for a whole period is
// killed and, as a failure, restarted.
// Windows: the service manager keeps no watchdog; the program runs its own
// (a thread that sees the heartbeat count stand still for a period) and ends
// its process, which the service manager's failure actions restart.
#pragma once

#include <cstdint>

#include "platform/Types.h"

namespace plat {

// How long a service may give no sign of life before it counts as hung. Its
// main loop beats every few seconds; the heaviest work it does between two
// beats (a whole listing, a storm of connections) takes well under a second
// here and seconds under Wine, so 30 s is never reached by a working service,
// while a hung one is replaced within half a minute (plus the restart delay).
constexpr DWORD kServiceWatchdogPeriodMilliseconds = 30000;

// A sign of life from the service's main loop: counted (ServiceHeartbeatCount)
// and passed on to the service manager's watchdog where it keeps one.
// Callable from any thread; cheap enough for every turn of a loop.
void ServiceHeartbeat();

// The number of ServiceHeartbeat calls so far in this process.
std::uint64_t ServiceHeartbeatCount();

// Sends systemd's watchdog a WATCHDOG=1 when it watches this process (a
// running dispatcher, WATCHDOG_USEC set and WATCHDOG_PID, when set, this
// process), at most once per quarter of its period: with a beat every few
// seconds that keeps the gap between two pings under half the period. Does
// nothing otherwise, and nothing on Windows.
void NotifyServiceManagerWatchdog();

// True where the service manager itself ends a service that stops sending
// signs of life (systemd); false where the program must watch itself (Windows).
bool ServiceManagerKeepsWatchdog();

// Ends the process at once with `exitCode`, running no clean-up and waiting
// for no other thread: for a process whose hung threads may hold any lock.
[[noreturn]] void EndProcessAtOnce(DWORD exitCode);

}  // namespace plat
