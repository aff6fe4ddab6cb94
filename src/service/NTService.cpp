// CNTService: the object, the service manager's callbacks, status reports and control dispatch.
#include "service/NTService.h"

#include <mutex>

#include "common/ResourceIds.h"
#include "platform/Handles.h"
#include "platform/ServiceCodes.h"
#include "platform/Win32Codes.h"
#include "service/ServiceSystemCalls.h"

namespace {

using namespace resource_ids;

// The dispatcher table holds the service name in this many characters, the terminator included.
constexpr std::size_t kServiceNameBuffer = 256;

bool IsSettledState(DWORD state) {
    return state == SERVICE_STOPPED || state == SERVICE_RUNNING || state == SERVICE_PAUSED;
}

}  // namespace

std::atomic<CNTService*> CNTService::sm_pInstance{nullptr};

CNTService::CNTService(const wchar_t* serviceName, const wchar_t* displayName, const wchar_t* description)
    : m_dwServiceType(SERVICE_WIN32_OWN_PROCESS),
      m_dwStartType(SERVICE_DEMAND_START),
      m_dwErrorControl(SERVICE_ERROR_IGNORE),
      m_dwErrorFormatForCaller(4),
      m_dwErrorFormatForEventLog(1),
      m_bEventLogEnabled(TRUE),
      m_hStatus(nullptr),
      m_dwControlsAccepted(SERVICE_ACCEPT_STOP),
      m_dwCheckPoint(0),
      m_dwWaitHint(0),
      m_dwCurrentState(SERVICE_STOPPED),
      m_dwRefusedControl(0),
      m_csStatus(0),
      m_bFlushRegistry(TRUE),
      m_bAppendExtraArguments(FALSE),
      m_bAllowServiceNameOption(FALSE),
      m_bAllowDescriptionOption(FALSE),
      m_bAllowDisplayNameOption(FALSE),
      m_bConsoleOutput(FALSE),
      m_dwFailureRestartDelay(0),
      m_hAdvapi32(nullptr),
      m_pfnRegisterServiceCtrlHandlerEx(nullptr) {
    const ServiceManagerCalls& calls = CurrentServiceManagerCalls();
    m_hAdvapi32 = calls.moduleHandle(L"ADVAPI32.DLL");
    if (m_hAdvapi32 != nullptr) m_pfnRegisterServiceCtrlHandlerEx = calls.findRegisterHandlerEx(m_hAdvapi32);
    if (serviceName) m_strServiceName = serviceName;
    if (displayName) m_strDisplayName = displayName;
    if (description) m_strDescription = description;
    m_eventLog.SetSourceName(m_strDisplayName);
    sm_pInstance.store(this);
}

CNTService::~CNTService() {
    // A callback after this object is gone must not reach freed memory.
    CNTService* self = this;
    sm_pInstance.compare_exchange_strong(self, nullptr);
}

CNTService* CNTService::Instance() { return sm_pInstance.load(); }

// ---------------------------------------------------------------------------
// The service manager's callbacks

void CNTService::ServiceMainEntry(DWORD argc, wchar_t** argv) {
    if (CNTService* service = Instance()) service->ExecuteServiceMain(argc, argv);
}

void CNTService::ControlHandlerEntry(DWORD control) {
    if (CNTService* service = Instance()) service->HandleControl(control, 0, nullptr);
}

DWORD CNTService::ControlHandlerExEntry(DWORD control, DWORD eventType, void* eventData, void* /*context*/) {
    CNTService* service = Instance();
    return service ? service->HandleControl(control, eventType, eventData) : ERROR_CALL_NOT_IMPLEMENTED;
}

BOOL CNTService::StartCtrlDispatcher() {
    if (m_strServiceName.size() >= kServiceNameBuffer) {
        plat::SetLastErrorCode(ERROR_INVALID_NAME);
        return FALSE;
    }
    wchar_t name[kServiceNameBuffer] = {};
    m_strServiceName.copy(name, kServiceNameBuffer - 1);
    const plat::ServiceTableEntry table[] = {{name, &CNTService::ServiceMainEntry}, {nullptr, nullptr}};
    return CurrentServiceManagerCalls().startDispatcher(table);
}

