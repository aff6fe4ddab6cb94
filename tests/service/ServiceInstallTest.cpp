// Install, Uninstall, EnumerateInstalledServices and the handle owners against a service control manager in memory.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/ProcessArguments.h"
#include "platform/ServiceCodes.h"
#include "platform/Win32Codes.h"
#include "service/FakeServiceControlManager.h"
#include "service/NTServiceCommandLineInfo.h"
#include "service/ScmTestService.h"
#include "service/ServiceFakes.h"
#include "service/ServiceManagerHandle.h"

namespace {

using Strings = std::vector<std::string>;
using WStrings = std::vector<std::wstring>;

class ServiceInstallTest : public ::testing::Test {
  protected:
    ServiceInstallTest() {
        service.m_strBinaryPathName = L"\"C:\\Program Files\\Velmora\\VelmoraService.exe\" -serverport:8080";
    }

    FakeEventLog eventLog;
    FakeServiceControlManager scm;
    ScmTestService service;
    std::wstring message = L"left over";
    DWORD error = 777;
};

// ---------------------------------------------------------------------------
// Install

TEST_F(ServiceInstallTest, InstallCreatesRegistersDescribesAndReleasesHandlesInOrder) {
    ASSERT_TRUE(service.Install(message, &error));
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(message, L"");
    EXPECT_EQ(scm.calls, (Strings{
                             "OpenSCManager ServicesActive 0xA",
                             "LockServiceDatabase manager",
                             "CreateService VelmoraProbe",
                             "InstallEventSource",
                             "ChangeServiceConfig2 service VelmoraProbe 1 Probe description",
                             "CloseServiceHandle service VelmoraProbe",
                             "UnlockServiceDatabase lock",
                             "CloseServiceHandle manager",
                         }));
    ASSERT_EQ(scm.creates.size(), 1u);
    const auto& create = scm.creates[0];
    EXPECT_EQ(create.displayName, L"Velmora Probe");
    EXPECT_EQ(create.access, 0x0002u);
    EXPECT_EQ(create.type, SERVICE_WIN32_OWN_PROCESS);
    EXPECT_EQ(create.start, SERVICE_DEMAND_START);
    EXPECT_EQ(create.errorControl, SERVICE_ERROR_IGNORE);
    EXPECT_EQ(create.binaryPath, service.m_strBinaryPathName);
    EXPECT_TRUE(create.tagIdNull);
    // Empty group, account and password go as null: the service runs as LocalSystem.
    EXPECT_FALSE(create.group.has_value());
    EXPECT_FALSE(create.user.has_value());
    EXPECT_FALSE(create.password.has_value());
    EXPECT_EQ(create.dependencies, std::vector<wchar_t>{L'\0'});
    // The message file defaults to the executable's path with "DLL" for its extension.
    EXPECT_EQ(scm.eventSources,
              Strings{"install Application|Velmora Probe|C:\\Program Files\\Velmora\\VelmoraService.DLL"});
    EXPECT_EQ(service.m_strEventMessageFile, L"C:\\Program Files\\Velmora\\VelmoraService.DLL");
    // The description is handed over in a copy of its own.
    EXPECT_NE(scm.lastDescriptionBuffer, service.m_strDescription.c_str());

    const auto events = eventLog.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(events[0].id, 0x40000002u);
    EXPECT_EQ(events[0].strings, WStrings{L"Velmora Probe"});
    EXPECT_EQ(scm.OpenHandles(), 0);
}

TEST_F(ServiceInstallTest, InstallPassesGroupDependenciesAndAccountAndWipesTheAccountAfterwards) {
    service.m_strLoadOrderGroup = L"NetworkProvider";
    service.m_arrDependencies = {L"A", L"B"};
    service.m_dwStartType = SERVICE_AUTO_START;
    service.m_strUserName = L"velmora-service-account";
    service.m_strPassword = L"a password long enough to live on the heap";
    const wchar_t* userBuffer = service.m_strUserName.data();
    const wchar_t* passwordBuffer = service.m_strPassword.data();
    const std::size_t passwordLength = service.m_strPassword.size();

    ASSERT_TRUE(service.Install(message, &error));
    const auto& create = scm.creates.at(0);
    EXPECT_EQ(create.start, SERVICE_AUTO_START);
    EXPECT_EQ(create.group, std::optional<std::wstring>(L"NetworkProvider"));
    EXPECT_EQ(create.dependencies, (std::vector<wchar_t>{L'A', L'\0', L'B', L'\0', L'\0'}));
    EXPECT_EQ(create.user, std::optional<std::wstring>(L"velmora-service-account"));
    EXPECT_EQ(create.password, std::optional<std::wstring>(L"a password long enough to live on the heap"));

    EXPECT_EQ(service.m_strUserName, L"");
    EXPECT_EQ(service.m_strPassword, L"");
    // The characters were overwritten in place, not only forgotten.
    ASSERT_EQ(service.m_strPassword.data(), passwordBuffer);
    ASSERT_EQ(service.m_strUserName.data(), userBuffer);
    for (std::size_t i = 0; i < passwordLength; ++i) EXPECT_EQ(passwordBuffer[i], L'\0') << i;
}

TEST_F(ServiceInstallTest, TheAccountIsWipedWhateverStepFails) {
    for (const char* failing : {"OpenSCManager", "LockServiceDatabase", "CreateService", "InstallEventSource", ""}) {
        SCOPED_TRACE(failing);
        FakeServiceControlManager localScm;
        if (*failing) localScm.failures[failing] = 5;
        service.m_strUserName = L"account";
        service.m_strPassword = L"secret";
        service.Install(message, &error);
        EXPECT_EQ(service.m_strUserName, L"");
        EXPECT_EQ(service.m_strPassword, L"");
        EXPECT_EQ(localScm.OpenHandles(), 0);
    }
}

TEST_F(ServiceInstallTest, InstallFailuresGiveTheirMessageTheCallersErrorAndNoEvent) {
    struct Case {
        const char* call;
        DWORD code;
        const wchar_t* message;
        Strings lastCalls;
    };
    const Case cases[] = {
        {"OpenSCManager", 5, L"<1501 5 caller>", {"OpenSCManager ServicesActive 0xA"}},
        {"LockServiceDatabase", 1055, L"<1502 1055 caller>", {"LockServiceDatabase manager", "CloseServiceHandle manager"}},
        {"CreateService", 1073, L"<1503 1073 caller>",
         {"CreateService VelmoraProbe", "UnlockServiceDatabase lock", "CloseServiceHandle manager"}},
        {"InstallEventSource", 2, L"<1504 2 caller>",
         {"InstallEventSource", "CloseServiceHandle service VelmoraProbe", "UnlockServiceDatabase lock",
          "CloseServiceHandle manager"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.call);
        FakeEventLog localLog;
        FakeServiceControlManager localScm;
        localScm.failures[c.call] = c.code;
        message = L"left over";
        error = 777;
        EXPECT_FALSE(service.Install(message, &error));
        EXPECT_EQ(error, c.code);
        EXPECT_EQ(message, c.message);
        ASSERT_GE(localScm.calls.size(), c.lastCalls.size());
        EXPECT_EQ(Strings(localScm.calls.end() - static_cast<std::ptrdiff_t>(c.lastCalls.size()), localScm.calls.end()),
                  c.lastCalls);
        EXPECT_TRUE(localLog.Events().empty());
        EXPECT_EQ(localScm.OpenHandles(), 0);
    }
}

// Without the program's path the options alone would be registered as the
// command line: -install refuses with the reason the system gave, and an
// Install without a path registers nothing.
TEST_F(ServiceInstallTest, NoServiceIsRegisteredWithoutTheProgramsPath) {
    scm.failures["ExecutablePath"] = ERROR_ACCESS_DENIED;
    plat::SetProcessArguments({L"program", L"-install", L"-silent", L"-serverport:8080"});
    CNTServiceCommandLineInfo info;
    service.ParseCommandLine(info);
    EXPECT_EQ(service.ProcessCommandLine(info), ERROR_ACCESS_DENIED);
    EXPECT_EQ(service.m_strBinaryPathName, L"");

    ScmTestService withoutPath;
    EXPECT_FALSE(withoutPath.Install(message, &error));
    EXPECT_EQ(error, ERROR_INVALID_PARAMETER);
    EXPECT_EQ(message, L"<1503 87 caller>");
    EXPECT_TRUE(scm.calls.empty());
    EXPECT_TRUE(eventLog.Events().empty());
}

TEST_F(ServiceInstallTest, AFailedEventSourceLeavesTheServiceInstalledWithoutDescription) {
    scm.failures["InstallEventSource"] = 13;
    EXPECT_FALSE(service.Install(message, &error));
    ASSERT_EQ(scm.services.count(L"VelmoraProbe"), 1u);
    EXPECT_EQ(scm.services[L"VelmoraProbe"].description, L"");
    EXPECT_EQ(scm.CountCalls("ChangeServiceConfig2"), 0u);
}

TEST_F(ServiceInstallTest, DescriptionIsOptionalAndItsFailureOrAbsenceDoesNotFailTheInstall) {
    service.m_strDescription.clear();
    ASSERT_TRUE(service.Install(message, &error));
    EXPECT_EQ(scm.CountCalls("ChangeServiceConfig2"), 0u);

    FakeServiceControlManager withoutChangeConfig2;
    withoutChangeConfig2.exportsChangeConfig2 = false;
    service.m_strDescription = L"text";
    EXPECT_TRUE(service.Install(message, &error));
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(withoutChangeConfig2.CountCalls("ChangeServiceConfig2"), 0u);

    FakeServiceControlManager failingChangeConfig2;
    failingChangeConfig2.failures["ChangeServiceConfig2"] = 5;
    EXPECT_TRUE(service.Install(message, &error));
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(message, L"");
}

TEST_F(ServiceInstallTest, ARestartDelaySetsFailureActions) {
    service.m_dwFailureRestartDelay = 5000;
    ASSERT_TRUE(service.Install(message, &error));
    EXPECT_EQ(scm.creates.at(0).access, 0x0012u);  // restarting needs SERVICE_START
    EXPECT_EQ(Strings(scm.calls.begin() + 4, scm.calls.begin() + 6),
              (Strings{"ChangeServiceConfig2 service VelmoraProbe 1 Probe description",
                       "ChangeServiceConfig2 service VelmoraProbe 2 reset 86400 1/5000 1/5000 1/5000"}));
}

// The install asks of a manager what that manager keeps: the description
// goes with the create where the manager writes the whole definition at once
// (systemd), failure actions and the right to start that they need only where
// the manager keeps them (Windows).
TEST_F(ServiceInstallTest, TheManagersTraitsDecideHowDescriptionAndFailureActionsAreSet) {
    const std::string describe = "ChangeServiceConfig2 service VelmoraProbe 1 Probe description";
    const std::string restart = "ChangeServiceConfig2 service VelmoraProbe 2 reset 86400 1/5000 1/5000 1/5000";
    struct Case {
        bool takesDescriptionAtCreation, keepsFailureActions;
        std::optional<std::wstring> descriptionAtCreate;
        DWORD access;
        Strings changes;
    };
    const Case cases[] = {
        {false, true, std::nullopt, 0x0012, {describe, restart}},
        {true, false, L"Probe description", 0x0002, {}},
        {false, false, std::nullopt, 0x0002, {describe}},
        {true, true, L"Probe description", 0x0012, {restart}},
    };
    service.m_dwFailureRestartDelay = 5000;
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.takesDescriptionAtCreation << c.keepsFailureActions);
        FakeServiceControlManager localScm;
        localScm.takesDescriptionAtCreation = c.takesDescriptionAtCreation;
        localScm.keepsFailureActions = c.keepsFailureActions;
        ASSERT_TRUE(service.Install(message, &error));
        EXPECT_EQ(localScm.creates.at(0).description, c.descriptionAtCreate);
        EXPECT_EQ(localScm.creates.at(0).access, c.access);
        Strings changes;
        for (const std::string& call : localScm.calls)
            if (call.rfind("ChangeServiceConfig2", 0) == 0) changes.push_back(call);
        EXPECT_EQ(changes, c.changes);
        EXPECT_EQ(localScm.services.at(L"VelmoraProbe").description, L"Probe description");
    }
}

