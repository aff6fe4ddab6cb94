// The POSIX service manager's handles (manager, service, database lock) and
// the helpers its calls share: unit file paths, reading and replacing unit
// files, daemon-reload and a unit's status through systemctl.
#pragma once

#include <filesystem>
#include <string>

#include "platform/ServiceDispatch.h"
#include "platform/Types.h"
#include "platform/posix/systemd/SystemdUnitFile.h"

namespace plat::posix {

struct ScObject {
    enum class Kind { Manager, Service, Lock };
    Kind kind = Kind::Manager;
    DWORD access = 0;                    // granted rights, generic rights already expanded
    std::filesystem::path unitFolder;    // managers and services
    std::wstring serviceName;            // services
    bool deleted = false;                // services: deleted through this handle
    int lockFd = -1;                     // locks: the unit folder, held with flock
};

// Registers a new object and returns its handle.
void* NewScHandle(ScObject object);
// The object of a live handle of that kind; null with 6 (ERROR_INVALID_HANDLE) otherwise.
ScObject* LookUpScHandle(void* handle, ScObject::Kind kind);
// Forgets the handle and returns its object (null with 6 when it is not live).
ScObject* ReleaseScHandle(void* handle, ScObject::Kind kind);

// Access rights requested with generic rights expanded.
DWORD ManagerAccessOf(DWORD desiredAccess);
DWORD ServiceAccessOf(DWORD desiredAccess);

// The unit file of a service in a unit folder.
std::filesystem::path UnitFilePath(const std::filesystem::path& unitFolder, const std::wstring& serviceName);

// Reads and parses the service's unit file. FALSE with the last error set:
// 1060 (ERROR_SERVICE_DOES_NOT_EXIST) when there is no such file.
BOOL ReadServiceDefinition(const ScObject& service, SystemdServiceDefinition* definition);

// Writes `text` as the file `path`, all or nothing: through a temporary file
// in the same folder that replaces the target (or, with `mustBeNew`, is
// linked to it and fails with 1073, ERROR_SERVICE_EXISTS, when the target
// exists). Returns 0 or the Win32 code of the failure; no temporary file is
// left behind.
DWORD WriteUnitFile(const std::filesystem::path& path, const std::string& text, bool mustBeNew);

// Runs "systemctl <arguments>"; FALSE with the last error set to the failure's Win32 code.
BOOL Systemctl(std::initializer_list<std::string> arguments);

// The status of one service's unit ("systemctl show"). FALSE with the last error set.
BOOL QueryUnitStatus(const std::wstring& serviceName, ServiceStatusRecord* status);

}  // namespace plat::posix
