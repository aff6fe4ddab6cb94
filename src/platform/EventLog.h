// The system's event log: register a source, report events, deregister.
//
// Windows: the real event log (RegisterEventSourceW, ReportEventW,
// DeregisterEventSource); the viewer renders each event from the message table
// of the source's registered message file.
// POSIX: syslog, with the source name without its spaces as identity
// (SystemdSyslogIdentifier; facility LOG_DAEMON, the process id added), error
// events at LOG_ERR, warnings at LOG_WARNING, all others at LOG_INFO, and
// one line per event: the message-table text of the event id with its
// insertion strings filled in, as the event viewer would show it.
// Only the local computer's log is reachable.
//
// Safe to include together with <windows.h>.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Types.h"

namespace plat {

typedef void* EventSourceHandle;

// Opens a registration of `sourceName` on `serverName` (null or empty: this
// computer). Null with the last error set on failure.
EventSourceHandle OpenEventSource(const wchar_t* serverName, const wchar_t* sourceName);

// Writes one event with `stringCount` insertion strings (no raw data, no user).
BOOL ReportEventToSource(EventSourceHandle source, std::uint16_t type, std::uint16_t category, DWORD eventId,
                         std::uint16_t stringCount, const wchar_t* const* strings);

BOOL CloseEventSource(EventSourceHandle source);

}  // namespace plat