TEST_F(ServiceInstallTest, MessageFileDefaultKeepsFolderAndNameAndReplacesOnlyTheExtension) {
    struct Case {
        const wchar_t* executable;
        const wchar_t* messageFile;
    };
    const Case cases[] = {
        {L"C:\\Velmora\\VelmoraService.exe", L"C:\\Velmora\\VelmoraService.DLL"},
        {L"/usr/lib/velmora.d/VelmoraService", L"/usr/lib/velmora.d/VelmoraService.DLL"},
        {L"/opt/v/Velmora.Service.bin", L"/opt/v/Velmora.Service.DLL"},
        {L"C:Velmora.exe", L"C:Velmora.DLL"},
    };
    for (const Case& c : cases) {
        FakeServiceControlManager localScm;
        localScm.executablePath = c.executable;
        service.m_strEventMessageFile.clear();
        ASSERT_TRUE(service.Install(message, &error));
        EXPECT_EQ(service.m_strEventMessageFile, c.messageFile);
    }
    // A message file that is set is registered as it is.
    FakeServiceControlManager localScm;
    service.m_strEventMessageFile = L"D:\\Messages.dll";
    ASSERT_TRUE(service.Install(message, &error));
    EXPECT_EQ(localScm.eventSources, Strings{"install Application|Velmora Probe|D:\\Messages.dll"});
}

