// Running systemctl, and where the POSIX service manager finds systemd's
// folders. Each can be moved by an environment variable (tests point them at
// a test double of systemctl and at folders of their own):
//   VELMORA_SYSTEMCTL            the systemctl program (default "systemctl", found on PATH)
//   VELMORA_SYSTEMD_UNIT_DIR     the folder of unit files (default /etc/systemd/system)
//   VELMORA_SYSTEMD_RUNTIME_DIR  exists while systemd runs (default /run/systemd/system)
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "platform/Types.h"

namespace plat::posix {

std::string SystemctlProgram();
std::filesystem::path SystemdUnitFolder();
std::filesystem::path SystemdRuntimeFolder();

// True when systemd runs as the system's service manager (its runtime folder exists).
bool SystemdIsRunning();

struct SystemctlRun {
    // 0 when systemctl ran to its end; otherwise the Win32 code of why it did
    // not (it could not be started, or it did not end within the time limit:
    // 1053, ERROR_SERVICE_REQUEST_TIMEOUT).
    DWORD runError = 0;
    int exitStatus = -1;  // the exit status, or -1 when it did not exit normally
    std::string output;
    std::string errorOutput;
};

// Runs systemctl with `arguments`, standard input from /dev/null, and
// collects both outputs. A run that takes longer than the time limit is
// killed.
SystemctlRun RunSystemctl(const std::vector<std::string>& arguments);

// The Win32 code of a run: 0 when systemctl succeeded (exit status 0).
DWORD Win32ErrorOfRun(const SystemctlRun& run);

}  // namespace plat::posix
