// The one-line event text and syslog severity of the POSIX event log.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Types.h"

namespace plat {

// The one-line text of an event as the POSIX event log writes it: the
// message-table text with the insertions filled in, each line break as one
// space, other control characters as spaces, trailing white space removed.
// An id without a message-table text gives "Event 0x%08X" and the insertions,
// each after ": " or ", ".
std::wstring EventLogLine(DWORD eventId, const std::vector<std::wstring>& insertions);

// The syslog severity (RFC 5424 numbering, as LOG_ERR etc.) of an event type.
int SyslogSeverityOfEventType(std::uint16_t type);

}  // namespace plat