TEST_F(ServiceInstallTest, WithoutTheEventLogNoSourceIsRegisteredAndNoEventWritten) {
    service.m_bEventLogEnabled = FALSE;
    ASSERT_TRUE(service.Install(message, &error));
    EXPECT_TRUE(scm.eventSources.empty());
    EXPECT_TRUE(eventLog.Events().empty());
    EXPECT_EQ(service.m_strEventMessageFile, L"");
}

TEST_F(ServiceInstallTest, MessageAndEventIdsPassThroughTheMapping) {
    service.resourceOffset = 1000;
    service.eventOffset = 0x100;
    ASSERT_TRUE(service.Install(message, &error));
    EXPECT_EQ(eventLog.Events().at(0).id, 0x40000102u);

    FakeServiceControlManager failing;
    failing.failures["CreateService"] = 1073;
    service.Install(message, &error);
    EXPECT_EQ(message, L"<2503 1073 caller>");
}

// ---------------------------------------------------------------------------
// Uninstall

class ServiceUninstallTest : public ServiceInstallTest {
  protected:
    void SetUp() override { scm.services[L"VelmoraProbe"].displayName = L"Velmora Probe"; }
    FakeServiceControlManager::Service& Installed() { return scm.services.at(L"VelmoraProbe"); }
};

