// The reusable service base class: a program derives from CNTService to run
// as a service under the system's service manager (the Windows SCM; systemd
// on POSIX), with its identity, installation settings, status towards the
// service manager, control dispatch and an event reporter.
//
// The operations are implemented in several files, one per concern:
// NTService.cpp (object, dispatch, status and controls), NTServiceParameters.cpp,
// NTServiceInstall.cpp, NTServiceControl.cpp, NTServiceCommandLine.cpp and
// NTServiceErrorText.cpp; the event-source registration in NTServiceEventSource.cpp.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/ServiceDispatch.h"
#include "platform/Types.h"
#include "service/NTEventLogSource.h"
#include "threading/Sync.h"

class CNTServiceCommandLineInfo;
class ServiceHandle;

// Thrown by a service body to end itself with the given exit codes, which the
// framework reports with SERVICE_STOPPED. Caught by reference.
class CNTServiceTerminateException {
  public:
    CNTServiceTerminateException(DWORD win32ExitCode, DWORD serviceSpecificExitCode)
        : m_dwWin32ExitCode(win32ExitCode), m_dwServiceSpecificExitCode(serviceSpecificExitCode) {}

    DWORD m_dwWin32ExitCode;
    DWORD m_dwServiceSpecificExitCode;
};

class CNTService {
  public:
    // In status reports: keep the stored checkpoint, wait hint or controls.
    static constexpr DWORD kKeep = 0xFFFFFFFF;

    // Each argument may be null, which leaves that name empty. The object
    // becomes the process's service instance, the one that the service
    // manager's callbacks reach; it must live until the dispatcher returns.
    CNTService(const wchar_t* serviceName, const wchar_t* displayName, const wchar_t* description);
    virtual ~CNTService();
    CNTService(const CNTService&) = delete;
    CNTService& operator=(const CNTService&) = delete;

    // The virtual operations, in the order of the virtual table.

    // Parameters store below the service's "Parameters" registry key.
    virtual BOOL WriteParameterString(const wchar_t* section, const wchar_t* entry, const wchar_t* value);
    virtual BOOL WriteParameterInt(const wchar_t* section, const wchar_t* entry, int value);
    virtual BOOL WriteParameterStringArray(const wchar_t* section, const wchar_t* entry,
                                           const std::vector<std::wstring>& values);
    virtual BOOL WriteParameterBinary(const wchar_t* section, const wchar_t* entry, const std::uint8_t* data,
                                      UINT byteCount);
    virtual std::wstring ReadParameterString(const wchar_t* section, const wchar_t* entry,
                                             const wchar_t* defaultValue, DWORD* error);
    virtual int ReadParameterInt(const wchar_t* section, const wchar_t* entry, int defaultValue, DWORD* error);
    virtual BOOL ReadParameterStringArray(const wchar_t* section, const wchar_t* entry,
                                          std::vector<std::wstring>& values);
    virtual BOOL ReadParameterBinary(const wchar_t* section, const wchar_t* entry,
                                     std::unique_ptr<std::uint8_t[]>& data, UINT& byteCount);

    // Command line.
    virtual void ParseCommandLine(CNTServiceCommandLineInfo& info);
    virtual DWORD ProcessCommandLine(CNTServiceCommandLineInfo& info);

    // Status: ReportStatusEx with both exit codes 0; kKeep keeps a stored value.
    virtual BOOL ReportStatus(DWORD state, DWORD checkPoint = kKeep, DWORD waitHint = kKeep,
                              DWORD controlsAccepted = kKeep);
    // ReportStatus with the current state, keeping everything else (in
    // SERVICE_STOPPED also the exit codes of that report).
    virtual BOOL ReportCurrentStatus();
    // Registers the control handler with the service manager; TRUE when it gave a status handle.
    virtual BOOL RegisterCtrlHandler();
    // Dispatches one control to its handler below, then reports the current
    // status again. The result goes back to the service manager.
    virtual DWORD HandleControl(DWORD control, DWORD eventType, void* eventData);

    // The service's own work; must report SERVICE_START_PENDING and
    // SERVICE_RUNNING itself and return (or throw CNTServiceTerminateException)
    // when the service is to stop. The base does nothing.
    virtual void ServiceMain(DWORD argc, wchar_t** argv);

