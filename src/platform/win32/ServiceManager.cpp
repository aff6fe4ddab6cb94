// The service manager on Windows: the real service control manager, call for call.
#include <windows.h>

#include <cstddef>

#include "platform/ServiceManager.h"

namespace plat {
namespace {

// The records of the platform-independent code are the system's own structures.
static_assert(sizeof(EnumServiceStatusRecord) == sizeof(ENUM_SERVICE_STATUSW));
static_assert(offsetof(EnumServiceStatusRecord, serviceName) == offsetof(ENUM_SERVICE_STATUSW, lpServiceName));
static_assert(offsetof(EnumServiceStatusRecord, displayName) == offsetof(ENUM_SERVICE_STATUSW, lpDisplayName));
static_assert(offsetof(EnumServiceStatusRecord, status) == offsetof(ENUM_SERVICE_STATUSW, ServiceStatus));
static_assert(sizeof(ServiceStatusRecord) == sizeof(SERVICE_STATUS));
static_assert(sizeof(ServiceConfigRecord) == sizeof(QUERY_SERVICE_CONFIGW));
static_assert(offsetof(ServiceConfigRecord, binaryPathName) == offsetof(QUERY_SERVICE_CONFIGW, lpBinaryPathName));
static_assert(offsetof(ServiceConfigRecord, tagId) == offsetof(QUERY_SERVICE_CONFIGW, dwTagId));
static_assert(offsetof(ServiceConfigRecord, displayName) == offsetof(QUERY_SERVICE_CONFIGW, lpDisplayName));
static_assert(sizeof(ServiceDescriptionRecord) == sizeof(SERVICE_DESCRIPTIONW));
static_assert(sizeof(ServiceActionRecord) == sizeof(SC_ACTION));
static_assert(sizeof(ServiceFailureActionsRecord) == sizeof(SERVICE_FAILURE_ACTIONSW));
static_assert(offsetof(ServiceFailureActionsRecord, actions) == offsetof(SERVICE_FAILURE_ACTIONSW, lpsaActions));

SC_HANDLE Sc(ScHandle handle) { return static_cast<SC_HANDLE>(handle); }

void CopyStatus(const SERVICE_STATUS& from, ServiceStatusRecord* to) {
    if (to == nullptr) return;
    to->serviceType = from.dwServiceType;
    to->currentState = from.dwCurrentState;
    to->controlsAccepted = from.dwControlsAccepted;
    to->win32ExitCode = from.dwWin32ExitCode;
    to->serviceSpecificExitCode = from.dwServiceSpecificExitCode;
    to->checkPoint = from.dwCheckPoint;
    to->waitHint = from.dwWaitHint;
}

BOOL ChangeServiceConfig2Call(ScHandle service, DWORD infoLevel, void* info) {
    return ::ChangeServiceConfig2W(Sc(service), infoLevel, info);
}

}  // namespace

ScHandle OpenServiceManager(const wchar_t* machineName, const wchar_t* databaseName, DWORD desiredAccess) {
    return ::OpenSCManagerW(machineName, databaseName, desiredAccess);
}

BOOL CloseServiceManagerHandle(ScHandle handle) { return ::CloseServiceHandle(Sc(handle)); }

ScLock LockServiceManagerDatabase(ScHandle manager) { return ::LockServiceDatabase(Sc(manager)); }

BOOL UnlockServiceManagerDatabase(ScLock lock) { return ::UnlockServiceDatabase(static_cast<SC_LOCK>(lock)); }

// The SCM takes a description and failure actions after the service exists (ChangeServiceConfig2W).
bool ServiceManagerTakesDescriptionAtCreation() { return false; }
bool ServiceManagerKeepsFailureActions() { return true; }

ScHandle CreateServiceEntry(ScHandle manager, const wchar_t* serviceName, const wchar_t* displayName,
                            DWORD desiredAccess, DWORD serviceType, DWORD startType, DWORD errorControl,
                            const wchar_t* binaryPathName, const wchar_t* loadOrderGroup, DWORD* tagId,
                            const wchar_t* dependencies, const wchar_t* serviceStartName, const wchar_t* password,
                            const wchar_t* description) {
    if (description != nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return ::CreateServiceW(Sc(manager), serviceName, displayName, desiredAccess, serviceType, startType,
                            errorControl, binaryPathName, loadOrderGroup, tagId, dependencies, serviceStartName,
                            password);
}

ScHandle OpenServiceEntry(ScHandle manager, const wchar_t* serviceName, DWORD desiredAccess) {
    return ::OpenServiceW(Sc(manager), serviceName, desiredAccess);
}

BOOL DeleteServiceEntry(ScHandle service) { return ::DeleteService(Sc(service)); }

BOOL QueryServiceStatusRecord(ScHandle service, ServiceStatusRecord* status) {
    SERVICE_STATUS record{};
    const BOOL result = ::QueryServiceStatus(Sc(service), &record);
    if (result) CopyStatus(record, status);
    return result;
}

BOOL ControlServiceEntry(ScHandle service, DWORD control, ServiceStatusRecord* status) {
    SERVICE_STATUS record{};
    const BOOL result = ::ControlService(Sc(service), control, &record);
    const DWORD error = ::GetLastError();
    CopyStatus(record, status);
    if (!result) ::SetLastError(error);
    return result;
}

BOOL StartServiceEntry(ScHandle service, DWORD argumentCount, const wchar_t** arguments) {
    return ::StartServiceW(Sc(service), argumentCount, arguments);
}

BOOL EnumerateServiceStatus(ScHandle manager, DWORD serviceType, DWORD serviceState, void* buffer, DWORD bufferBytes,
                            DWORD* bytesNeeded, DWORD* servicesReturned, DWORD* resumeHandle) {
    return ::EnumServicesStatusW(Sc(manager), serviceType, serviceState, static_cast<ENUM_SERVICE_STATUSW*>(buffer),
                                 bufferBytes, bytesNeeded, servicesReturned, resumeHandle);
}

BOOL QueryServiceConfiguration(ScHandle service, void* buffer, DWORD bufferBytes, DWORD* bytesNeeded) {
    return ::QueryServiceConfigW(Sc(service), static_cast<QUERY_SERVICE_CONFIGW*>(buffer), bufferBytes,
                                 bytesNeeded);
}

ChangeServiceConfig2Function FindChangeServiceConfig2(void* module) {
    if (module == nullptr) return nullptr;
    if (::GetProcAddress(static_cast<HMODULE>(module), "ChangeServiceConfig2W") == nullptr) return nullptr;
    return &ChangeServiceConfig2Call;
}

}  // namespace plat
