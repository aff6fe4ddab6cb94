// The systemd notify message of a service status report.
#pragma once

#include <string>

#include "platform/ServiceDispatch.h"

namespace plat {

// The systemd notify message that the POSIX dispatcher sends for a status
// report: pending states send "STATUS=" text and, with a non-zero wait hint,
// "EXTEND_TIMEOUT_USEC=" (the wait hint in microseconds); SERVICE_RUNNING
// sends "READY=1"; SERVICE_STOP_PENDING also sends "STOPPING=1". Empty for a
// state outside 1-7.
std::string ServiceStatusNotifyText(const ServiceStatusRecord& status);

}  // namespace plat