    // Control handlers. The base OnStop, OnPause, OnContinue and OnShutdown
    // write the matching information event; the others do nothing.
    virtual void OnStop();
    virtual void OnPause();
    virtual void OnContinue();
    virtual void OnInterrogate();
    virtual void OnShutdown();
    virtual void OnParamChange();
    virtual DWORD OnHardwareProfileChange(DWORD eventType, void* eventData);
    virtual DWORD OnPowerEvent(DWORD eventType, void* eventData);
    virtual void OnNetBindAdd();
    virtual void OnNetBindRemove();
    virtual void OnNetBindEnable();
    virtual void OnNetBindDisable();
    virtual DWORD OnDeviceEvent(DWORD eventType, void* eventData);
    virtual void OnUserDefinedRequest(DWORD control);

    // Hands the calling thread to the service manager's dispatcher; returns
    // TRUE when the service has stopped, FALSE with the last error set when
    // the process was not started by the service manager or the call failed.
    // A service name longer than 255 characters is refused with 123
    // (ERROR_INVALID_NAME).
    virtual BOOL StartCtrlDispatcher();

    // Controlling an installed service, install and uninstall.
    virtual BOOL SetServiceToStatus(DWORD action, DWORD* error, DWORD timeoutMilliseconds, DWORD pollMilliseconds);
    virtual BOOL Install(std::wstring& message, DWORD* error);
    virtual BOOL Uninstall(std::wstring& message, DWORD* error, DWORD waitMilliseconds);
    virtual void RunAsConsole();
    virtual void ShowHelp();
    virtual BOOL EnumerateInstalledServices(std::vector<std::wstring>& names, DWORD* error);

    // Registers the control handler, runs ServiceMain, and reports
    // SERVICE_STOPPED with the exit codes of a CNTServiceTerminateException
    // (0 and 0 when ServiceMain returned).
    virtual void ExecuteServiceMain(DWORD argc, wchar_t** argv);

    // Error texts and id mapping.
    virtual std::wstring GetErrorMessage(UINT stringId, DWORD error, BOOL forEventLog);
    virtual UINT MapResourceId(UINT stringId);
    virtual DWORD MapEventId(DWORD eventId);
    virtual std::wstring GetSystemErrorText(DWORD error);

    // The one operation that changes the status fields and sends the status
    // record; kKeep for checkpoint, wait hint or controls keeps the stored value.
    virtual BOOL ReportStatusEx(DWORD state, DWORD checkPoint, DWORD waitHint, DWORD controlsAccepted,
                                DWORD win32ExitCode, DWORD serviceSpecificExitCode);

    // The dependency names, each followed by NUL, then one more NUL.
    virtual std::vector<wchar_t> BuildDependencyList();
    virtual BOOL ConsoleCtrlHandler(DWORD controlEvent);

    // The callbacks that the service manager calls; they reach the service
    // instance (the most recently constructed object that still exists).
    static void ServiceMainEntry(DWORD argc, wchar_t** argv);
    static void ControlHandlerEntry(DWORD control);
    static DWORD ControlHandlerExEntry(DWORD control, DWORD eventType, void* eventData, void* context);
    static CNTService* Instance();

    // What the rest of the program reads or sets from outside.
    CNTEventLogSource& EventLog() { return m_eventLog; }
    BOOL IsEventLogEnabled() const { return m_bEventLogEnabled; }
    const std::wstring& GetServiceName() const { return m_strServiceName; }
    const std::wstring& GetDisplayName() const { return m_strDisplayName; }
    const std::wstring& GetDescription() const { return m_strDescription; }
    void SetAppendExtraArguments(BOOL append) { m_bAppendExtraArguments = append; }

