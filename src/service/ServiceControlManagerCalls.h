// The service manager calls that install, uninstall and control an installed
// service, gathered in one table so that tests can run those operations
// against a substitute service manager (and a clock that moves without
// waiting). The platform's own calls are used unless a test has set others.
#pragma once

#include <string>

#include "platform/ServiceManager.h"
#include "platform/Types.h"

struct ServiceControlManagerCalls {
    plat::ScHandle (*openManager)(const wchar_t* machineName, const wchar_t* databaseName, DWORD desiredAccess);
    BOOL (*closeHandle)(plat::ScHandle handle);
    plat::ScLock (*lockDatabase)(plat::ScHandle manager);
    BOOL (*unlockDatabase)(plat::ScLock lock);
    bool (*takesDescriptionAtCreation)();
    bool (*keepsFailureActions)();
    plat::ScHandle (*createService)(plat::ScHandle manager, const wchar_t* serviceName, const wchar_t* displayName,
                                    DWORD desiredAccess, DWORD serviceType, DWORD startType, DWORD errorControl,
                                    const wchar_t* binaryPathName, const wchar_t* loadOrderGroup, DWORD* tagId,
                                    const wchar_t* dependencies, const wchar_t* serviceStartName,
                                    const wchar_t* password, const wchar_t* description);
    plat::ScHandle (*openService)(plat::ScHandle manager, const wchar_t* serviceName, DWORD desiredAccess);
    BOOL (*deleteService)(plat::ScHandle service);
    BOOL (*queryStatus)(plat::ScHandle service, plat::ServiceStatusRecord* status);
    BOOL (*control)(plat::ScHandle service, DWORD control, plat::ServiceStatusRecord* status);
    BOOL (*start)(plat::ScHandle service, DWORD argumentCount, const wchar_t** arguments);
    BOOL (*enumServices)(plat::ScHandle manager, DWORD serviceType, DWORD serviceState, void* buffer,
                         DWORD bufferBytes, DWORD* bytesNeeded, DWORD* servicesReturned, DWORD* resumeHandle);
    BOOL (*queryConfig)(plat::ScHandle service, void* buffer, DWORD bufferBytes, DWORD* bytesNeeded);
    plat::ChangeServiceConfig2Function (*findChangeConfig2)(void* module);
    // The running executable's full path.
    std::wstring (*executablePath)();
    // Event-source registration (InstallEventSource, UninstallEventSource).
    BOOL (*installEventSource)(const std::wstring& logName, const std::wstring& sourceName,
                               const std::wstring& messageFile);
    BOOL (*uninstallEventSource)(const std::wstring& logName, const std::wstring& sourceName);
    // Waits between status polls; the tick count comes from TickCount64 (threading/Clock.h).
    void (*sleep)(DWORD milliseconds);
};

// The table in use: the platform's own unless a test has set a substitute.
const ServiceControlManagerCalls& CurrentServiceControlManagerCalls();

// Tests only: installs a substitute (null: the platform's own again). The
// table must outlive its use.
void SetServiceControlManagerCallsForTests(const ServiceControlManagerCalls* calls);
