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

// The status of a service from its unit's ActiveState (and ExecMainStatus):
// activating -> SERVICE_START_PENDING, active, reloading and refreshing ->
// SERVICE_RUNNING (accepting stop), deactivating -> SERVICE_STOP_PENDING,
// inactive -> SERVICE_STOPPED, failed -> SERVICE_STOPPED with Win32 exit code
// 1066 (ERROR_SERVICE_SPECIFIC_ERROR) and the main process's exit status as
// service-specific exit code. False for a missing or unknown state.
bool ServiceStatusOfUnit(const SystemdProperties& unit, ServiceStatusRecord* status);

// The Win32 code of a failed systemctl run, from its exit status and its
// error output: no permission (exit status 4, "Access denied", "authentication
// required") 5; unit missing (exit status 5, "not found", "does not exist")
// 1060; no systemd to talk to ("not been booted with systemd", "Failed to
// connect to bus") 1063; anything else 1627 (ERROR_FUNCTION_FAILED).
DWORD Win32ErrorOfSystemctl(int exitStatus, std::string_view errorOutput);

}  // namespace plat
