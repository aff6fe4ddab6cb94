// systemctl's reports in the service control manager's terms (platform-independent).
#include "platform/SystemdStates.h"

#include <cstdlib>

#include "platform/ServiceCodes.h"

namespace plat {
namespace {

constexpr DWORD kErrorAccessDenied = 5;
constexpr DWORD kErrorServiceDoesNotExist = 1060;
constexpr DWORD kErrorFunctionFailed = 1627;
// systemctl's exit statuses (the LSB ones).
constexpr int kExitNoPermission = 4;
constexpr int kExitNotInstalled = 5;

bool Contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

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

bool ServiceStatusOfUnit(const SystemdProperties& unit, ServiceStatusRecord* status) {
    const auto state = unit.find("ActiveState");
    if (state == unit.end()) return false;
    ServiceStatusRecord record{SERVICE_WIN32_OWN_PROCESS, 0, 0, 0, 0, 0, 0};
    const std::string& active = state->second;
    if (active == "active" || active == "reloading" || active == "refreshing") {
        record.currentState = SERVICE_RUNNING;
        record.controlsAccepted = SERVICE_ACCEPT_STOP;
    } else if (active == "activating") {
        record.currentState = SERVICE_START_PENDING;
    } else if (active == "deactivating") {
        record.currentState = SERVICE_STOP_PENDING;
    } else if (active == "inactive") {
        record.currentState = SERVICE_STOPPED;
    } else if (active == "failed") {
        record.currentState = SERVICE_STOPPED;
        record.win32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
        const auto exit = unit.find("ExecMainStatus");
        if (exit != unit.end()) record.serviceSpecificExitCode = static_cast<DWORD>(std::strtoul(exit->second.c_str(), nullptr, 10));
    } else {
        return false;
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
        return kErrorAccessDenied;
    if (exitStatus == kExitNotInstalled || Contains(errorOutput, "not found") ||
        Contains(errorOutput, "does not exist"))
        return kErrorServiceDoesNotExist;
    return kErrorFunctionFailed;
}

}  // namespace plat