void CNTService::ExecuteServiceMain(DWORD argc, wchar_t** argv) {
    RegisterCtrlHandler();
    DWORD win32ExitCode = 0;
    DWORD serviceSpecificExitCode = 0;
    try {
        ServiceMain(argc, argv);
    } catch (const CNTServiceTerminateException& e) {
        win32ExitCode = e.m_dwWin32ExitCode;
        serviceSpecificExitCode = e.m_dwServiceSpecificExitCode;
    } catch (...) {
        // Any other exception would end the process on the service manager's
        // thread without a word; report the failure as a stopped service instead.
        win32ExitCode = ERROR_EXCEPTION_IN_SERVICE;
    }
    ReportStatusEx(SERVICE_STOPPED, 0, 0, 0, win32ExitCode, serviceSpecificExitCode);
}

BOOL CNTService::RegisterCtrlHandler() {
    CSingleLock lock(m_csStatus);
    if (m_pfnRegisterServiceCtrlHandlerEx != nullptr)
        m_hStatus = m_pfnRegisterServiceCtrlHandlerEx(m_strServiceName.c_str(), &CNTService::ControlHandlerExEntry,
                                                      nullptr);
    else
        m_hStatus = CurrentServiceManagerCalls().registerHandler(m_strServiceName.c_str(),
                                                                 &CNTService::ControlHandlerEntry);
    return m_hStatus != nullptr;
}

void CNTService::ServiceMain(DWORD, wchar_t**) {}

// ---------------------------------------------------------------------------
// Status

BOOL CNTService::ReportStatusEx(DWORD state, DWORD checkPoint, DWORD waitHint, DWORD controlsAccepted,
                                DWORD win32ExitCode, DWORD serviceSpecificExitCode) {
    plat::ServiceStatusRecord record;
    plat::ServiceStatusHandle handle;
    std::unique_lock<CCriticalSection> sendOrder(m_csStatusSend, std::defer_lock);
    {
        CSingleLock lock(m_csStatus);
        m_dwCurrentState = state;
        if (IsSettledState(state)) {
            m_dwCheckPoint = 0;
            m_dwWaitHint = 0;
        } else {
            if (checkPoint != kKeep) m_dwCheckPoint = checkPoint;
            if (waitHint != kKeep) m_dwWaitHint = waitHint;
        }
        if (controlsAccepted != kKeep) m_dwControlsAccepted = controlsAccepted;

        const bool stopped = state == SERVICE_STOPPED;
        if (stopped) {
            m_dwStoppedWin32ExitCode = win32ExitCode;
            m_dwStoppedServiceSpecificExitCode = serviceSpecificExitCode;
        }
        record.serviceType = SERVICE_WIN32_OWN_PROCESS;
        record.currentState = state;
        record.controlsAccepted = IsSettledState(state) ? m_dwControlsAccepted : 0;
        record.win32ExitCode = stopped ? win32ExitCode : 0;
        record.serviceSpecificExitCode = stopped ? serviceSpecificExitCode : 0;
        record.checkPoint = m_dwCheckPoint;
        record.waitHint = m_dwWaitHint;
        handle = m_hStatus;
        sendOrder.lock();
    }
    // Sent after releasing m_csStatus, so that the status fields stay free
    // while the service manager is being called.
    if (handle == nullptr) return FALSE;
    return CurrentServiceManagerCalls().sendStatus(handle, record);
}

BOOL CNTService::ReportStatus(DWORD state, DWORD checkPoint, DWORD waitHint, DWORD controlsAccepted) {
    return ReportStatusEx(state, checkPoint, waitHint, controlsAccepted, 0, 0);
}

