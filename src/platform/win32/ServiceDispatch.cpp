// Windows service dispatch: the real service control manager.
#include <windows.h>

#include <atomic>

#include "platform/ServiceDispatch.h"

namespace plat {
namespace {

// A process of its own type runs one service, so one service body and one
// control handler are enough; the trampolines give them the system's calling
// convention.
std::atomic<ServiceMainFunction> g_serviceMain{nullptr};
std::atomic<ServiceControlHandler> g_handler{nullptr};
std::atomic<ServiceControlHandlerEx> g_handlerEx{nullptr};

void WINAPI ServiceMainTrampoline(DWORD argc, LPWSTR* argv) {
    if (ServiceMainFunction proc = g_serviceMain.load()) proc(argc, argv);
}

void WINAPI HandlerTrampoline(DWORD control) {
    if (ServiceControlHandler handler = g_handler.load()) handler(control);
}

DWORD WINAPI HandlerExTrampoline(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context) {
    ServiceControlHandlerEx handler = g_handlerEx.load();
    return handler ? handler(control, eventType, eventData, context) : ERROR_CALL_NOT_IMPLEMENTED;
}

}  // namespace

BOOL StartServiceDispatcher(const ServiceTableEntry* table) {
    if (table == nullptr || table[0].serviceName == nullptr || table[0].serviceProc == nullptr ||
        table[1].serviceName != nullptr || table[1].serviceProc != nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    g_serviceMain.store(table[0].serviceProc);
    SERVICE_TABLE_ENTRYW systemTable[] = {{table[0].serviceName, &ServiceMainTrampoline}, {nullptr, nullptr}};
    return ::StartServiceCtrlDispatcherW(systemTable);
}

ServiceStatusHandle RegisterServiceControlHandlerPlain(const wchar_t* serviceName, ServiceControlHandler handler) {
    g_handler.store(handler);
    return ::RegisterServiceCtrlHandlerW(serviceName, &HandlerTrampoline);
}

ServiceStatusHandle RegisterServiceControlHandlerExtended(const wchar_t* serviceName,
                                                         ServiceControlHandlerEx handler, void* context) {
    g_handlerEx.store(handler);
    return ::RegisterServiceCtrlHandlerExW(serviceName, &HandlerExTrampoline, context);
}

BOOL SendServiceStatus(ServiceStatusHandle handle, const ServiceStatusRecord& status) {
    SERVICE_STATUS record;
    record.dwServiceType = status.serviceType;
    record.dwCurrentState = status.currentState;
    record.dwControlsAccepted = status.controlsAccepted;
    record.dwWin32ExitCode = status.win32ExitCode;
    record.dwServiceSpecificExitCode = status.serviceSpecificExitCode;
    record.dwCheckPoint = status.checkPoint;
    record.dwWaitHint = status.waitHint;
    return ::SetServiceStatus(static_cast<SERVICE_STATUS_HANDLE>(handle), &record);
}

void* SystemModuleHandle(const wchar_t* moduleName) { return ::GetModuleHandleW(moduleName); }

RegisterServiceControlHandlerExFunction FindRegisterServiceControlHandlerEx(void* module) {
    if (module == nullptr) return nullptr;
    if (::GetProcAddress(static_cast<HMODULE>(module), "RegisterServiceCtrlHandlerExW") == nullptr) return nullptr;
    return &RegisterServiceControlHandlerExtended;
}

}  // namespace plat