TEST_F(ServiceUninstallTest, AStoppedServiceIsDeletedWithoutAStopRequestOrAWait) {
    ASSERT_TRUE(service.Uninstall(message, &error, 5000));
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(message, L"");
    EXPECT_EQ(scm.calls, (Strings{
                             "OpenSCManager ServicesActive 0x1",
                             "OpenService VelmoraProbe 0x10024",
                             "QueryServiceStatus service VelmoraProbe",
                             "DeleteService service VelmoraProbe",
                             "UninstallEventSource",
                             "CloseServiceHandle service VelmoraProbe",
                             "CloseServiceHandle manager",
                         }));
    EXPECT_EQ(scm.services.count(L"VelmoraProbe"), 0u);
    EXPECT_EQ(scm.eventSources, Strings{"uninstall Application|Velmora Probe"});
    EXPECT_TRUE(eventLog.Events().empty());  // no event for a successful uninstall
}

TEST_F(ServiceUninstallTest, ARunningServiceIsStoppedAndWaitedForEveryQuarterSecond) {
    Installed().state = SERVICE_RUNNING;
    Installed().afterStop = {SERVICE_STOP_PENDING, SERVICE_STOP_PENDING, SERVICE_STOPPED};
    ASSERT_TRUE(service.Uninstall(message, &error, 5000));
    EXPECT_EQ(scm.calls, (Strings{
                             "OpenSCManager ServicesActive 0x1",
                             "OpenService VelmoraProbe 0x10024",
                             "QueryServiceStatus service VelmoraProbe",
                             "ControlService service VelmoraProbe 1",
                             "QueryServiceStatus service VelmoraProbe",
                             "Sleep 250",
                             "QueryServiceStatus service VelmoraProbe",
                             "Sleep 250",
                             "QueryServiceStatus service VelmoraProbe",
                             "Sleep 250",
                             "QueryServiceStatus service VelmoraProbe",
                             "DeleteService service VelmoraProbe",
                             "UninstallEventSource",
                             "CloseServiceHandle service VelmoraProbe",
                             "CloseServiceHandle manager",
                         }));
}

