// CNTService: bringing the installed service into another state (start, pause, continue, stop) and waiting for it.
#include <string>

#include "common/ResourceIds.h"
#include "platform/Handles.h"
#include "platform/ServiceCodes.h"
#include "platform/Win32Codes.h"
#include "service/NTService.h"
#include "service/ServiceControlManagerCalls.h"
#include "service/ServiceManagerHandle.h"

namespace {

using namespace resource_ids;

// The actions of SetServiceToStatus.
constexpr DWORD kActionStart = 0;
constexpr DWORD kActionPause = 1;
constexpr DWORD kActionContinue = 2;
constexpr DWORD kActionStop = 3;
// The wanted state of an unknown action: no state equals it.
constexpr DWORD kNoState = 0;

struct ActionRow {
    DWORD wantedState;
    DWORD access;
};

ActionRow RowOf(DWORD action) {
    switch (action) {
        case kActionStart: return {SERVICE_RUNNING, SERVICE_START | SERVICE_QUERY_STATUS};
        case kActionPause: return {SERVICE_PAUSED, SERVICE_PAUSE_CONTINUE | SERVICE_QUERY_STATUS};
        case kActionContinue: return {SERVICE_RUNNING, SERVICE_PAUSE_CONTINUE | SERVICE_QUERY_STATUS};
        case kActionStop: return {SERVICE_STOPPED, SERVICE_STOP | SERVICE_QUERY_STATUS};
        default: return {kNoState, SERVICE_QUERY_STATUS};
    }
}

}  // namespace

BOOL CNTService::SetServiceToStatus(DWORD action, DWORD* error, DWORD timeoutMilliseconds, DWORD pollMilliseconds) {
    const ServiceControlManagerCalls& calls = CurrentServiceControlManagerCalls();
    const ActionRow row = RowOf(action);

    // Declared first, so that the service handle is closed before the manager.
    ServiceManagerHandle manager;
    if (!manager.Open(SC_MANAGER_CONNECT))
        return ReportControlFailure(error, kEventScmConnectFailed, kOpenScmFailed, plat::LastError());
    ServiceHandle service;
    service.Attach(calls.openService(manager.Get(), m_strServiceName.c_str(), row.access));
    if (service.Get() == nullptr)
        return ReportControlFailure(error, kEventOpenServiceFailed, kOpenServiceFailed, plat::LastError());

    plat::ServiceStatusRecord status{};
    if (!calls.queryStatus(service.Get(), &status))
        return ReportControlFailure(error, kEventQueryFailed, kQueryFailed, plat::LastError());

    // A service already in the wanted state is sent nothing.
    const bool requested = status.currentState != row.wantedState;
    if (requested && !SendControlRequest(service, action, error)) return FALSE;
    return WaitForControlResult(service, row.wantedState, requested, timeoutMilliseconds, pollMilliseconds, error);
}

BOOL CNTService::ReportControlFailure(DWORD* error, DWORD eventId, UINT stringId, DWORD code) {
    if (error) *error = code;
    // The event's one insertion string is the event-log form of the message.
    if (m_bEventLogEnabled)
        m_eventLog.Report(EVENTLOG_ERROR_TYPE, MapEventId(eventId),
                          {GetErrorMessage(MapResourceId(stringId), code, TRUE)});
    return FALSE;
}

BOOL CNTService::SendControlRequest(const ServiceHandle& service, DWORD action, DWORD* error) {
    const ServiceControlManagerCalls& calls = CurrentServiceControlManagerCalls();
    plat::ServiceStatusRecord status{};
    switch (action) {
        case kActionStart:
            if (calls.start(service.Get(), 0, nullptr)) return TRUE;
            return ReportControlFailure(error, kEventStartFailed, kStartFailed, plat::LastError());
        case kActionPause:
            if (calls.control(service.Get(), SERVICE_CONTROL_PAUSE, &status)) return TRUE;
            return ReportControlFailure(error, kEventPauseFailed, kPauseFailed, plat::LastError());
        case kActionContinue:
            if (calls.control(service.Get(), SERVICE_CONTROL_CONTINUE, &status)) return TRUE;
            return ReportControlFailure(error, kEventContinueFailed, kContinueFailed, plat::LastError());
        case kActionStop: {
            if (calls.control(service.Get(), SERVICE_CONTROL_STOP, &status)) return TRUE;
            // This one event carries the bare error number.
            const DWORD code = plat::LastError();
            if (error) *error = code;
            if (m_bEventLogEnabled) m_eventLog.ReportErrorCode(MapEventId(kEventStopFailed), code);
            return FALSE;
        }
        default:
            return FALSE;
    }
}

BOOL CNTService::WaitForControlResult(ServiceHandle& service, DWORD wantedState, bool requested,
                                      DWORD timeoutMilliseconds, DWORD pollMilliseconds, DWORD* error) {
    auto waitFailed = [&](DWORD code) {
        if (error) *error = code;
        if (m_bEventLogEnabled)
            m_eventLog.ReportErrorCodeAndText(MapEventId(kEventWaitFailed), wantedState,
                                              GetErrorMessage(MapResourceId(kWaitFailed), code, TRUE));
        return FALSE;
    };
    m_dwLastServiceSpecificError = 0;
    plat::ServiceStatusRecord last{};
    if (!service.WaitForStatus(timeoutMilliseconds, wantedState, pollMilliseconds, &last)) {
        const DWORD code = plat::LastError();
        // The service stopped instead, with its own reason.
        if (code == ERROR_SERVICE_SPECIFIC_ERROR && last.currentState == SERVICE_STOPPED)
            m_dwLastServiceSpecificError = last.serviceSpecificExitCode;
        return waitFailed(code);
    }
    // A stop that ended in a failure (the service crashed on its way out, or
    // was killed when it did not stop in time) is no clean stop.
    if (requested && wantedState == SERVICE_STOPPED && last.win32ExitCode != NO_ERROR) {
        if (last.win32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR)
            m_dwLastServiceSpecificError = last.serviceSpecificExitCode;
        return waitFailed(last.win32ExitCode);
    }
    return TRUE;
}
