// What a generated systemd unit confines the service to, and the name its
// journal lines carry (platform-independent; used by the unit file writer
// and by the POSIX event log).
#pragma once

#include <string>
#include <string_view>

namespace plat {

struct SystemdServiceDefinition;

// The identifier journald files a source's syslog lines under: `name`
// without white space, control characters, ":" and brackets (journald reads
// the identifier as one word ending in "[pid]:" and keeps none when it holds
// a space). "Harbrook Velmora Service" gives "HarbrookVelmoraService".
std::wstring SystemdSyslogIdentifier(std::wstring_view name);

// The [Service] lines that sandbox the service of `definition`, one per line:
// no new privileges, no capability when its socket unit listens for it
// (SystemdListenAddressOf), otherwise only CAP_NET_BIND_SERVICE (ambient as
// well when it runs under an account), the file system read-only except the log file's folder
// and the registry folder, home folders hidden (read-only when the packages
// folder, the log file's folder or the registry folder lies below one), a
// private /tmp (unless one of them lies there), no devices, kernel settings,
// other address families, namespaces, real-time, set-id files or
// writable-executable memory, and the system calls of ordinary services. The
// packages folder and the log file come from the program's options on the
// registered command line ("-packagespath:", "-logfile:", read as the
// program reads them), relative ones taken from "/", where systemd starts a
// service; links are not followed.
std::wstring SystemdSandboxSettings(const SystemdServiceDefinition& definition);

}  // namespace plat