TEST_F(ServiceUninstallTest, AServiceThatWillNotStopFailsWith1460And1507AndStaysInstalled) {
    Installed().state = SERVICE_RUNNING;
    Installed().afterStop = {SERVICE_RUNNING};  // accepts the stop request, then goes on running
    EXPECT_FALSE(service.Uninstall(message, &error, 1000));
    EXPECT_EQ(error, ERROR_TIMEOUT);
    EXPECT_EQ(message, L"<1507 1460 caller>");
    EXPECT_EQ(scm.services.count(L"VelmoraProbe"), 1u);
    EXPECT_EQ(scm.CountCalls("DeleteService"), 0u);
    EXPECT_TRUE(scm.eventSources.empty());
    EXPECT_TRUE(eventLog.Events().empty());
    // The time-out is tested after each sleep: the wait gives up after the
    // first poll that is more than the time-out after its start.
    EXPECT_EQ(scm.CountCalls("Sleep"), 5u);
    EXPECT_EQ(scm.now - FakeServiceControlManager::kStartTick, 1250u);
    EXPECT_EQ(scm.OpenHandles(), 0);
}

TEST_F(ServiceUninstallTest, AFailedStopRequestIsReportedButTheUninstallGoesOn) {
    Installed().state = SERVICE_STOP_PENDING;  // stopping already: the stop request is refused
    scm.failures["ControlService"] = 1061;
    ASSERT_TRUE(service.Uninstall(message, &error, 5000));
    EXPECT_EQ(error, 1061u);
    EXPECT_EQ(message, L"<1516 1061 caller>");
    EXPECT_EQ(scm.services.count(L"VelmoraProbe"), 0u);
}

TEST_F(ServiceUninstallTest, ARefusedStopStaysTheReportedFailure) {
    // Refused for want of rights: nothing to wait for, the service stays.
    Installed().state = SERVICE_RUNNING;
    scm.failures["ControlService"] = 5;
    EXPECT_FALSE(service.Uninstall(message, &error, 5000));
    EXPECT_EQ(error, 5u);
    EXPECT_EQ(message, L"<1516 5 caller>");
    EXPECT_EQ(scm.CountCalls("Sleep"), 0u);
    EXPECT_EQ(scm.services.count(L"VelmoraProbe"), 1u);
    // Refused while stopping, and the stop does not come: the wait's failure does not replace it.
    Installed().state = SERVICE_STOP_PENDING;
    Installed().afterStop = {SERVICE_STOP_PENDING};
    scm.failures["ControlService"] = 1061;
    EXPECT_FALSE(service.Uninstall(message, &error, 500));
    EXPECT_EQ(error, 1061u);
    EXPECT_EQ(message, L"<1516 1061 caller>");
    EXPECT_EQ(scm.services.count(L"VelmoraProbe"), 1u);
    EXPECT_EQ(scm.OpenHandles(), 0);
}

TEST_F(ServiceUninstallTest, AServiceWhoseStatusCannotBeReadIsDeletedWithoutAStopAttempt) {
    Installed().state = SERVICE_RUNNING;
    scm.failures["QueryServiceStatus"] = 5;
    ASSERT_TRUE(service.Uninstall(message, &error, 5000));
    EXPECT_EQ(scm.CountCalls("ControlService"), 0u);
    EXPECT_EQ(scm.CountCalls("DeleteService"), 1u);
}

