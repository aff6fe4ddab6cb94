// CNTService: install, uninstall, the list of installed instances and the dependency list.
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "common/ResourceIds.h"
#include "common/Utf8.h"
#include "common/WipeText.h"
#include "platform/Handles.h"
#include "platform/ServiceCodes.h"
#include "platform/ServiceManagerCodes.h"
#include "platform/Win32Codes.h"
#include "service/NTService.h"
#include "service/ServiceControlManagerCalls.h"
#include "service/ServiceManagerHandle.h"

namespace {

using namespace resource_ids;

constexpr DWORD kUninstallPollMilliseconds = 250;

// Wipes the account and password when the install returns, whatever its
// outcome, so that they do not stay in the process's memory.
class CredentialWipe {
  public:
    CredentialWipe(std::wstring& userName, std::wstring& password) : m_userName(userName), m_password(password) {}
    ~CredentialWipe() { Now(); }
    CredentialWipe(const CredentialWipe&) = delete;
    CredentialWipe& operator=(const CredentialWipe&) = delete;
    void Now() {
        WipeText(m_userName);
        WipeText(m_password);
    }

  private:
    std::wstring& m_userName;
    std::wstring& m_password;
};

const wchar_t* NullWhenEmpty(const std::wstring& text) { return text.empty() ? nullptr : text.c_str(); }

bool IsPathSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// The executable's path with its extension replaced by "DLL": drive, folder
// and file name kept, the part of the file name from its last dot dropped.
std::wstring MessageFileBesideExecutable(const std::wstring& executable) {
    std::size_t nameStart = 0;
    for (std::size_t i = 0; i < executable.size(); ++i) {
        if (IsPathSeparator(executable[i]) || (i == 1 && executable[i] == L':')) nameStart = i + 1;
    }
    const std::size_t dot = executable.rfind(L'.');
    const std::size_t nameEnd = (dot != std::wstring::npos && dot >= nameStart) ? dot : executable.size();
    return executable.substr(0, nameEnd) + L".DLL";
}

// What EnumerateInstalledServices' visit of each service needs.
struct InstalledServiceSearch {
    std::wstring upperExecutable;
    std::vector<std::wstring>* names;
};

// Adds the service to the list when its registered command line names this executable.
BOOL CollectServiceOfExecutable(void* context, ServiceManagerHandle& manager,
                                const plat::EnumServiceStatusRecord& entry) {
    InstalledServiceSearch& search = *static_cast<InstalledServiceSearch*>(context);
    const ServiceControlManagerCalls& calls = CurrentServiceControlManagerCalls();
    if (entry.serviceName == nullptr) return TRUE;
    ServiceHandle service;
    service.Attach(calls.openService(manager.Get(), entry.serviceName, SERVICE_QUERY_CONFIG));
    if (service.Get() == nullptr) return TRUE;

    DWORD needed = 0;
    if (calls.queryConfig(service.Get(), nullptr, 0, &needed) || plat::LastError() != ERROR_INSUFFICIENT_BUFFER)
        return TRUE;
    const std::size_t count =
        (static_cast<std::size_t>(needed) + sizeof(plat::ServiceConfigRecord) - 1) / sizeof(plat::ServiceConfigRecord);
    std::unique_ptr<plat::ServiceConfigRecord[]> buffer(new (std::nothrow) plat::ServiceConfigRecord[count]);
    if (!buffer || count == 0) return TRUE;
    if (!calls.queryConfig(service.Get(), buffer.get(), needed, &needed)) return TRUE;
    if (buffer[0].binaryPathName == nullptr) return TRUE;

    if (AsciiUpper(buffer[0].binaryPathName).find(search.upperExecutable) != std::wstring::npos)
        search.names->push_back(entry.serviceName);
    return TRUE;
}

}  // namespace

BOOL CNTService::Install(std::wstring& message, DWORD* error) {
    message.clear();
    if (error) *error = NO_ERROR;
    const ServiceControlManagerCalls& calls = CurrentServiceControlManagerCalls();
    CredentialWipe credentials(m_strUserName, m_strPassword);
    auto fail = [&](UINT stringId, DWORD code) {
        if (error) *error = code;
        message = GetErrorMessage(MapResourceId(stringId), code, FALSE);
        return FALSE;
    };
    // A service needs a program to run; an empty path would make the first option the program.
    if (m_strBinaryPathName.empty())
        return fail(kInstallCreateFailed, m_dwBinaryPathError != NO_ERROR ? m_dwBinaryPathError : ERROR_INVALID_PARAMETER);

    // Declared first, so that the service handle is closed before the
    // database is unlocked and the manager closed.
    ServiceManagerHandle manager;
    if (!manager.Open(SC_MANAGER_CREATE_SERVICE | SC_MANAGER_LOCK))
        return fail(kInstallOpenScmFailed, plat::LastError());
    if (!manager.Lock()) return fail(kInstallLockFailed, plat::LastError());

    const bool describeAtCreation = calls.takesDescriptionAtCreation();
    // Failure actions are asked only of a manager that keeps them (systemd's unit restarts the service itself).
    const bool setFailureActions = m_dwFailureRestartDelay != 0 && calls.keepsFailureActions();
    ServiceHandle service;
    {
        const std::vector<wchar_t> dependencies = BuildDependencyList();
        // Failure actions that restart the service need the right to start it.
        const DWORD access = setFailureActions ? SERVICE_CHANGE_CONFIG | SERVICE_START : SERVICE_CHANGE_CONFIG;
        const wchar_t* description = describeAtCreation ? NullWhenEmpty(m_strDescription) : nullptr;
        service.Attach(calls.createService(manager.Get(), m_strServiceName.c_str(), m_strDisplayName.c_str(),
                                           access, m_dwServiceType, m_dwStartType, m_dwErrorControl,
                                           m_strBinaryPathName.c_str(), NullWhenEmpty(m_strLoadOrderGroup), nullptr,
                                           dependencies.data(), NullWhenEmpty(m_strUserName),
                                           NullWhenEmpty(m_strPassword), description));
    }
    const DWORD createError = plat::LastError();
    credentials.Now();
    if (service.Get() == nullptr) return fail(kInstallCreateFailed, createError);

    if (m_bEventLogEnabled) {
        if (m_strEventMessageFile.empty()) m_strEventMessageFile = MessageFileBesideExecutable(calls.executablePath());
        if (!calls.installEventSource(m_eventLog.GetLogName(), m_eventLog.GetSourceName(), m_strEventMessageFile))
            return fail(kInstallEventSourceFailed, plat::LastError());
    }

    // A service without its description is still a working service.
    if (!m_strDescription.empty() && !describeAtCreation) service.ChangeDescription(m_strDescription);
    // Nor is one that the service manager will not restart after a crash.
    if (setFailureActions) service.ChangeFailureActions(m_dwFailureRestartDelay);

    if (m_bEventLogEnabled)
        m_eventLog.Report(EVENTLOG_INFORMATION_TYPE, MapEventId(kEventInstalled), {m_strDisplayName});
    return TRUE;
}