  protected:
    DWORD m_dwServiceType;
    DWORD m_dwStartType;
    DWORD m_dwErrorControl;
    std::wstring m_strLoadOrderGroup;
    std::wstring m_strUserName;
    std::wstring m_strPassword;
    std::wstring m_strEventMessageFile;
    DWORD m_dwErrorFormatForCaller;
    DWORD m_dwErrorFormatForEventLog;
    std::vector<std::wstring> m_arrDependencies;
    BOOL m_bEventLogEnabled;
    // Status fields, guarded by m_csStatus.
    plat::ServiceStatusHandle m_hStatus;
    DWORD m_dwControlsAccepted;
    DWORD m_dwCheckPoint;
    DWORD m_dwWaitHint;
    DWORD m_dwCurrentState;
    // A control answered with ERROR_CALL_NOT_IMPLEMENTED without dispatching
    // (0: none); fixed after construction, read without the lock.
    DWORD m_dwRefusedControl;
    std::wstring m_strServiceName;
    std::wstring m_strDisplayName;
    std::wstring m_strDescription;
    CNTEventLogSource m_eventLog;
    CCriticalSection m_csStatus;
    BOOL m_bFlushRegistry;
    BOOL m_bAppendExtraArguments;
    BOOL m_bAllowServiceNameOption;
    BOOL m_bAllowDescriptionOption;
    BOOL m_bAllowDisplayNameOption;
    BOOL m_bConsoleOutput;
    std::wstring m_strBinaryPathName;
    DWORD m_dwBinaryPathError = 0;  // why the executable's path was not known, if it was not
    // When not 0, Install sets failure actions: the service manager starts the
    // service again this many milliseconds after a crash (a service that
    // reports SERVICE_STOPPED with an error code stopped on purpose).
    DWORD m_dwFailureRestartDelay;
    void* m_hAdvapi32;
    plat::RegisterServiceControlHandlerExFunction m_pfnRegisterServiceCtrlHandlerEx;

    // The service-specific exit code of the service when the last
    // SetServiceToStatus failed with 1066 (ERROR_SERVICE_SPECIFIC_ERROR)
    // because the service stopped with it; 0 otherwise.
    DWORD m_dwLastServiceSpecificError = 0;

  private:
    // ProcessCommandLine's steps: a control verb (start, pause, continue,
    // stop); the registration an install makes of the command line's options;
    // a failure text, shown unless silent (on the console or in a message box).
    DWORD RunControlVerb(const CNTServiceCommandLineInfo& info);
    void TakeInstallOptions(CNTServiceCommandLineInfo& info);
    void ShowCommandLineFailure(const CNTServiceCommandLineInfo& info, const std::wstring& text) const;

    // SetServiceToStatus's steps: a failure's error code and event; the
    // request an action sends; the wait for the wanted state, which fails
    // with the service's own codes when it stopped instead (or a stop ended
    // in a failure).
    BOOL ReportControlFailure(DWORD* error, DWORD eventId, UINT stringId, DWORD code);
    BOOL SendControlRequest(const ServiceHandle& service, DWORD action, DWORD* error);
    BOOL WaitForControlResult(ServiceHandle& service, DWORD wantedState, bool requested, DWORD timeoutMilliseconds,
                              DWORD pollMilliseconds, DWORD* error);

    // The exit codes of the last SERVICE_STOPPED report, so that a repeated
    // report of the current status (after a control that raced the end of the
    // service body) repeats them instead of replacing them with 0.
    DWORD m_dwStoppedWin32ExitCode = 0;
    DWORD m_dwStoppedServiceSpecificExitCode = 0;
    // Taken while m_csStatus is still held and kept for the send, so that
    // reports reach the service manager in the order of their field updates
    // (a late send of an older state would leave it with a stale status).
    CCriticalSection m_csStatusSend;

    static std::atomic<CNTService*> sm_pInstance;
};

// Registers `sourceName` as an event source of the event log `logName`
// (below HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\EventLog, whose
// log key must exist): its key with "EventMessageFile" (REG_SZ, `messageFile`)
// and "TypesSupported" (REG_DWORD 7), and its name added once to the log's
// "Sources" list when that value exists. FALSE with the last error set to the
// failing registry status when the key or one of the two values cannot be
// written; the "Sources" list never changes the result.
BOOL InstallEventSource(const std::wstring& logName, const std::wstring& sourceName, const std::wstring& messageFile);

// Deletes the source's key and removes its first entry from the log's
// "Sources" list. FALSE with the last error set when the key cannot be
// deleted (2, ERROR_FILE_NOT_FOUND, when it is already gone).
BOOL UninstallEventSource(const std::wstring& logName, const std::wstring& sourceName);