TEST_F(ServiceUninstallTest, FailuresGiveTheirMessageAndTheirEvent) {
    struct Case {
        const char* call;
        DWORD code;
        const wchar_t* message;
        DWORD eventId;  // 0: none
        const wchar_t* eventText;
    };
    const Case cases[] = {
        {"OpenSCManager", 5, L"<1505 5 caller>", 0xC0000006, L"<1505 5 event>"},
        {"OpenService", 1060, L"<1506 1060 caller>", 0xC0000007, L"<1506 1060 event>"},
        {"DeleteService", 1072, L"<1508 1072 caller>", 0xC0000008, L"<1508 1072 event>"},
        {"UninstallEventSource", 2, L"<1509 2 caller>", 0, nullptr},
    };
    for (const bool eventsEnabled : {true, false}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.call) + (eventsEnabled ? " with events" : " without events"));
            FakeEventLog localLog;
            FakeServiceControlManager localScm;
            localScm.services[L"VelmoraProbe"].displayName = L"Velmora Probe";
            localScm.failures[c.call] = c.code;
            service.m_bEventLogEnabled = eventsEnabled;
            if (!eventsEnabled && std::string(c.call) == "UninstallEventSource") {
                // Without the event log there is no source to remove.
                EXPECT_TRUE(service.Uninstall(message, &error, 5000));
                continue;
            }
            EXPECT_FALSE(service.Uninstall(message, &error, 5000));
            EXPECT_EQ(error, c.code);
            EXPECT_EQ(message, c.message);
            const auto events = localLog.Events();
            if (c.eventId != 0 && eventsEnabled) {
                ASSERT_EQ(events.size(), 1u);
                EXPECT_EQ(events[0].type, EVENTLOG_ERROR_TYPE);
                EXPECT_EQ(events[0].id, c.eventId);
                EXPECT_EQ(events[0].strings, WStrings{c.eventText});
            } else {
                EXPECT_TRUE(events.empty());
            }
            EXPECT_EQ(localScm.OpenHandles(), 0);
        }
    }
}

TEST_F(ServiceUninstallTest, WithoutTheEventLogTheSourceIsLeftAlone) {
    service.m_bEventLogEnabled = FALSE;
    ASSERT_TRUE(service.Uninstall(message, &error, 5000));
    EXPECT_TRUE(scm.eventSources.empty());
}

// ---------------------------------------------------------------------------
// The handle owners

TEST_F(ServiceUninstallTest, WaitForStatusTestsTheStateOnceBeforeTheFirstSleep) {
    ServiceManagerHandle manager;
    ASSERT_TRUE(manager.Open(0x1));
    ServiceHandle handle;
    handle.Attach(CurrentServiceControlManagerCalls().openService(manager.Get(), L"VelmoraProbe", 0x4));
    scm.calls.clear();
    EXPECT_TRUE(handle.WaitForStatus(0, SERVICE_STOPPED, 250));
    EXPECT_EQ(scm.calls, Strings{"QueryServiceStatus service VelmoraProbe"});

    // A stopped service does not get to another state by itself: no sleep at all.
    scm.calls.clear();
    EXPECT_FALSE(handle.WaitForStatus(INFINITE, SERVICE_RUNNING, 10));
    EXPECT_EQ(plat::LastError(), 1062u);
    EXPECT_EQ(scm.calls, Strings{"QueryServiceStatus service VelmoraProbe"});

    // With a time-out of 0 a state that is not there fails after one sleep.
    Installed().state = SERVICE_PAUSED;
    scm.calls.clear();
    EXPECT_FALSE(handle.WaitForStatus(0, SERVICE_RUNNING, 10));
    EXPECT_EQ(plat::LastError(), ERROR_TIMEOUT);
    EXPECT_EQ(scm.calls, (Strings{"QueryServiceStatus service VelmoraProbe", "Sleep 10"}));

    // A failed query ends the wait with its own error.
    scm.failures["QueryServiceStatus"] = 1722;
    EXPECT_FALSE(handle.WaitForStatus(INFINITE, SERVICE_RUNNING, 10));
    EXPECT_EQ(plat::LastError(), 1722u);
}

