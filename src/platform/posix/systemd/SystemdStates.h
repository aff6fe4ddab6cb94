// What systemctl reports, in the service control manager's terms
// (platform-independent; used by the POSIX service manager): the properties
// printed by "systemctl show", a unit's active state as a service status, and
// a failed systemctl run as a Win32 error code.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ServiceDispatch.h"
#include "platform/Types.h"

namespace plat {

typedef std::map<std::string, std::string> SystemdProperties;

// The "Name=value" lines of "systemctl show", one map per unit (units are
// separated by an empty line).
std::vector<SystemdProperties> ParseSystemctlShow(std::string_view output);

// The "systemctl show" argument that asks for what ServiceStatusOfUnit reads.
extern const char* const kSystemctlStatusProperties;

// The status of a service from its unit's properties: ActiveState activating
// -> SERVICE_START_PENDING, active, reloading and refreshing ->
// SERVICE_RUNNING (accepting stop), deactivating -> SERVICE_STOP_PENDING,
// inactive -> SERVICE_STOPPED. A unit whose main process failed (failed, or
// activating in SubState auto-restart, waiting to be started again) is
// SERVICE_STOPPED with the Win32 exit codes of SystemdFailureExitCodes. A
// stopped unit with a Job queued is SERVICE_START_PENDING: a start that
// systemd has not begun yet. False for a missing or unknown state.
bool ServiceStatusOfUnit(const SystemdProperties& unit, ServiceStatusRecord* status);

// The Win32 exit code and service-specific exit code of a unit whose main
// process failed, from its Result, ExecMainStatus and StatusText:
//   exit-code: the codes the program reported in its last status
//              ("Stopped, Win32 exit code W, service-specific exit code S",
//              when W modulo 256 is the exit status); otherwise exit status
//              203 (the program could not be run) -> 2, 216 and 217 (no such
//              group or user) -> 1069, any other N -> 1066 with N
//   signal, core-dump, protocol -> 1067; timeout, watchdog -> 1053;
//   start-limit-hit -> 1058; resources -> 1054; oom-kill -> 8;
//   anything else -> 1066 with the exit status.
void SystemdFailureExitCodes(const SystemdProperties& unit, DWORD* win32ExitCode, DWORD* serviceSpecificExitCode);

// The Win32 code of a failed systemctl run, from its exit status and its
// error output: no permission (exit status 4, "Access denied", "authentication
// required") 5; unit missing (exit status 5, "not found", "does not exist")
// 1060; no systemd to talk to ("not been booted with systemd", "Failed to
// connect to bus") 1063; anything else 1627 (ERROR_FUNCTION_FAILED).
DWORD Win32ErrorOfSystemctl(int exitStatus, std::string_view errorOutput);

}  // namespace plat