BOOL CNTService::Uninstall(std::wstring& message, DWORD* error, DWORD waitMilliseconds) {
    message.clear();
    if (error) *error = NO_ERROR;
    const ServiceControlManagerCalls& calls = CurrentServiceControlManagerCalls();
    auto setFailure = [&](UINT stringId, DWORD code) {
        if (error) *error = code;
        message = GetErrorMessage(MapResourceId(stringId), code, FALSE);
    };
    auto reportFailure = [&](DWORD eventId, UINT stringId, DWORD code) {
        if (m_bEventLogEnabled)
            m_eventLog.Report(EVENTLOG_ERROR_TYPE, MapEventId(eventId),
                              {GetErrorMessage(MapResourceId(stringId), code, TRUE)});
    };

    ServiceManagerHandle manager;
    if (!manager.Open(SC_MANAGER_CONNECT)) {
        const DWORD code = plat::LastError();
        setFailure(kUninstallOpenScmFailed, code);
        reportFailure(kEventScmConnectFailed, kUninstallOpenScmFailed, code);
        return FALSE;
    }
    ServiceHandle service;
    service.Attach(calls.openService(manager.Get(), m_strServiceName.c_str(), DELETE | SERVICE_STOP |
                                                                               SERVICE_QUERY_STATUS));
    if (service.Get() == nullptr) {
        const DWORD code = plat::LastError();
        setFailure(kUninstallOpenServiceFailed, code);
        reportFailure(kEventOpenServiceFailed, kUninstallOpenServiceFailed, code);
        return FALSE;
    }

    // A service that cannot even be queried is deleted without a stop attempt.
    plat::ServiceStatusRecord status{};
    if (calls.queryStatus(service.Get(), &status) && status.currentState != SERVICE_STOPPED) {
        bool stopRefused = false;
        if (!calls.control(service.Get(), SERVICE_CONTROL_STOP, &status)) {
            const DWORD code = plat::LastError();
            setFailure(kUninstallStopFailed, code);
            // Only a service that is stopping already, or has just stopped,
            // can still get there without this request (access denied, for
            // one, would only be waited out).
            if (code != ERROR_SERVICE_CANNOT_ACCEPT_CTRL && code != ERROR_SERVICE_NOT_ACTIVE) return FALSE;
            stopRefused = true;
        }
        if (!service.WaitForStatus(waitMilliseconds, SERVICE_STOPPED, kUninstallPollMilliseconds)) {
            // The refused stop is the first failure and stays the reported one.
            if (!stopRefused) setFailure(kUninstallWaitFailed, plat::LastError());
            return FALSE;
        }
    }

    if (!calls.deleteService(service.Get())) {
        const DWORD code = plat::LastError();
        setFailure(kUninstallDeleteFailed, code);
        reportFailure(kEventDeleteFailed, kUninstallDeleteFailed, code);
        return FALSE;
    }

    if (m_bEventLogEnabled && !calls.uninstallEventSource(m_eventLog.GetLogName(), m_eventLog.GetSourceName())) {
        setFailure(kUninstallEventSourceFailed, plat::LastError());
        return FALSE;
    }
    return TRUE;
}

BOOL CNTService::EnumerateInstalledServices(std::vector<std::wstring>& names, DWORD* error) {
    names.clear();
    if (error) *error = NO_ERROR;
    ServiceManagerHandle manager;
    if (!manager.Open(SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE)) {
        if (error) *error = plat::LastError();
        return FALSE;
    }
    InstalledServiceSearch search{AsciiUpper(CurrentServiceControlManagerCalls().executablePath()), &names};
    // Without its own path the program cannot tell its services from others
    // (an empty path would match every service).
    if (search.upperExecutable.empty()) {
        if (error) *error = plat::LastError() != NO_ERROR ? plat::LastError() : ERROR_INVALID_FUNCTION;
        return FALSE;
    }
    return manager.EnumServices(&CollectServiceOfExecutable, &search);
}

std::vector<wchar_t> CNTService::BuildDependencyList() {
    std::vector<wchar_t> list;
    for (const std::wstring& name : m_arrDependencies) {
        list.insert(list.end(), name.begin(), name.end());
        list.push_back(L'\0');
    }
    list.push_back(L'\0');
    return list;
}
