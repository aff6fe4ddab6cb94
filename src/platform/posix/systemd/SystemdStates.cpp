// systemctl's reports in the service control manager's terms (platform-independent).
#include "platform/posix/systemd/SystemdStates.h"

#include <cstdio>
#include <cstdlib>

#include "platform/ServiceCodes.h"
#include "platform/ServiceManagerCodes.h"
#include "platform/Win32Codes.h"

namespace plat {
namespace {

// systemctl's exit statuses (the LSB ones).
constexpr int kExitNoPermission = 4;
constexpr int kExitNotInstalled = 5;

bool Contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

std::string Property(const SystemdProperties& unit, const char* name) {
    const auto found = unit.find(name);
    return found == unit.end() ? std::string() : found->second;
}

// Exit statuses of systemd's own that mean the program never ran.
constexpr DWORD kExitGroup = 216;
constexpr DWORD kExitUser = 217;
constexpr DWORD kExitExec = 203;

}  // namespace

std::vector<SystemdProperties> ParseSystemctlShow(std::string_view output) {
    std::vector<SystemdProperties> units;
    bool inUnit = false;
    std::size_t start = 0;
    while (start < output.size()) {
        std::size_t end = output.find('\n', start);
        if (end == std::string_view::npos) end = output.size();
        std::string_view line = output.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) {
            inUnit = false;
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) continue;
        if (!inUnit) {
            units.emplace_back();
            inUnit = true;
        }
        units.back()[std::string(line.substr(0, equals))] = std::string(line.substr(equals + 1));
    }
    return units;
}

const char* const kSystemctlStatusProperties =
    "--property=Id,ActiveState,SubState,Result,ExecMainStatus,StatusText,Job";

void SystemdFailureExitCodes(const SystemdProperties& unit, DWORD* win32ExitCode, DWORD* serviceSpecificExitCode) {
    const std::string result = Property(unit, "Result");
    const DWORD status = static_cast<DWORD>(std::strtoul(Property(unit, "ExecMainStatus").c_str(), nullptr, 10));
    *serviceSpecificExitCode = 0;
    if (result == "exit-code") {
        unsigned long win32 = 0, specific = 0;
        char end = 0;
        if (std::sscanf(Property(unit, "StatusText").c_str(), "Stopped, Win32 exit code %lu, service-specific exit code %lu%c",
                        &win32, &specific, &end) == 2 &&
            win32 % 256 == status) {
            *win32ExitCode = static_cast<DWORD>(win32);
            *serviceSpecificExitCode = static_cast<DWORD>(specific);
        } else if (status == kExitExec) {
            *win32ExitCode = ERROR_FILE_NOT_FOUND;
        } else if (status == kExitGroup || status == kExitUser) {
            *win32ExitCode = ERROR_SERVICE_LOGON_FAILED;
        } else {
            *win32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
            *serviceSpecificExitCode = status;
        }
        return;
    }
    static const struct {
        const char* result;
        DWORD code;
    } kResults[] = {
        {"signal", ERROR_PROCESS_ABORTED},          {"core-dump", ERROR_PROCESS_ABORTED},
        {"protocol", ERROR_PROCESS_ABORTED},        {"timeout", ERROR_SERVICE_REQUEST_TIMEOUT},
        {"watchdog", ERROR_SERVICE_REQUEST_TIMEOUT}, {"start-limit-hit", ERROR_SERVICE_DISABLED},
        {"resources", ERROR_SERVICE_NO_THREAD},      {"oom-kill", ERROR_NOT_ENOUGH_MEMORY},
    };
    for (const auto& row : kResults) {
        if (result == row.result) {
            *win32ExitCode = row.code;
            return;
        }
    }
    *win32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
    *serviceSpecificExitCode = status;
}

bool ServiceStatusOfUnit(const SystemdProperties& unit, ServiceStatusRecord* status) {
    const auto state = unit.find("ActiveState");
    if (state == unit.end()) return false;
    ServiceStatusRecord record{SERVICE_WIN32_OWN_PROCESS, 0, 0, 0, 0, 0, 0};
    const std::string& active = state->second;
    if (active == "active" || active == "reloading" || active == "refreshing") {
        record.currentState = SERVICE_RUNNING;
        record.controlsAccepted = SERVICE_ACCEPT_STOP;
    } else if (active == "failed" || (active == "activating" && Property(unit, "SubState") == "auto-restart")) {
        record.currentState = SERVICE_STOPPED;
        SystemdFailureExitCodes(unit, &record.win32ExitCode, &record.serviceSpecificExitCode);
    } else if (active == "activating") {
        record.currentState = SERVICE_START_PENDING;
    } else if (active == "deactivating") {
        record.currentState = SERVICE_STOP_PENDING;
    } else if (active == "inactive") {
        record.currentState = SERVICE_STOPPED;
    } else {
        return false;
    }
    // "systemctl start --no-block" returns once the job is queued; until it
    // runs, the unit still shows its old state.
    const std::string job = Property(unit, "Job");
    if (record.currentState == SERVICE_STOPPED && !job.empty() && job != "0") {
        record.currentState = SERVICE_START_PENDING;
        record.win32ExitCode = 0;
        record.serviceSpecificExitCode = 0;
    }
    *status = record;
    return true;
}

DWORD Win32ErrorOfSystemctl(int exitStatus, std::string_view errorOutput) {
    if (Contains(errorOutput, "not been booted with systemd") || Contains(errorOutput, "Failed to connect to bus") ||
        Contains(errorOutput, "Failed to connect to system scope bus"))
        return ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
    if (exitStatus == kExitNoPermission || Contains(errorOutput, "Access denied") ||
        Contains(errorOutput, "authentication required") || Contains(errorOutput, "Permission denied"))
        return ERROR_ACCESS_DENIED;
    if (exitStatus == kExitNotInstalled || Contains(errorOutput, "not found") ||
        Contains(errorOutput, "does not exist"))
        return ERROR_SERVICE_DOES_NOT_EXIST;
    return ERROR_FUNCTION_FAILED;
}

}  // namespace plat
