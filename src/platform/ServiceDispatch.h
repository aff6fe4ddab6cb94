// The service manager's side of a running service: the dispatcher that runs
// the service body, control handler registration and status reports.
//
// Windows: the real service control manager (StartServiceCtrlDispatcherW,
// RegisterServiceCtrlHandler[Ex]W, SetServiceStatus).
// POSIX: systemd with Type=notify. The dispatcher works only in a process
// that systemd started with a notify socket (NOTIFY_SOCKET; a leading "@"
// names an abstract socket); elsewhere it fails with 1063
// (ERROR_FAILED_SERVICE_CONTROLLER_CONNECT), as on Windows. It runs the
// service body on a second thread and stays on the calling thread to deliver
// controls: SIGTERM and SIGINT arrive as SERVICE_CONTROL_STOP once the
// service's last status accepts a stop; SIGHUP is ignored. Status reports
// become notify messages; a report equal to the
// last one is not sent again, and READY=1 and STOPPING=1 go only with the
// first report of their state. While the dispatcher runs, the pings of
// systemd's watchdog go out on the same socket (ServiceWatchdog.h). When the
// service body has ended after reporting
// SERVICE_STOPPED with a non-zero Win32 exit code, the dispatcher returns
// FALSE with that code as the last error, so that the process exits with a
// failure status that systemd records; otherwise TRUE.
//
// Safe to include together with <windows.h>.
#pragma once

#include <string>

#include "platform/Types.h"

namespace plat {

typedef void* ServiceStatusHandle;
typedef void (*ServiceMainFunction)(DWORD argc, wchar_t** argv);
typedef void (*ServiceControlHandler)(DWORD control);
typedef DWORD (*ServiceControlHandlerEx)(DWORD control, DWORD eventType, void* eventData, void* context);
typedef ServiceStatusHandle (*RegisterServiceControlHandlerExFunction)(const wchar_t* serviceName,
                                                                       ServiceControlHandlerEx handler,
                                                                       void* context);

// One entry of the dispatcher's table; the table ends with {nullptr, nullptr}.
struct ServiceTableEntry {
    wchar_t* serviceName;
    ServiceMainFunction serviceProc;
};

// The record of a status report, field for field the Win32 SERVICE_STATUS.
struct ServiceStatusRecord {
    DWORD serviceType;
    DWORD currentState;
    DWORD controlsAccepted;
    DWORD win32ExitCode;
    DWORD serviceSpecificExitCode;
    DWORD checkPoint;
    DWORD waitHint;
};

// Hands the calling thread to the service manager; returns when the service
// has ended (TRUE), or FALSE with the last error set. One service per table.
BOOL StartServiceDispatcher(const ServiceTableEntry* table);

// Registers the control handler of the running service. Null with the last
// error set on failure (outside a dispatched service: 1083 on POSIX).
ServiceStatusHandle RegisterServiceControlHandlerPlain(const wchar_t* serviceName, ServiceControlHandler handler);
ServiceStatusHandle RegisterServiceControlHandlerExtended(const wchar_t* serviceName,
                                                         ServiceControlHandlerEx handler, void* context);

// Sends a status report. FALSE with the last error set on failure: 6 for a
// handle that is not the running service's, 13 for a state outside 1-7.
BOOL SendServiceStatus(ServiceStatusHandle handle, const ServiceStatusRecord& status);

// The system module that carries the service functions (GetModuleHandleW);
// on POSIX a fixed non-null token for "ADVAPI32.DLL" and null for any other name.
void* SystemModuleHandle(const wchar_t* moduleName);

// The extended handler registration when `module` exports it
// (GetProcAddress of "RegisterServiceCtrlHandlerExW"), null otherwise.
RegisterServiceControlHandlerExFunction FindRegisterServiceControlHandlerEx(void* module);

}  // namespace plat
