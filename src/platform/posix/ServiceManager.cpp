// The service manager on POSIX: systemd through systemctl, with the Win32 calls' arguments, results and codes.
//
// A service is the unit file "<name>.service" in the unit folder. Every change
// of a unit file is followed by "systemctl daemon-reload". Create writes the
// whole unit, description included, once (all or nothing) and enables it for
// automatic start ("systemctl enable"); start and stop are "systemctl start
// --no-block" and "systemctl stop --no-block", which return at once as
// StartServiceW and ControlService do, and the caller polls the state; the
// state is the unit's ActiveState from "systemctl show"; delete disables an
// automatically started unit and removes its file. A service that listens
// on the program's port gets a socket unit beside its own
// ("<name>.socket", SystemdSocketUnit.h), which start, stop and delete act on
// together with the service. Pause, continue and the
// other controls are refused with 1052, as the SCM refuses a control the
// service does not accept.
#include "platform/ServiceManager.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <new>
#include <vector>

#include "common/Utf8.h"
#include "platform/Handles.h"
#include "platform/ListenBacklog.h"
#include "platform/ServiceCodes.h"
#include "platform/ServiceManagerCodes.h"
#include "platform/Win32Codes.h"
#include "platform/posix/PosixObjects.h"
#include "platform/posix/systemd/Systemctl.h"
#include "platform/posix/systemd/SystemdCommandLine.h"
#include "platform/posix/systemd/SystemdObjects.h"
#include "platform/posix/systemd/SystemdSocketUnit.h"
#include "platform/posix/systemd/SystemdStates.h"

namespace plat {
namespace {

using posix::ScObject;

constexpr DWORD kMaxDisplayNameLength = 256;

template <typename T>
T Fail(DWORD error, T result) {
    SetLastErrorCode(error);
    return result;
}

std::string UnitName(const std::wstring& serviceName) { return WideToUtf8(SystemdUnitFileName(serviceName)); }
std::string SocketUnitName(const std::wstring& serviceName) {
    return WideToUtf8(SystemdSocketUnitFileName(serviceName));
}
std::filesystem::path SocketUnitPath(const ScObject& object) {
    return object.unitFolder / SocketUnitName(object.serviceName);
}
// The service listens on the socket of a socket unit (one written by Create).
bool HasSocketUnit(const ScObject& service) {
    struct stat info {};
    return ::stat(SocketUnitPath(service).c_str(), &info) == 0 && S_ISREG(info.st_mode);
}
// The units a start or stop acts on: the socket unit with its service, so
// that a stopped service is not started again by its next client.
std::vector<std::string> ControlledUnits(const ScObject& service) {
    std::vector<std::string> units;
    if (HasSocketUnit(service)) units.push_back(SocketUnitName(service.serviceName));
    units.push_back(UnitName(service.serviceName));
    return units;
}

bool IsSettledStopped(const ServiceStatusRecord& status) { return status.currentState == SERVICE_STOPPED; }
bool IsPending(const ServiceStatusRecord& status) {
    return status.currentState != SERVICE_STOPPED && status.currentState != SERVICE_RUNNING &&
           status.currentState != SERVICE_PAUSED;
}

// The names of a double-NUL-terminated list.
std::vector<std::wstring> SplitList(const wchar_t* list) {
    std::vector<std::wstring> names;
    for (const wchar_t* p = list; p != nullptr && *p != L'\0'; p += std::wcslen(p) + 1) names.emplace_back(p);
    return names;
}

// Lays out records followed by their strings in a caller's buffer.
class BufferWriter {
  public:
    BufferWriter(void* buffer, std::size_t recordBytes)
        : m_strings(static_cast<wchar_t*>(static_cast<void*>(static_cast<char*>(buffer) + recordBytes))) {}
    wchar_t* Put(const std::wstring& text) {
        wchar_t* start = m_strings;
        std::copy(text.begin(), text.end(), m_strings);
        m_strings += text.size();
        *m_strings++ = L'\0';
        return start;
    }
    // A double-NUL-terminated list.
    wchar_t* PutList(const std::vector<std::wstring>& names) {
        wchar_t* start = m_strings;
        for (const std::wstring& name : names) Put(name);
        *m_strings++ = L'\0';
        return start;
    }