BOOL CNTService::ReportCurrentStatus() {
    // Held across the report, so that another thread's report cannot slip in
    // between reading the state and sending it (which would send that state
    // again with the other thread's checkpoint, after the other thread's report).
    CSingleLock lock(m_csStatus);
    // A stop control can race the end of the service body: its repeated report
    // then follows the final one and must not turn its exit codes into 0.
    if (m_dwCurrentState == SERVICE_STOPPED)
        return ReportStatusEx(SERVICE_STOPPED, kKeep, kKeep, kKeep, m_dwStoppedWin32ExitCode,
                              m_dwStoppedServiceSpecificExitCode);
    return ReportStatus(m_dwCurrentState, kKeep, kKeep, kKeep);
}

// ---------------------------------------------------------------------------
// Controls

DWORD CNTService::HandleControl(DWORD control, DWORD eventType, void* eventData) {
    // 0 means that no control is refused (control 0 itself is dispatched).
    if (m_dwRefusedControl != 0 && control == m_dwRefusedControl) return ERROR_CALL_NOT_IMPLEMENTED;
    DWORD result = NO_ERROR;
    switch (control) {
        case SERVICE_CONTROL_STOP: OnStop(); break;
        case SERVICE_CONTROL_PAUSE: OnPause(); break;
        case SERVICE_CONTROL_CONTINUE: OnContinue(); break;
        case SERVICE_CONTROL_INTERROGATE: OnInterrogate(); break;
        case SERVICE_CONTROL_SHUTDOWN: OnShutdown(); break;
        case SERVICE_CONTROL_PARAMCHANGE: OnParamChange(); break;
        case SERVICE_CONTROL_NETBINDADD: OnNetBindAdd(); break;
        case SERVICE_CONTROL_NETBINDREMOVE: OnNetBindRemove(); break;
        case SERVICE_CONTROL_NETBINDENABLE: OnNetBindEnable(); break;
        case SERVICE_CONTROL_NETBINDDISABLE: OnNetBindDisable(); break;
        case SERVICE_CONTROL_DEVICEEVENT: result = OnDeviceEvent(eventType, eventData); break;
        case SERVICE_CONTROL_HARDWAREPROFILECHANGE: result = OnHardwareProfileChange(eventType, eventData); break;
        case SERVICE_CONTROL_POWEREVENT: result = OnPowerEvent(eventType, eventData); break;
        default: OnUserDefinedRequest(control); break;
    }
    ReportCurrentStatus();
    return result;
}

void CNTService::OnStop() {
    if (m_bEventLogEnabled) m_eventLog.Report(EVENTLOG_INFORMATION_TYPE, MapEventId(kEventStopped), {m_strDisplayName});
}

void CNTService::OnPause() {
    if (m_bEventLogEnabled) m_eventLog.Report(EVENTLOG_INFORMATION_TYPE, MapEventId(kEventPaused), {m_strDisplayName});
}

void CNTService::OnContinue() {
    if (m_bEventLogEnabled)
        m_eventLog.Report(EVENTLOG_INFORMATION_TYPE, MapEventId(kEventContinued), {m_strDisplayName});
}

void CNTService::OnInterrogate() { ReportCurrentStatus(); }

void CNTService::OnShutdown() {
    if (m_bEventLogEnabled)
        m_eventLog.Report(EVENTLOG_INFORMATION_TYPE, MapEventId(kEventShutdown), {m_strDisplayName});
}

void CNTService::OnParamChange() {}
DWORD CNTService::OnHardwareProfileChange(DWORD, void*) { return NO_ERROR; }
DWORD CNTService::OnPowerEvent(DWORD, void*) { return NO_ERROR; }
void CNTService::OnNetBindAdd() {}
void CNTService::OnNetBindRemove() {}
void CNTService::OnNetBindEnable() {}
void CNTService::OnNetBindDisable() {}
DWORD CNTService::OnDeviceEvent(DWORD, void*) { return NO_ERROR; }
void CNTService::OnUserDefinedRequest(DWORD) {}

// ---------------------------------------------------------------------------
// Id mapping: a derived class may renumber the string and message tables.

UINT CNTService::MapResourceId(UINT stringId) { return stringId; }
DWORD CNTService::MapEventId(DWORD eventId) { return eventId; }
