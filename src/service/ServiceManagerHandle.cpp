// The service manager's handle owners: open, lock, enumerate, close; describe a service and wait for its state.
#include "service/ServiceManagerHandle.h"

#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#include "platform/Handles.h"
#include "platform/ServiceCodes.h"
#include "platform/ServiceManagerCodes.h"
#include "platform/Win32Codes.h"
#include "service/ServiceControlManagerCalls.h"
#include "service/ServiceSystemCalls.h"
#include "threading/Clock.h"

namespace {

constexpr const wchar_t* kActiveDatabase = L"ServicesActive";
constexpr DWORD kActionRestart = 1;         // SC_ACTION_RESTART
constexpr DWORD kFailureResetSeconds = 86400;

// The system's 32-bit tick count (GetTickCount): it wraps after 49.7 days,
// which the unsigned difference of two readings absorbs.
DWORD TickCount32() { return static_cast<DWORD>(TickCount64()); }

}  // namespace

// ---------------------------------------------------------------------------
// ServiceManagerHandle

BOOL ServiceManagerHandle::Open(DWORD desiredAccess) {
    Close();
    m_hManager = CurrentServiceControlManagerCalls().openManager(nullptr, kActiveDatabase, desiredAccess);
    return m_hManager != nullptr;
}

BOOL ServiceManagerHandle::Lock() {
    if (m_hLock != nullptr) return TRUE;
    m_hLock = CurrentServiceControlManagerCalls().lockDatabase(m_hManager);
    return m_hLock != nullptr;
}

void ServiceManagerHandle::Close() {
    const ServiceControlManagerCalls& calls = CurrentServiceControlManagerCalls();
    if (m_hLock != nullptr) calls.unlockDatabase(m_hLock);
    m_hLock = nullptr;
    if (m_hManager != nullptr) calls.closeHandle(m_hManager);
    m_hManager = nullptr;
}

BOOL ServiceManagerHandle::EnumServices(EnumServicesCallback callback, void* context) {
    const ServiceControlManagerCalls& calls = CurrentServiceControlManagerCalls();
    DWORD needed = 0;
    DWORD returned = 0;
    DWORD resume = 0;
    // The first call only learns the size; success means there is nothing to list.
    if (calls.enumServices(m_hManager, SERVICE_WIN32, SERVICE_STATE_ALL, nullptr, 0, &needed, &returned, &resume))
        return TRUE;
    if (plat::LastError() != ERROR_MORE_DATA) return FALSE;

    // Allocated as records so that the entries at the front are aligned.
    const std::size_t count = (static_cast<std::size_t>(needed) + sizeof(plat::EnumServiceStatusRecord) - 1) /
                              sizeof(plat::EnumServiceStatusRecord);
    std::unique_ptr<plat::EnumServiceStatusRecord[]> buffer(new (std::nothrow) plat::EnumServiceStatusRecord[count]);
    if (!buffer) {
        plat::SetLastErrorCode(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    resume = 0;
    returned = 0;
    const BOOL result = calls.enumServices(m_hManager, SERVICE_WIN32, SERVICE_STATE_ALL, buffer.get(), needed,
                                           &needed, &returned, &resume);
    if (result) {
        // Only what fits in the buffer can have been returned.
        const DWORD entries = returned <= count ? returned : static_cast<DWORD>(count);
        for (DWORD i = 0; i < entries; ++i) {
            if (!callback(context, *this, buffer[i])) break;
        }
    }
    return result;
}

// ---------------------------------------------------------------------------
// ServiceHandle

ServiceHandle::ServiceHandle() {
    void* module = CurrentServiceManagerCalls().moduleHandle(L"ADVAPI32.DLL");
    if (module != nullptr) m_pfnChangeServiceConfig2 = CurrentServiceControlManagerCalls().findChangeConfig2(module);
}

void ServiceHandle::Attach(plat::ScHandle handle) {
    if (m_hService != nullptr && m_hService != handle) CurrentServiceControlManagerCalls().closeHandle(m_hService);
    m_hService = handle;
}

void ServiceHandle::Close() {
    if (m_hService != nullptr) CurrentServiceControlManagerCalls().closeHandle(m_hService);
    m_hService = nullptr;
}

BOOL ServiceHandle::ChangeDescription(const std::wstring& text) {
    if (m_pfnChangeServiceConfig2 == nullptr) {
        plat::SetLastErrorCode(ERROR_CALL_NOT_IMPLEMENTED);
        return FALSE;
    }
    // The call takes a writable string; it gets a copy of its own.
    std::vector<wchar_t> copy(text.begin(), text.end());
    copy.push_back(L'\0');
    plat::ServiceDescriptionRecord description{copy.data()};
    return m_pfnChangeServiceConfig2(m_hService, SERVICE_CONFIG_DESCRIPTION, &description);
}

BOOL ServiceHandle::ChangeFailureActions(DWORD restartDelay) {
    if (m_pfnChangeServiceConfig2 == nullptr) {
        plat::SetLastErrorCode(ERROR_CALL_NOT_IMPLEMENTED);
        return FALSE;
    }
    // The last action stands for every later failure as well.
    plat::ServiceActionRecord actions[3] = {
        {kActionRestart, restartDelay}, {kActionRestart, restartDelay}, {kActionRestart, restartDelay}};
    plat::ServiceFailureActionsRecord failureActions{kFailureResetSeconds, nullptr, nullptr, 3, actions};
    return m_pfnChangeServiceConfig2(m_hService, SERVICE_CONFIG_FAILURE_ACTIONS, &failureActions);
}

BOOL ServiceHandle::WaitForStatus(DWORD timeoutMilliseconds, DWORD wantedState, DWORD pollMilliseconds,
                                  plat::ServiceStatusRecord* lastStatus) {
    const ServiceControlManagerCalls& calls = CurrentServiceControlManagerCalls();
    const DWORD start = TickCount32();
    for (;;) {
        plat::ServiceStatusRecord status{};
        if (!calls.queryStatus(m_hService, &status)) return FALSE;
        if (lastStatus != nullptr) *lastStatus = status;
        if (status.currentState == wantedState) return TRUE;
        if (status.currentState == SERVICE_STOPPED) {
            plat::SetLastErrorCode(status.win32ExitCode != NO_ERROR ? status.win32ExitCode : ERROR_SERVICE_NOT_ACTIVE);
            return FALSE;
        }
        calls.sleep(pollMilliseconds);
        if (timeoutMilliseconds != INFINITE && static_cast<DWORD>(TickCount32() - start) > timeoutMilliseconds) {
            plat::SetLastErrorCode(ERROR_TIMEOUT);
            return FALSE;
        }
    }
}