  private:
    wchar_t* m_strings;
};

std::size_t StringBytes(const std::wstring& text) { return (text.size() + 1) * sizeof(wchar_t); }

// One service of the unit folder, as EnumerateServiceStatus lists it.
struct ListedService {
    std::wstring name;
    std::wstring displayName;
    ServiceStatusRecord status{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0};
};

// The services of the unit folder: regular "<name>.service" files with a valid
// service name (templates and masked units are no services), sorted by name.
BOOL ListUnitFolder(const ScObject& manager, std::vector<ListedService>* services) {
    std::error_code error;
    std::vector<ListedService> found;
    for (std::filesystem::directory_iterator it(manager.unitFolder, error), end; !error && it != end;
         it.increment(error)) {
        const std::filesystem::path& path = it->path();
        if (path.extension() != ".service") continue;
        std::wstring name;
        if (!TryUtf8ToWide(path.stem().string(), name) || !IsValidSystemdServiceName(name)) continue;
        std::error_code typeError;
        if (!std::filesystem::is_regular_file(path, typeError)) continue;
        ScObject service;
        service.unitFolder = manager.unitFolder;
        service.serviceName = name;
        SystemdServiceDefinition definition;
        if (!posix::ReadServiceDefinition(service, &definition)) continue;
        found.push_back({name, definition.displayName.empty() ? name : definition.displayName, {}});
        found.back().status = {SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0};
    }
    if (error) return Fail(posix::Win32FromErrno(error.value()), FALSE);
    std::sort(found.begin(), found.end(), [](const ListedService& a, const ListedService& b) { return a.name < b.name; });
    *services = std::move(found);
    return TRUE;
}

// The states of all listed services, with one "systemctl show".
BOOL QueryListedStates(std::vector<ListedService>* services) {
    if (services->empty()) return TRUE;
    std::vector<std::string> arguments = {"show", kSystemctlStatusProperties};
    for (const ListedService& service : *services) arguments.push_back(UnitName(service.name));
    const posix::SystemctlRun run = posix::RunSystemctl(arguments);
    if (const DWORD error = posix::Win32ErrorOfRun(run); error != 0) return Fail(error, FALSE);
    std::map<std::string, ServiceStatusRecord> states;
    for (const SystemdProperties& unit : ParseSystemctlShow(run.output)) {
        ServiceStatusRecord status{};
        const auto id = unit.find("Id");
        if (id != unit.end() && ServiceStatusOfUnit(unit, &status)) states[id->second] = status;
    }
    for (ListedService& service : *services) {
        const auto state = states.find(UnitName(service.name));
        if (state != states.end()) service.status = state->second;
    }
    return TRUE;
}

}  // namespace

ScHandle OpenServiceManager(const wchar_t* machineName, const wchar_t* databaseName, DWORD desiredAccess) {
    if (machineName != nullptr && *machineName != L'\0') return Fail(ERROR_NOT_SUPPORTED, nullptr);
    if (databaseName != nullptr && *databaseName != L'\0' && std::wstring(databaseName) != L"ServicesActive")
        return Fail(ERROR_DATABASE_DOES_NOT_EXIST, nullptr);
    // Nothing is read or written while systemd is not there to act on it.
    if (!posix::SystemdIsRunning()) return Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, nullptr);

