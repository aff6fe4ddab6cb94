// The service object: construction, the single instance that the callbacks
// reach, the dispatcher table, handler registration and the service body's end.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "platform/ServiceCodes.h"
#include "platform/Win32Codes.h"
#include "service/ServiceFakes.h"

namespace {

// Reads the settings a derived class may change.
class SettingsProbe : public ProbeService {
  public:
    using ProbeService::ProbeService;
    using CNTService::m_bAllowDescriptionOption;
    using CNTService::m_bAllowDisplayNameOption;
    using CNTService::m_bAllowServiceNameOption;
    using CNTService::m_bAppendExtraArguments;
    using CNTService::m_bConsoleOutput;
    using CNTService::m_bFlushRegistry;
    using CNTService::m_dwErrorControl;
    using CNTService::m_dwErrorFormatForCaller;
    using CNTService::m_dwErrorFormatForEventLog;
    using CNTService::m_dwStartType;
    using CNTService::m_eventLog;
    using CNTService::m_hAdvapi32;
    using CNTService::m_pfnRegisterServiceCtrlHandlerEx;
    using CNTService::m_strServiceName;
};

TEST(ServiceObject, ConstructionGivesTheDocumentedSettings) {
    FakeServiceManager manager;
    SettingsProbe service(L"Name", L"Display Name", L"Description");
    EXPECT_EQ(service.GetServiceName(), L"Name");
    EXPECT_EQ(service.GetDisplayName(), L"Display Name");
    EXPECT_EQ(service.GetDescription(), L"Description");
    EXPECT_EQ(service.m_eventLog.GetSourceName(), L"Display Name");
    EXPECT_EQ(service.m_eventLog.GetLogName(), L"Application");
    EXPECT_EQ(service.m_dwServiceType, SERVICE_WIN32_OWN_PROCESS);
    EXPECT_EQ(service.m_dwStartType, SERVICE_DEMAND_START);
    EXPECT_EQ(service.m_dwErrorControl, SERVICE_ERROR_IGNORE);
    EXPECT_EQ(service.m_dwErrorFormatForCaller, 4u);
    EXPECT_EQ(service.m_dwErrorFormatForEventLog, 1u);
    EXPECT_TRUE(service.m_bEventLogEnabled);
    EXPECT_EQ(service.m_hStatus, nullptr);
    EXPECT_EQ(service.m_dwControlsAccepted, SERVICE_ACCEPT_STOP);
    EXPECT_EQ(service.m_dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(service.m_dwCheckPoint, 0u);
    EXPECT_EQ(service.m_dwWaitHint, 0u);
    EXPECT_EQ(service.m_dwRefusedControl, 0u);
    EXPECT_TRUE(service.m_bFlushRegistry);
    EXPECT_FALSE(service.m_bAppendExtraArguments || service.m_bAllowServiceNameOption ||
                 service.m_bAllowDescriptionOption || service.m_bAllowDisplayNameOption || service.m_bConsoleOutput);
    EXPECT_NE(service.m_hAdvapi32, nullptr);
    EXPECT_NE(service.m_pfnRegisterServiceCtrlHandlerEx, nullptr);
}

TEST(ServiceObject, NullNamesGiveEmptyNamesAndAnEmptySource) {
    FakeServiceManager manager;
    SettingsProbe service(nullptr, nullptr, nullptr);
    EXPECT_EQ(service.GetServiceName(), L"");
    EXPECT_EQ(service.GetDisplayName(), L"");
    EXPECT_EQ(service.GetDescription(), L"");
    EXPECT_EQ(service.m_eventLog.GetSourceName(), L"");
}

TEST(ServiceObject, TheCallbacksReachTheMostRecentObjectAndNothingAfterItIsGone) {
    FakeEventLog eventLog;
    FakeServiceManager manager;
    ProbeService first(L"First");
    {
        ProbeService second(L"Second");
        EXPECT_EQ(CNTService::Instance(), &second);
        CNTService::ServiceMainEntry(0, nullptr);
        EXPECT_TRUE(first.calls.empty());
        EXPECT_EQ(second.calls, std::vector<std::string>{"ServiceMain"});
        EXPECT_EQ(manager.registeredName, L"Second");

        CNTService::ControlHandlerEntry(SERVICE_CONTROL_PAUSE);
        EXPECT_EQ(CNTService::ControlHandlerExEntry(SERVICE_CONTROL_POWEREVENT, 3, nullptr, nullptr), 1013u);
        EXPECT_TRUE(first.calls.empty());
        EXPECT_EQ(second.calls.size(), 3u);
    }
    // The designated object is gone: the callbacks must not reach freed memory.
    EXPECT_EQ(CNTService::Instance(), nullptr);
    CNTService::ServiceMainEntry(0, nullptr);
    CNTService::ControlHandlerEntry(SERVICE_CONTROL_STOP);
    EXPECT_EQ(CNTService::ControlHandlerExEntry(SERVICE_CONTROL_STOP, 0, nullptr, nullptr),
              ERROR_CALL_NOT_IMPLEMENTED);
    EXPECT_TRUE(first.calls.empty());
}

TEST(ServiceObject, DispatcherTableHandsOverNamesUpTo255CharactersWhole) {
    FakeEventLog eventLog;
    FakeServiceManager manager;
    const std::wstring longest(255, L'n');
    SettingsProbe service(longest.c_str());
    EXPECT_TRUE(service.StartCtrlDispatcher());
    EXPECT_EQ(manager.dispatchedName, longest);
    EXPECT_TRUE(manager.tableTerminated);
    EXPECT_EQ(service.calls, std::vector<std::string>{"ServiceMain"});

    // One character more does not fit the table's buffer: refused, not cut.
    service.m_strServiceName = std::wstring(256, L'n');
    plat::SetLastErrorCode(0);
    EXPECT_FALSE(service.StartCtrlDispatcher());
    EXPECT_EQ(plat::LastError(), ERROR_INVALID_NAME);
    EXPECT_EQ(manager.dispatcherCalls, 1);
}

TEST(ServiceObject, DispatcherFailureIsReturnedWithItsError) {
    FakeServiceManager manager;
    manager.dispatcherResult = FALSE;
    manager.dispatcherError = ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
    ProbeService service;
    EXPECT_FALSE(service.StartCtrlDispatcher());
    EXPECT_EQ(plat::LastError(), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    EXPECT_TRUE(service.calls.empty());
}

TEST(ServiceObject, TheEndOfTheServiceBodyIsOneStoppedReportWithItsExitCodes) {
    FakeEventLog eventLog;
    FakeServiceManager manager;
    ProbeService service;
    const plat::ServiceStatusRecord stopped{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0};

    // Returning normally: exit codes 0, and the accepted controls cleared.
    service.body = [&](DWORD, wchar_t**) { service.ReportStatus(SERVICE_START_PENDING, 1, 1000); };
    EXPECT_TRUE(service.StartCtrlDispatcher());
    auto reports = manager.Reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1], stopped);
    EXPECT_EQ(service.m_dwControlsAccepted, 0u);
    EXPECT_EQ(manager.registeredName, L"ProbeService");
    EXPECT_TRUE(manager.registeredExtended);
    EXPECT_EQ(manager.registeredContext, nullptr);

    // Ending with CNTServiceTerminateException(a, b).
    manager.ClearReports();
    service.body = [](DWORD, wchar_t**) { throw CNTServiceTerminateException(1066, 42); };
    EXPECT_TRUE(service.StartCtrlDispatcher());
    reports = manager.Reports();
    ASSERT_EQ(reports.size(), 1u);
    plat::ServiceStatusRecord failed = stopped;
    failed.win32ExitCode = 1066;
    failed.serviceSpecificExitCode = 42;
    EXPECT_EQ(reports[0], failed);

    // Any other exception would have ended the process on the service
    // manager's thread: it is reported as a failed stop instead.
    manager.ClearReports();
    service.body = [](DWORD, wchar_t**) { throw std::runtime_error("unexpected"); };
    EXPECT_TRUE(service.StartCtrlDispatcher());
    reports = manager.Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].currentState, SERVICE_STOPPED);
    EXPECT_EQ(reports[0].win32ExitCode, ERROR_EXCEPTION_IN_SERVICE);
}

