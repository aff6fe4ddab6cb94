// Owners of the service manager's handles: a manager handle with its optional
// database lock, and one service handle with the two operations the install
// and control code needs on it (a new description, a wait for a state).
#pragma once

#include <string>

#include "platform/ServiceManager.h"
#include "platform/Types.h"

class ServiceManagerHandle;

// Called by EnumServices for each service in turn; FALSE ends the visit.
typedef BOOL (*EnumServicesCallback)(void* context, ServiceManagerHandle& manager,
                                     const plat::EnumServiceStatusRecord& service);

class ServiceManagerHandle {
  public:
    ServiceManagerHandle() = default;
    ~ServiceManagerHandle() { Close(); }
    ServiceManagerHandle(const ServiceManagerHandle&) = delete;
    ServiceManagerHandle& operator=(const ServiceManagerHandle&) = delete;

    // Opens the manager of this computer's active database; FALSE with the last error set.
    BOOL Open(DWORD desiredAccess);
    // Locks the manager's database until Close; FALSE with the last error set.
    BOOL Lock();
    // Unlocks a held lock, then closes the manager handle.
    void Close();

    plat::ScHandle Get() const { return m_hManager; }
    bool IsLocked() const { return m_hLock != nullptr; }

    // Visits every Win32 service with one buffer-full of the manager's list.
    // TRUE when the list was read (also when it is empty), FALSE with the last
    // error set when it could not be.
    BOOL EnumServices(EnumServicesCallback callback, void* context);

  private:
    plat::ScHandle m_hManager = nullptr;
    plat::ScLock m_hLock = nullptr;
};

class ServiceHandle {
  public:
    ServiceHandle();
    ~ServiceHandle() { Close(); }
    ServiceHandle(const ServiceHandle&) = delete;
    ServiceHandle& operator=(const ServiceHandle&) = delete;

    // Takes ownership of `handle`, closing a different handle held before.
    void Attach(plat::ScHandle handle);
    void Close();
    plat::ScHandle Get() const { return m_hService; }

    // Sets the service's description; FALSE with the last error set (120,
    // ERROR_CALL_NOT_IMPLEMENTED, when the system has no ChangeServiceConfig2W).
    BOOL ChangeDescription(const std::wstring& text);
    // Failure actions: restart the service `restartDelay` milliseconds after
    // each crash (its process ended without reporting SERVICE_STOPPED); the
    // count of crashes starts again after a day without one. FALSE with the
    // last error set (the handle needs SERVICE_CHANGE_CONFIG and SERVICE_START).
    BOOL ChangeFailureActions(DWORD restartDelay);

    // Polls the service's state every `pollMilliseconds` until it equals
    // `wantedState` (TRUE). FALSE with the last error of the failed status
    // query, or with 1460 (ERROR_TIMEOUT) once more than `timeoutMilliseconds`
    // have passed after a poll; 0xFFFFFFFF waits for ever. The state is tested
    // once before the first sleep. A service that is stopped while another
    // state is wanted will not get there by itself: FALSE at once, with its
    // Win32 exit code (1062, ERROR_SERVICE_NOT_ACTIVE, when that is 0).
    // `lastStatus`, when given, receives the last status read.
    BOOL WaitForStatus(DWORD timeoutMilliseconds, DWORD wantedState, DWORD pollMilliseconds,
                       plat::ServiceStatusRecord* lastStatus = nullptr);

  private:
    plat::ScHandle m_hService = nullptr;
    plat::ChangeServiceConfig2Function m_pfnChangeServiceConfig2 = nullptr;
};