    ScObject manager;
    manager.kind = ScObject::Kind::Manager;
    manager.access = posix::ManagerAccessOf(desiredAccess);
    manager.unitFolder = posix::SystemdUnitFolder();
    struct stat info {};
    if (::stat(manager.unitFolder.c_str(), &info) != 0) {
        return Fail(errno == ENOENT ? ERROR_PATH_NOT_FOUND : posix::Win32FromErrno(errno), nullptr);
    }
    if (!S_ISDIR(info.st_mode)) return Fail(ERROR_PATH_NOT_FOUND, nullptr);
    // Installing needs the right to write unit files, as it needs administrator rights on Windows.
    if ((manager.access & (SC_MANAGER_CREATE_SERVICE | SC_MANAGER_LOCK)) != 0 &&
        ::access(manager.unitFolder.c_str(), W_OK) != 0)
        return Fail(ERROR_ACCESS_DENIED, nullptr);
    return posix::NewScHandle(std::move(manager));
}

BOOL CloseServiceManagerHandle(ScHandle handle) {
    ScObject* object = posix::ReleaseScHandle(handle, ScObject::Kind::Service);
    if (object == nullptr) object = posix::ReleaseScHandle(handle, ScObject::Kind::Manager);
    if (object == nullptr) return FALSE;
    delete object;
    return TRUE;
}