TEST_F(ServiceUninstallTest, WaitForStatusCountsTimeInUnsignedThirtyTwoBitsAcrossTheWrap) {
    scm.now = 0xFFFFFFFFull - 300;  // the 32-bit tick count wraps during the wait
    SetTickCountForTests(scm.now);
    Installed().state = SERVICE_RUNNING;
    ServiceManagerHandle manager;
    ASSERT_TRUE(manager.Open(0x1));
    ServiceHandle handle;
    handle.Attach(CurrentServiceControlManagerCalls().openService(manager.Get(), L"VelmoraProbe", 0x4));
    const std::uint64_t start = scm.now;
    EXPECT_FALSE(handle.WaitForStatus(1000, SERVICE_STOPPED, 250));
    EXPECT_EQ(plat::LastError(), ERROR_TIMEOUT);
    EXPECT_EQ(scm.now - start, 1250u);
}

TEST_F(ServiceUninstallTest, WaitForStatusForeverPollsUntilTheStateComes) {
    Installed().state = SERVICE_START_PENDING;
    Installed().afterStart = std::deque<DWORD>(400, SERVICE_START_PENDING);
    Installed().afterStart.push_back(SERVICE_RUNNING);
    ServiceManagerHandle manager;
    ASSERT_TRUE(manager.Open(0x1));
    ServiceHandle handle;
    handle.Attach(CurrentServiceControlManagerCalls().openService(manager.Get(), L"VelmoraProbe", 0x4));
    // An hour between polls: far beyond any time-out, which "for ever" does not have.
    EXPECT_TRUE(handle.WaitForStatus(INFINITE, SERVICE_RUNNING, 3600000));
    EXPECT_EQ(scm.CountCalls("Sleep"), 401u);
}

TEST_F(ServiceUninstallTest, ServiceHandleClosesAReplacedHandleButNotTheSameOneTwice) {
    ServiceManagerHandle manager;
    ASSERT_TRUE(manager.Open(0x1));
    {
        ServiceHandle handle;
        plat::ScHandle first = CurrentServiceControlManagerCalls().openService(manager.Get(), L"VelmoraProbe", 0x4);
        plat::ScHandle second = CurrentServiceControlManagerCalls().openService(manager.Get(), L"VelmoraProbe", 0x4);
        handle.Attach(first);
        handle.Attach(first);
        EXPECT_EQ(scm.CountCalls("CloseServiceHandle"), 0u);
        handle.Attach(second);
        EXPECT_EQ(scm.CountCalls("CloseServiceHandle"), 1u);
        EXPECT_EQ(scm.OpenHandles(), 2);  // the manager and `second`
    }
    EXPECT_EQ(scm.OpenHandles(), 1);
}

TEST_F(ServiceUninstallTest, ChangeDescriptionWithoutTheSystemFunctionFailsWith120) {
    FakeServiceControlManager withoutChangeConfig2;
    withoutChangeConfig2.exportsChangeConfig2 = false;
    ServiceHandle handle;
    EXPECT_FALSE(handle.ChangeDescription(L"text"));
    EXPECT_EQ(plat::LastError(), ERROR_CALL_NOT_IMPLEMENTED);
}

TEST_F(ServiceUninstallTest, ManagerHandleUnlocksBeforeItCloses) {
    {
        ServiceManagerHandle manager;
        ASSERT_TRUE(manager.Open(0xA));
        ASSERT_TRUE(manager.Lock());
        EXPECT_TRUE(manager.IsLocked());
    }
    EXPECT_EQ(Strings(scm.calls.end() - 2, scm.calls.end()),
              (Strings{"UnlockServiceDatabase lock", "CloseServiceHandle manager"}));
    EXPECT_EQ(scm.OpenHandles(), 0);
}

// ---------------------------------------------------------------------------
// Dependency list and the installed instances

