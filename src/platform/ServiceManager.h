// The service manager's side of installed services: open the manager, lock
// its database, create, open, start, control, query, enumerate and delete
// services. The calls follow the Win32 service control functions one to one,
// with the same arguments, results and error codes, so that the service
// framework runs the same algorithms on every platform; where a manager
// writes a service's whole definition at once, it takes the description with
// the create call (ServiceManagerTakesDescriptionAtCreation says where).
//
// Windows: the real service control manager (OpenSCManagerW,
// LockServiceDatabase, CreateServiceW, ChangeServiceConfig2W, OpenServiceW,
// QueryServiceStatus, ControlService, StartServiceW, DeleteService,
// EnumServicesStatusW, QueryServiceConfigW).
//
// POSIX: systemd through its command-line interface. A service is the unit
// file "<service name>.service" in the unit folder (/etc/systemd/system, or
// the folder named by VELMORA_SYSTEMD_UNIT_DIR); systemctl (or the program
// named by VELMORA_SYSTEMCTL) starts, stops and reports it. systemd counts as
// running when /run/systemd/system exists (VELMORA_SYSTEMD_RUNTIME_DIR moves
// that folder); elsewhere opening the manager fails with 1063
// (ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) and touches nothing. Pause and
// continue are refused with 1052 (ERROR_INVALID_SERVICE_CONTROL), as the SCM
// refuses them for a service that does not accept them. See
// posix/ServiceManager.cpp for the mapping of every call.
//
// Safe to include together with <windows.h>.
#pragma once

#include <string>

#include "platform/ServiceDispatch.h"
#include "platform/Types.h"

namespace plat {

typedef void* ScHandle;  // a manager or a service handle (SC_HANDLE)
typedef void* ScLock;    // a lock of the manager's database (SC_LOCK)

// One entry of EnumerateServiceStatus, field for field the Win32 ENUM_SERVICE_STATUSW.
// The strings point into the same buffer.
struct EnumServiceStatusRecord {
    wchar_t* serviceName;
    wchar_t* displayName;
    ServiceStatusRecord status;
};

// The result of QueryServiceConfiguration, field for field the Win32
// QUERY_SERVICE_CONFIGW. The strings point into the same buffer;
// `dependencies` is a double-NUL-terminated list.
struct ServiceConfigRecord {
    DWORD serviceType;
    DWORD startType;
    DWORD errorControl;
    wchar_t* binaryPathName;
    wchar_t* loadOrderGroup;
    DWORD tagId;
    wchar_t* dependencies;
    wchar_t* serviceStartName;
    wchar_t* displayName;
};

// The Win32 SERVICE_DESCRIPTIONW, the information of level 1 of ChangeServiceConfiguration2.
struct ServiceDescriptionRecord {
    wchar_t* description;
};

// Every call returns null or FALSE with the last error set on failure.

ScHandle OpenServiceManager(const wchar_t* machineName, const wchar_t* databaseName, DWORD desiredAccess);
BOOL CloseServiceManagerHandle(ScHandle handle);

// A lock held by one installer at a time; a second lock fails with 1055
// (ERROR_SERVICE_DATABASE_LOCKED).
ScLock LockServiceManagerDatabase(ScHandle manager);
BOOL UnlockServiceManagerDatabase(ScLock lock);

// True where CreateServiceEntry writes the description into the new
// service's definition in the one step that creates it (systemd: the unit
// file); false where the description is set afterwards with
// ChangeServiceConfig2W (Windows).
bool ServiceManagerTakesDescriptionAtCreation();
// True where failure actions set with ChangeServiceConfig2W are kept and
// carried out (Windows); false where the manager has no such setting
// (systemd: the unit's Restart= says it).
bool ServiceManagerKeepsFailureActions();

// `dependencies`: a double-NUL-terminated list, or null. Null group, account
// or password: none. `description`: the new service's description where the
// manager takes it at creation, else null (a description is refused there
// with 87, ERROR_INVALID_PARAMETER, before anything is created).
ScHandle CreateServiceEntry(ScHandle manager, const wchar_t* serviceName, const wchar_t* displayName,
                            DWORD desiredAccess, DWORD serviceType, DWORD startType, DWORD errorControl,
                            const wchar_t* binaryPathName, const wchar_t* loadOrderGroup, DWORD* tagId,
                            const wchar_t* dependencies, const wchar_t* serviceStartName, const wchar_t* password,
                            const wchar_t* description);
ScHandle OpenServiceEntry(ScHandle manager, const wchar_t* serviceName, DWORD desiredAccess);
BOOL DeleteServiceEntry(ScHandle service);

BOOL QueryServiceStatusRecord(ScHandle service, ServiceStatusRecord* status);
BOOL ControlServiceEntry(ScHandle service, DWORD control, ServiceStatusRecord* status);
BOOL StartServiceEntry(ScHandle service, DWORD argumentCount, const wchar_t** arguments);

// Fills `buffer` with EnumServiceStatusRecord entries followed by their
// strings. A buffer that is too small: FALSE with 234 (ERROR_MORE_DATA) and
// the bytes needed in `bytesNeeded`.
BOOL EnumerateServiceStatus(ScHandle manager, DWORD serviceType, DWORD serviceState, void* buffer, DWORD bufferBytes,
                            DWORD* bytesNeeded, DWORD* servicesReturned, DWORD* resumeHandle);

// Fills `buffer` with a ServiceConfigRecord followed by its strings. A buffer
// that is too small: FALSE with 122 (ERROR_INSUFFICIENT_BUFFER) and the bytes
// needed in `bytesNeeded`.
BOOL QueryServiceConfiguration(ScHandle service, void* buffer, DWORD bufferBytes, DWORD* bytesNeeded);

// The Win32 SC_ACTION and SERVICE_FAILURE_ACTIONSW, the information of level
// 2 of ChangeServiceConfiguration2.
struct ServiceActionRecord {
    DWORD type;   // 0 none, 1 restart the service, 2 reboot, 3 run a command
    DWORD delay;  // milliseconds
};
struct ServiceFailureActionsRecord {
    DWORD resetPeriod;  // seconds without a failure after which the count starts again
    wchar_t* rebootMessage;
    wchar_t* command;
    DWORD actionCount;
    ServiceActionRecord* actions;
};

// ChangeServiceConfig2W, found in the system module that exports it (POSIX:
// none, systemd has nothing to change after the unit is written).
typedef BOOL (*ChangeServiceConfig2Function)(ScHandle service, DWORD infoLevel, void* info);
ChangeServiceConfig2Function FindChangeServiceConfig2(void* module);

}  // namespace plat