ScLock LockServiceManagerDatabase(ScHandle handle) {
    ScObject* manager = posix::LookUpScHandle(handle, ScObject::Kind::Manager);
    if (manager == nullptr) return nullptr;
    if ((manager->access & SC_MANAGER_LOCK) == 0) return Fail(ERROR_ACCESS_DENIED, nullptr);
    ScObject lock;
    lock.kind = ScObject::Kind::Lock;
    lock.lockFd = ::open(manager->unitFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (lock.lockFd < 0) return Fail(posix::Win32FromErrno(errno), nullptr);
    // flock belongs to the open folder, so a second lock fails also within one process.
    if (::flock(lock.lockFd, LOCK_EX | LOCK_NB) != 0) {
        const DWORD error = errno == EWOULDBLOCK ? ERROR_SERVICE_DATABASE_LOCKED : posix::Win32FromErrno(errno);
        ::close(lock.lockFd);
        return Fail(error, nullptr);
    }
    return posix::NewScHandle(std::move(lock));
}

BOOL UnlockServiceManagerDatabase(ScLock handle) {
    ScObject* lock = posix::ReleaseScHandle(handle, ScObject::Kind::Lock);
    if (lock == nullptr) return FALSE;
    ::close(lock->lockFd);
    delete lock;
    return TRUE;
}

// The unit file is the whole definition, written once; its Restart= is the failure action.
bool ServiceManagerTakesDescriptionAtCreation() { return true; }
bool ServiceManagerKeepsFailureActions() { return false; }

namespace {

// What CreateServiceEntry writes into the unit, from its (checked) arguments;
// false when a dependency names no possible unit.
bool ServiceDefinitionOf(const wchar_t* serviceName, const wchar_t* displayName, DWORD serviceType, DWORD startType,
                         DWORD errorControl, const wchar_t* binaryPathName, const wchar_t* loadOrderGroup,
                         const wchar_t* dependencies, const wchar_t* serviceStartName, const wchar_t* description,
                         SystemdServiceDefinition& definition) {
    definition.serviceName = serviceName;
    definition.displayName = (displayName != nullptr && *displayName != L'\0') ? displayName : serviceName;
    if (description != nullptr) definition.description = description;
    definition.commandLine = binaryPathName;
    definition.serviceType = serviceType;
    definition.startType = startType;
    definition.errorControl = errorControl;
    if (loadOrderGroup != nullptr) definition.loadOrderGroup = loadOrderGroup;
    definition.dependencies = SplitList(dependencies);
    for (const std::wstring& name : definition.dependencies) {
        // "+name" is a load-order group.
        if (!(name.size() > 1 && name[0] == L'+') && !IsValidSystemdServiceName(name)) return false;
    }
    if (serviceStartName != nullptr) definition.account = serviceStartName;
    return true;
}

}  // namespace

ScHandle CreateServiceEntry(ScHandle handle, const wchar_t* serviceName, const wchar_t* displayName,
                            DWORD desiredAccess, DWORD serviceType, DWORD startType, DWORD errorControl,
                            const wchar_t* binaryPathName, const wchar_t* loadOrderGroup, DWORD* tagId,
                            const wchar_t* dependencies, const wchar_t* serviceStartName, const wchar_t* password,
                            const wchar_t* description) {
    ScObject* manager = posix::LookUpScHandle(handle, ScObject::Kind::Manager);
    if (manager == nullptr) return nullptr;
    if ((manager->access & SC_MANAGER_CREATE_SERVICE) == 0) return Fail(ERROR_ACCESS_DENIED, nullptr);
    if (serviceName == nullptr || !IsValidSystemdServiceName(serviceName)) return Fail(ERROR_INVALID_NAME, nullptr);
    if (displayName != nullptr && std::wcslen(displayName) > kMaxDisplayNameLength)
        return Fail(ERROR_INVALID_NAME, nullptr);
    const DWORD ownType = serviceType & ~SERVICE_INTERACTIVE_PROCESS;
    if ((ownType != SERVICE_WIN32_OWN_PROCESS && ownType != SERVICE_WIN32_SHARE_PROCESS) ||
        (startType != SERVICE_AUTO_START && startType != SERVICE_DEMAND_START && startType != SERVICE_DISABLED) ||
        errorControl > 3)
        return Fail(ERROR_INVALID_PARAMETER, nullptr);
    // A systemd service runs as its User= without a password.
    if (password != nullptr && *password != L'\0') return Fail(ERROR_NOT_SUPPORTED, nullptr);
    if (serviceStartName != nullptr && *serviceStartName != L'\0' && !IsValidSystemdAccountName(serviceStartName))
        return Fail(ERROR_INVALID_SERVICE_ACCOUNT, nullptr);
    std::wstring execStart;
    if (binaryPathName == nullptr || !SystemdExecStartValue(binaryPathName, &execStart))
        return Fail(ERROR_INVALID_PARAMETER, nullptr);

    SystemdServiceDefinition definition;
    if (!ServiceDefinitionOf(serviceName, displayName, serviceType, startType, errorControl, binaryPathName,
                             loadOrderGroup, dependencies, serviceStartName, description, definition))
        return Fail(ERROR_INVALID_PARAMETER, nullptr);

    const std::filesystem::path path = posix::UnitFilePath(manager->unitFolder, definition.serviceName);
    if (const DWORD error = posix::WriteUnitFile(path, SystemdUnitFileText(definition), true); error != 0)
        return Fail(error, nullptr);
    std::wstring listenStream;
    bool bothFamilies = false;
    const bool socketUnit = SystemdListenAddressOf(definition.commandLine, &listenStream, &bothFamilies);
    const std::filesystem::path socketPath =
        manager->unitFolder / WideToUtf8(SystemdSocketUnitFileName(definition.serviceName));
    // From here on a failure takes the units away again, so that nothing half-installed stays.
    auto undo = [&](bool reload) {
        const DWORD error = LastError();
        if (socketUnit) ::unlink(socketPath.c_str());
        ::unlink(path.c_str());
        if (reload) posix::Systemctl({"daemon-reload"});
        SetLastErrorCode(error);
        return nullptr;
    };
    // The service's own unit is new (written above, never replacing one): a socket unit of its name is its own.
    if (socketUnit) {
        const DWORD error =
            posix::WriteUnitFile(socketPath, SystemdSocketUnitText(definition, MaxListenBacklog()), false);
        if (error != 0) {
            SetLastErrorCode(error);
            return undo(false);
        }
    }
    if (!posix::Systemctl({"daemon-reload"})) return undo(false);
    if (startType == SERVICE_AUTO_START && !posix::Systemctl({"enable", UnitName(definition.serviceName)}))
        return undo(true);

    if (tagId != nullptr) *tagId = 0;
    ScObject service;
    service.kind = ScObject::Kind::Service;
    service.access = posix::ServiceAccessOf(desiredAccess);
    service.unitFolder = manager->unitFolder;
    service.serviceName = definition.serviceName;
    return posix::NewScHandle(std::move(service));
}

ScHandle OpenServiceEntry(ScHandle handle, const wchar_t* serviceName, DWORD desiredAccess) {
    ScObject* manager = posix::LookUpScHandle(handle, ScObject::Kind::Manager);
    if (manager == nullptr) return nullptr;
    if (serviceName == nullptr || !IsValidSystemdServiceName(serviceName)) return Fail(ERROR_INVALID_NAME, nullptr);
    ScObject service;
    service.kind = ScObject::Kind::Service;
    service.access = posix::ServiceAccessOf(desiredAccess);
    service.unitFolder = manager->unitFolder;
    service.serviceName = serviceName;
    struct stat info {};
    if (::stat(posix::UnitFilePath(service.unitFolder, service.serviceName).c_str(), &info) != 0 ||
        !S_ISREG(info.st_mode))
        return Fail(ERROR_SERVICE_DOES_NOT_EXIST, nullptr);
    return posix::NewScHandle(std::move(service));
}

BOOL DeleteServiceEntry(ScHandle handle) {
    ScObject* service = posix::LookUpScHandle(handle, ScObject::Kind::Service);
    if (service == nullptr) return FALSE;
    if ((service->access & DELETE) == 0) return Fail(ERROR_ACCESS_DENIED, FALSE);
    if (service->deleted) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE, FALSE);
    SystemdServiceDefinition definition;
    if (!posix::ReadServiceDefinition(*service, &definition)) return FALSE;
    if (definition.startType == SERVICE_AUTO_START && !posix::Systemctl({"disable", UnitName(service->serviceName)}))
        return FALSE;
    if (::unlink(posix::UnitFilePath(service->unitFolder, service->serviceName).c_str()) != 0)
        return Fail(posix::Win32FromErrno(errno), FALSE);
    // The socket goes with its service: a socket left listening would start nothing any more.
    if (HasSocketUnit(*service)) {
        posix::Systemctl({"stop", SocketUnitName(service->serviceName)});
        ::unlink(SocketUnitPath(*service).c_str());
    }
    service->deleted = true;
    return posix::Systemctl({"daemon-reload"});
}

