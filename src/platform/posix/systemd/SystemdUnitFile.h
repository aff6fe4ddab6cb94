// The systemd unit file of an installed service: its text, written from a
// service's registration, and the registration read back from it
// (platform-independent; used by the POSIX service manager).
//
// A unit written here runs the registered command line as a Type=notify
// service after the network and remote file systems and with the listening
// socket of its socket unit (SystemdSocketUnit.h), restarts it 5 s after
// it fails (unless it stopped with its own failure, exit status 42) or after
// its watchdog found it hung (WatchdogSec=, the service watchdog's period),
// files its standard output in the journal under the identifier of its event
// source (SystemdSyslogIdentifier of the display name), and runs it in a
// sandbox (SystemdSandboxSettings). The registration itself (names,
// description, command line as given, types, account, dependencies) is kept
// word for word in a section [X-VelmoraService], which systemd ignores, so
// that the service manager can report it back exactly.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/Types.h"

namespace plat {

// A service's registration with the service manager.
struct SystemdServiceDefinition {
    std::wstring serviceName;
    std::wstring displayName;
    std::wstring description;
    std::wstring commandLine;  // as registered: a Windows-style command line
    DWORD serviceType = 0x10;
    DWORD startType = 3;
    DWORD errorControl = 0;
    std::wstring loadOrderGroup;
    std::vector<std::wstring> dependencies;
    std::wstring account;
    // True when the unit was written by SystemdUnitFileText (it has the section above).
    bool ownUnit = false;
};

// The unit file's name for a service: "<service name>.service".
std::wstring SystemdUnitFileName(std::wstring_view serviceName);

// True for a service name that makes a valid unit name: 1-247 characters of
// A-Z, a-z, 0-9, ":", "_", "." and "-", not starting with "." or "-".
bool IsValidSystemdServiceName(std::wstring_view serviceName);

// True for a Linux account name (letters, digits, "_", "." and "-", not
// starting with "-", an optional final "$", at most 32 characters) or a
// numeric user id.
bool IsValidSystemdAccountName(std::wstring_view account);

// The unit file text (UTF-8) of a registration whose names, account and
// command line have been checked (ExecStart= needs an absolute program path).
// Start type 2 (automatic) adds WantedBy=multi-user.target.
std::string SystemdUnitFileText(const SystemdServiceDefinition& definition);

// Reads a unit file: the registration of a unit written by
// SystemdUnitFileText, or, for any other unit, its Description= as display
// name and its ExecStart= as command line. False when the text has no
// [Service] section.
bool ParseSystemdUnitFile(std::string_view text, std::wstring_view serviceName, SystemdServiceDefinition* definition);

}  // namespace plat