TEST_F(ServiceInstallTest, DependencyListIsDoubleNulTerminated) {
    service.m_arrDependencies = {L"A", L"B"};
    EXPECT_EQ(service.BuildDependencyList(), (std::vector<wchar_t>{L'A', L'\0', L'B', L'\0', L'\0'}));
    service.m_arrDependencies.clear();
    EXPECT_EQ(service.BuildDependencyList(), std::vector<wchar_t>{L'\0'});
    service.m_arrDependencies = {L"Tcpip", L"", L"Dnscache"};  // an empty name ends the list early for the SCM
    EXPECT_EQ(service.BuildDependencyList().size(), 6u + 1u + 9u + 1u);
}

TEST_F(ServiceInstallTest, EnumerateInstalledServicesFindsTheServicesThatRunThisExecutable) {
    scm.services[L"A-Velmora"].binaryPath = L"\"c:\\program files\\velmora\\velmoraservice.exe\" -serverport:81";
    scm.services[L"B-Other"].binaryPath = L"C:\\Other\\Other.exe";
    scm.services[L"C-Velmora"].binaryPath = L"\"C:\\Program Files\\Velmora\\VelmoraService.exe\"";
    scm.services[L"D-Unreadable"].binaryPath = L"C:\\Program Files\\Velmora\\VelmoraService.exe";
    scm.services[L"D-Unreadable"].configFails = true;
    scm.services[L"E-Unopenable"].binaryPath = L"C:\\Program Files\\Velmora\\VelmoraService.exe";
    scm.services[L"E-Unopenable"].openFails = true;
    std::vector<std::wstring> names{L"stale"};
    ASSERT_TRUE(service.EnumerateInstalledServices(names, &error));
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(names, (WStrings{L"A-Velmora", L"C-Velmora"}));
    EXPECT_EQ(scm.calls.at(0), "OpenSCManager ServicesActive 0x5");
    EXPECT_EQ(scm.calls.at(1), "EnumServicesStatus 0x30 3 0");
    EXPECT_EQ(scm.CountCalls("EnumServicesStatus"), 2u);
    // Each service's configuration: first the size, then the record.
    EXPECT_EQ(scm.calls.at(3), "OpenService A-Velmora 0x1");
    EXPECT_EQ(scm.calls.at(4), "QueryServiceConfig service A-Velmora 0");
    EXPECT_EQ(scm.OpenHandles(), 0);
}

TEST_F(ServiceInstallTest, EnumerationEdgeCases) {
    // Nothing installed: the size call succeeds and nothing is visited.
    std::vector<std::wstring> names{L"stale"};
    ASSERT_TRUE(service.EnumerateInstalledServices(names, &error));
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(scm.CountCalls("EnumServicesStatus"), 1u);

    // A size call that fails with anything but 234 fails the enumeration; the error output stays 0.
    scm.services[L"A"].binaryPath = L"x";
    scm.enumSizeError = 5;
    EXPECT_FALSE(service.EnumerateInstalledServices(names, &error));
    EXPECT_EQ(error, 0u);

    // The manager cannot be opened: its error.
    FakeServiceControlManager closed;
    closed.failures["OpenSCManager"] = 5;
    EXPECT_FALSE(service.EnumerateInstalledServices(names, &error));
    EXPECT_EQ(error, 5u);

    // Without its own path the program cannot tell which services are its own.
    FakeServiceControlManager pathless;
    pathless.executablePath.clear();
    pathless.services[L"A"].binaryPath = L"x";
    EXPECT_FALSE(service.EnumerateInstalledServices(names, &error));
    EXPECT_NE(error, 0u);
    EXPECT_TRUE(names.empty());
}

TEST_F(ServiceInstallTest, EnumServicesStopsWhenTheCallbackSaysSo) {
    for (const wchar_t* name : {L"A", L"B", L"C"}) scm.services[name].displayName = name;
    ServiceManagerHandle manager;
    ASSERT_TRUE(manager.Open(0x5));
    std::vector<std::wstring> visited;
    ASSERT_TRUE(manager.EnumServices(
        [](void* context, ServiceManagerHandle&, const plat::EnumServiceStatusRecord& entry) -> BOOL {
            auto* list = static_cast<std::vector<std::wstring>*>(context);
            list->push_back(entry.serviceName);
            return list->size() < 2;
        },
        &visited));
    EXPECT_EQ(visited, (WStrings{L"A", L"B"}));
}

}  // namespace