TEST(ServiceObject, FailedRegistrationStillRunsTheBodyButSendsNothing) {
    FakeEventLog eventLog;
    FakeServiceManager manager;
    manager.registrationFails = true;
    ProbeService service;
    service.body = [&](DWORD argc, wchar_t** argv) {
        EXPECT_EQ(argc, 1u);
        EXPECT_EQ(std::wstring(argv[0]), L"ProbeService");
        EXPECT_FALSE(service.ReportStatus(SERVICE_RUNNING));
    };
    EXPECT_TRUE(service.StartCtrlDispatcher());
    EXPECT_EQ(service.calls, std::vector<std::string>{"ServiceMain"});
    EXPECT_TRUE(manager.Reports().empty());
    EXPECT_EQ(service.m_dwCurrentState, SERVICE_STOPPED);
}

TEST(ServiceObject, WithoutTheExtendedRegistrationThePlainHandlerDeliversEveryControl) {
    FakeEventLog eventLog;
    FakeServiceManager manager;
    manager.exportsExtendedRegistration = false;
    SettingsProbe service;
    EXPECT_EQ(service.m_pfnRegisterServiceCtrlHandlerEx, nullptr);
    ASSERT_TRUE(service.RegisterCtrlHandler());
    EXPECT_FALSE(manager.registeredExtended);
    ASSERT_NE(manager.plainHandler, nullptr);
    manager.plainHandler(SERVICE_CONTROL_DEVICEEVENT);
    manager.plainHandler(200);
    EXPECT_EQ(service.calls, (std::vector<std::string>{"OnDeviceEvent 0 null", "OnUserDefinedRequest 200"}));
    EXPECT_EQ(manager.Reports().size(), 2u);
}

}  // namespace
