// The systemd notify messages of a service: status reports and the watchdog's period.
#pragma once

#include <cstdint>
#include <string>

#include "platform/ServiceDispatch.h"

namespace plat {

// The systemd notify message that the POSIX dispatcher sends for a status
// report: pending states send "STATUS=" text and, with a non-zero wait hint,
// "EXTEND_TIMEOUT_USEC=" (the wait hint in microseconds); SERVICE_RUNNING
// sends "READY=1"; SERVICE_STOP_PENDING also sends "STOPPING=1". Empty for a
// state outside 1-7.
std::string ServiceStatusNotifyText(const ServiceStatusRecord& status);

// The message that tells systemd's watchdog the service is alive.
inline constexpr char kWatchdogNotifyText[] = "WATCHDOG=1";

// Milliseconds between two WATCHDOG=1 messages for systemd's watchdog, from
// the values of WATCHDOG_USEC and WATCHDOG_PID: a quarter of the period (at
// least 1 ms) when the period is a positive decimal number of microseconds
// and the pid is unset or `ownPid`; 0, no watchdog to tell, otherwise.
std::uint64_t WatchdogPingIntervalMilliseconds(const char* watchdogUsec, const char* watchdogPid, long ownPid);

}  // namespace plat