BOOL QueryServiceStatusRecord(ScHandle handle, ServiceStatusRecord* status) {
    ScObject* service = posix::LookUpScHandle(handle, ScObject::Kind::Service);
    if (service == nullptr) return FALSE;
    if ((service->access & SERVICE_QUERY_STATUS) == 0) return Fail(ERROR_ACCESS_DENIED, FALSE);
    if (status == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
    return posix::QueryUnitStatus(service->serviceName, status);
}

BOOL ControlServiceEntry(ScHandle handle, DWORD control, ServiceStatusRecord* status) {
    ScObject* service = posix::LookUpScHandle(handle, ScObject::Kind::Service);
    if (service == nullptr) return FALSE;
    if (status == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
    DWORD needed = 0;
    if (control == SERVICE_CONTROL_STOP) needed = SERVICE_STOP;
    else if (control == SERVICE_CONTROL_INTERROGATE) needed = SERVICE_INTERROGATE;
    else if (control == SERVICE_CONTROL_PAUSE || control == SERVICE_CONTROL_CONTINUE ||
             (control >= SERVICE_CONTROL_PARAMCHANGE && control <= SERVICE_CONTROL_NETBINDDISABLE))
        needed = SERVICE_PAUSE_CONTINUE;
    else if (control >= 128 && control <= 255) needed = SERVICE_USER_DEFINED_CONTROL;
    else return Fail(ERROR_INVALID_PARAMETER, FALSE);
    if ((service->access & needed) == 0) return Fail(ERROR_ACCESS_DENIED, FALSE);

    if (!posix::QueryUnitStatus(service->serviceName, status)) return FALSE;
    if (control == SERVICE_CONTROL_INTERROGATE)
        return IsSettledStopped(*status) ? Fail(ERROR_SERVICE_NOT_ACTIVE, FALSE) : TRUE;
    // systemd has no pause, continue or other controls for a service.
    if (control != SERVICE_CONTROL_STOP) return Fail(ERROR_INVALID_SERVICE_CONTROL, FALSE);
    if (IsSettledStopped(*status)) return Fail(ERROR_SERVICE_NOT_ACTIVE, FALSE);
    if (IsPending(*status)) return Fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL, FALSE);
    std::vector<std::string> stop = {"stop", "--no-block"};
    for (std::string& unit : ControlledUnits(*service)) stop.push_back(std::move(unit));
    if (const DWORD error = posix::Win32ErrorOfRun(posix::RunSystemctl(stop)); error != 0) return Fail(error, FALSE);
    // The status after the request, as ControlService returns it.
    ServiceStatusRecord after{};
    if (posix::QueryUnitStatus(service->serviceName, &after)) *status = after;
    SetLastErrorCode(NO_ERROR);
    return TRUE;
}

BOOL StartServiceEntry(ScHandle handle, DWORD argumentCount, const wchar_t**) {
    ScObject* service = posix::LookUpScHandle(handle, ScObject::Kind::Service);
    if (service == nullptr) return FALSE;
    if ((service->access & SERVICE_START) == 0) return Fail(ERROR_ACCESS_DENIED, FALSE);
    // systemd passes no start arguments to a service.
    if (argumentCount != 0) return Fail(ERROR_NOT_SUPPORTED, FALSE);
    SystemdServiceDefinition definition;
    if (!posix::ReadServiceDefinition(*service, &definition)) return FALSE;
    if (definition.startType == SERVICE_DISABLED) return Fail(ERROR_SERVICE_DISABLED, FALSE);
    ServiceStatusRecord status{};
    if (!posix::QueryUnitStatus(service->serviceName, &status)) return FALSE;
    if (!IsSettledStopped(status)) return Fail(ERROR_SERVICE_ALREADY_RUNNING, FALSE);
    std::vector<std::string> start = {"start", "--no-block"};
    for (std::string& unit : ControlledUnits(*service)) start.push_back(std::move(unit));
    if (const DWORD error = posix::Win32ErrorOfRun(posix::RunSystemctl(start)); error != 0)
        return Fail(error, FALSE);
    return TRUE;
}

BOOL EnumerateServiceStatus(ScHandle handle, DWORD serviceType, DWORD serviceState, void* buffer, DWORD bufferBytes,
                            DWORD* bytesNeeded, DWORD* servicesReturned, DWORD* resumeHandle) {
    ScObject* manager = posix::LookUpScHandle(handle, ScObject::Kind::Manager);
    if (manager == nullptr) return FALSE;
    if ((manager->access & SC_MANAGER_ENUMERATE_SERVICE) == 0) return Fail(ERROR_ACCESS_DENIED, FALSE);
    if (bytesNeeded == nullptr || servicesReturned == nullptr ||
        (serviceState != SERVICE_ACTIVE && serviceState != SERVICE_INACTIVE && serviceState != SERVICE_STATE_ALL))
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    *bytesNeeded = 0;
    *servicesReturned = 0;
    std::vector<ListedService> services;
    if ((serviceType & SERVICE_WIN32) != 0 && !ListUnitFolder(*manager, &services)) return FALSE;
    const std::size_t first = resumeHandle != nullptr ? std::min<std::size_t>(*resumeHandle, services.size()) : 0;
    services.erase(services.begin(), services.begin() + static_cast<std::ptrdiff_t>(first));

    std::size_t needed = 0;
    for (const ListedService& service : services)
        needed += sizeof(EnumServiceStatusRecord) + StringBytes(service.name) + StringBytes(service.displayName);
    // The states are needed to choose the services, or to fill them in.
    const bool fits = needed <= bufferBytes && buffer != nullptr;
    if (serviceState != SERVICE_STATE_ALL || fits) {
        if (!QueryListedStates(&services)) return FALSE;
        if (serviceState != SERVICE_STATE_ALL) {
            std::erase_if(services, [&](const ListedService& s) {
                return (s.status.currentState == SERVICE_STOPPED) == (serviceState == SERVICE_ACTIVE);
            });
            needed = 0;
            for (const ListedService& service : services)
                needed += sizeof(EnumServiceStatusRecord) + StringBytes(service.name) + StringBytes(service.displayName);
        }
    }
    if (needed > bufferBytes || (needed > 0 && buffer == nullptr)) {
        *bytesNeeded = static_cast<DWORD>(needed);
        return Fail(ERROR_MORE_DATA, FALSE);
    }
    auto* records = static_cast<EnumServiceStatusRecord*>(buffer);
    BufferWriter strings(buffer, services.size() * sizeof(EnumServiceStatusRecord));
    for (std::size_t i = 0; i < services.size(); ++i) {
        EnumServiceStatusRecord* record = new (&records[i]) EnumServiceStatusRecord{};
        record->serviceName = strings.Put(services[i].name);
        record->displayName = strings.Put(services[i].displayName);
        record->status = services[i].status;
    }
    *servicesReturned = static_cast<DWORD>(services.size());
    if (resumeHandle != nullptr) *resumeHandle = 0;
    SetLastErrorCode(NO_ERROR);
    return TRUE;
}

BOOL QueryServiceConfiguration(ScHandle handle, void* buffer, DWORD bufferBytes, DWORD* bytesNeeded) {
    ScObject* service = posix::LookUpScHandle(handle, ScObject::Kind::Service);
    if (service == nullptr) return FALSE;
    if ((service->access & SERVICE_QUERY_CONFIG) == 0) return Fail(ERROR_ACCESS_DENIED, FALSE);
    if (bytesNeeded == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
    SystemdServiceDefinition d;
    if (!posix::ReadServiceDefinition(*service, &d)) return FALSE;
    // Without an account the service runs as root, which Windows calls LocalSystem.
    const std::wstring account = d.account.empty() ? L"LocalSystem" : d.account;
    const std::wstring displayName = d.displayName.empty() ? d.serviceName : d.displayName;
    std::size_t dependencyBytes = sizeof(wchar_t);
    for (const std::wstring& name : d.dependencies) dependencyBytes += StringBytes(name);
    const std::size_t needed = sizeof(ServiceConfigRecord) + StringBytes(d.commandLine) +
                               StringBytes(d.loadOrderGroup) + dependencyBytes + StringBytes(account) +
                               StringBytes(displayName);
    if (buffer == nullptr || needed > bufferBytes) {
        *bytesNeeded = static_cast<DWORD>(needed);
        return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
    }
    ServiceConfigRecord* record = new (buffer) ServiceConfigRecord{};
    BufferWriter strings(buffer, sizeof(ServiceConfigRecord));
    record->serviceType = d.serviceType;
    record->startType = d.startType;
    record->errorControl = d.errorControl;
    record->binaryPathName = strings.Put(d.commandLine);
    record->loadOrderGroup = strings.Put(d.loadOrderGroup);
    record->tagId = 0;
    record->dependencies = strings.PutList(d.dependencies);
    record->serviceStartName = strings.Put(account);
    record->displayName = strings.Put(displayName);
    SetLastErrorCode(NO_ERROR);
    return TRUE;
}

// systemd has no ChangeServiceConfig2: the description comes with the unit (CreateServiceEntry).
ChangeServiceConfig2Function FindChangeServiceConfig2(void*) { return nullptr; }

}  // namespace plat
