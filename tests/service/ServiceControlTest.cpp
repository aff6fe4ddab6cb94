// SetServiceToStatus against a service control manager in memory: the action table, the waits and the events.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/ServiceCodes.h"
#include "platform/Win32Codes.h"
#include "service/FakeServiceControlManager.h"
#include "service/ScmTestService.h"
#include "service/ServiceFakes.h"

namespace {

using Strings = std::vector<std::string>;
using WStrings = std::vector<std::wstring>;

constexpr DWORD kStart = 0, kPause = 1, kContinue = 2, kStop = 3;

class ServiceControlTest : public ::testing::Test {
  protected:
    void SetUp() override { scm.services[L"VelmoraProbe"].displayName = L"Velmora Probe"; }
    FakeServiceControlManager::Service& Installed() { return scm.services.at(L"VelmoraProbe"); }

    FakeEventLog eventLog;
    FakeServiceControlManager scm;
    ScmTestService service;
    DWORD error = 777;  // what the caller had there; a success leaves it
};

TEST_F(ServiceControlTest, StartSendsTheStartAndWaitsForRunning) {
    Installed().afterStart = {SERVICE_START_PENDING, SERVICE_RUNNING};
    ASSERT_TRUE(service.SetServiceToStatus(kStart, &error, 5000, 250));
    EXPECT_EQ(error, 777u);
    EXPECT_EQ(scm.calls, (Strings{
                             "OpenSCManager ServicesActive 0x1",
                             "OpenService VelmoraProbe 0x14",
                             "QueryServiceStatus service VelmoraProbe",
                             "StartService service VelmoraProbe 0",
                             "QueryServiceStatus service VelmoraProbe",
                             "Sleep 250",
                             "QueryServiceStatus service VelmoraProbe",
                             "Sleep 250",
                             "QueryServiceStatus service VelmoraProbe",
                             "CloseServiceHandle service VelmoraProbe",
                             "CloseServiceHandle manager",
                         }));
    EXPECT_TRUE(eventLog.Events().empty());
}

TEST_F(ServiceControlTest, EachActionAsksForItsOwnAccessAndSendsItsOwnRequest) {
    struct Case {
        DWORD action;
        DWORD from;
        const char* open;
        const char* request;
    };
    const Case cases[] = {
        {kStart, SERVICE_STOPPED, "OpenService VelmoraProbe 0x14", "StartService service VelmoraProbe 0"},
        {kPause, SERVICE_RUNNING, "OpenService VelmoraProbe 0x44", "ControlService service VelmoraProbe 2"},
        {kContinue, SERVICE_PAUSED, "OpenService VelmoraProbe 0x44", "ControlService service VelmoraProbe 3"},
        {kStop, SERVICE_RUNNING, "OpenService VelmoraProbe 0x24", "ControlService service VelmoraProbe 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.action);
        FakeServiceControlManager local;
        local.services[L"VelmoraProbe"].state = c.from;
        local.services[L"VelmoraProbe"].acceptsPause = true;
        EXPECT_TRUE(service.SetServiceToStatus(c.action, &error, 5000, 250));
        EXPECT_EQ(local.calls.at(1), c.open);
        EXPECT_EQ(local.calls.at(3), c.request);
        EXPECT_EQ(local.OpenHandles(), 0);
    }
}

TEST_F(ServiceControlTest, AServiceAlreadyInTheWantedStateIsSentNothing) {
    Installed().state = SERVICE_RUNNING;
    ASSERT_TRUE(service.SetServiceToStatus(kStart, &error, 5000, 250));
    EXPECT_EQ(scm.CountCalls("StartService"), 0u);
    EXPECT_EQ(scm.CountCalls("QueryServiceStatus"), 2u);  // the check, then the wait's first test
    EXPECT_EQ(scm.CountCalls("Sleep"), 0u);

    FakeServiceControlManager stopped;
    stopped.services[L"VelmoraProbe"].state = SERVICE_STOPPED;
    ASSERT_TRUE(service.SetServiceToStatus(kStop, &error, 5000, 250));
    EXPECT_EQ(stopped.CountCalls("ControlService"), 0u);
    EXPECT_EQ(error, 777u);
}

TEST_F(ServiceControlTest, PauseOfAServiceThatDoesNotAcceptItFailsWith1052AndEvent0xC000000D) {
    Installed().state = SERVICE_RUNNING;
    EXPECT_FALSE(service.SetServiceToStatus(kPause, &error, 5000, 250));
    EXPECT_EQ(error, 1052u);
    const auto events = eventLog.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(events[0].id, 0xC000000Du);
    EXPECT_EQ(events[0].strings, WStrings{L"<1521 1052 event>"});
    EXPECT_EQ(scm.CountCalls("Sleep"), 0u);
    EXPECT_EQ(scm.OpenHandles(), 0);
}

TEST_F(ServiceControlTest, AStartThatDoesNotReachRunningFailsWith1460AndTheWantedStateInItsEvent) {
    Installed().afterStart = {SERVICE_START_PENDING};
    EXPECT_FALSE(service.SetServiceToStatus(kStart, &error, 1000, 100));
    EXPECT_EQ(error, ERROR_TIMEOUT);
    const auto events = eventLog.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(events[0].id, 0xC000000Eu);
    EXPECT_EQ(events[0].strings, (WStrings{L"4", L"<1523 1460 event>"}));
    // At most the time-out and one poll interval.
    EXPECT_EQ(scm.now - FakeServiceControlManager::kStartTick, 1100u);

}

TEST_F(ServiceControlTest, AWaitEndsAtOnceWhenTheServiceStopsInsteadWithItsReason) {
    struct Case {
        DWORD action, from, exitCode, specific, error;
    };
    const Case cases[] = {
        {kStart, SERVICE_STOPPED, 0, 0, 1062},                // stopped without a reason: not active
        {kStart, SERVICE_STOPPED, 1066, 10048, 1066},         // its own failure
        {kStart, SERVICE_STOPPED, 2, 0, 2},                   // its program could not be run
        {kStop, SERVICE_RUNNING, 1067, 0, 1067},              // a stop that ended in a crash is no clean stop
        {kStop, SERVICE_RUNNING, 1066, 7, 1066},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.exitCode);
        FakeEventLog localLog;
        FakeServiceControlManager local;
        auto& installed = local.services[L"VelmoraProbe"];
        installed.state = c.from;
        installed.afterStart = installed.afterStop = {SERVICE_STOPPED};
        installed.exitCode = c.exitCode;
        installed.specificExitCode = c.specific;
        EXPECT_FALSE(service.SetServiceToStatus(c.action, &error, 60000, 250));
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(service.m_dwLastServiceSpecificError, c.specific);
        EXPECT_LE(local.CountCalls("Sleep"), 1u);
        ASSERT_EQ(localLog.Events().size(), 1u);
        EXPECT_EQ(localLog.Events()[0].id, 0xC000000Eu);
    }
    // A service stopped already with a failure is not stopped again, and not a failure of the stop.
    Installed().exitCode = 1066;
    EXPECT_TRUE(service.SetServiceToStatus(kStop, &error, 5000, 250));
}

TEST_F(ServiceControlTest, AStopFailureCarriesTheBareErrorNumber) {
    Installed().state = SERVICE_START_PENDING;
    Installed().afterStart = {SERVICE_START_PENDING};
    scm.failures["ControlService"] = 1061;
    EXPECT_FALSE(service.SetServiceToStatus(kStop, &error, 5000, 250));
    EXPECT_EQ(error, 1061u);
    const auto events = eventLog.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(events[0].id, 0xC000000Bu);
    EXPECT_EQ(events[0].strings, WStrings{L"1061"});
}

TEST_F(ServiceControlTest, EveryFailureSetsTheErrorAndWritesItsEvent) {
    struct Case {
        DWORD action;
        const char* call;
        DWORD code;
        DWORD eventId;
        const wchar_t* text;
    };
    const Case cases[] = {
        {kStart, "OpenSCManager", 5, 0xC0000006, L"<1517 5 event>"},
        {kStart, "OpenService", 1060, 0xC0000007, L"<1518 1060 event>"},
        {kStart, "QueryServiceStatus", 5, 0xC000000F, L"<1524 5 event>"},
        {kStart, "StartService", 1058, 0xC000000A, L"<1519 1058 event>"},
        {kContinue, "ControlService", 1052, 0xC000000C, L"<1520 1052 event>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.call);
        FakeEventLog localLog;
        FakeServiceControlManager local;
        local.services[L"VelmoraProbe"].state = c.action == kContinue ? SERVICE_PAUSED : SERVICE_STOPPED;
        local.failures[c.call] = c.code;
        error = 777;
        EXPECT_FALSE(service.SetServiceToStatus(c.action, &error, 5000, 250));
        EXPECT_EQ(error, c.code);
        const auto events = localLog.Events();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].type, EVENTLOG_ERROR_TYPE);
        EXPECT_EQ(events[0].id, c.eventId);
        EXPECT_EQ(events[0].strings, WStrings{c.text});
        EXPECT_EQ(local.OpenHandles(), 0);
    }
}

TEST_F(ServiceControlTest, WithoutTheEventLogTheErrorIsTheOnlyTrace) {
    service.m_bEventLogEnabled = FALSE;
    scm.failures["OpenService"] = 1060;
    EXPECT_FALSE(service.SetServiceToStatus(kStart, &error, 5000, 250));
    EXPECT_EQ(error, 1060u);
    scm.failures.clear();
    Installed().afterStart = {SERVICE_START_PENDING};
    EXPECT_FALSE(service.SetServiceToStatus(kStart, &error, 100, 50));
    EXPECT_EQ(error, ERROR_TIMEOUT);
    EXPECT_TRUE(eventLog.Events().empty());
}

TEST_F(ServiceControlTest, AnUnknownActionQueriesAndFailsWithoutTouchingTheError) {
    for (DWORD state : {SERVICE_STOPPED, SERVICE_RUNNING}) {
        Installed().state = state;
        scm.calls.clear();
        EXPECT_FALSE(service.SetServiceToStatus(4, &error, 5000, 250));
        EXPECT_EQ(error, 777u);
        EXPECT_EQ(scm.calls, (Strings{
                                 "OpenSCManager ServicesActive 0x1",
                                 "OpenService VelmoraProbe 0x4",
                                 "QueryServiceStatus service VelmoraProbe",
                                 "CloseServiceHandle service VelmoraProbe",
                                 "CloseServiceHandle manager",
                             }));
    }
    EXPECT_TRUE(eventLog.Events().empty());
}

TEST_F(ServiceControlTest, EventIdsAndMessageIdsPassThroughTheMapping) {
    service.resourceOffset = 1000;
    service.eventOffset = 0x10;
    Installed().state = SERVICE_RUNNING;
    EXPECT_FALSE(service.SetServiceToStatus(kPause, &error, 5000, 250));
    EXPECT_EQ(eventLog.Events().at(0).id, 0xC000001Du);
    EXPECT_EQ(eventLog.Events().at(0).strings, WStrings{L"<2521 1052 event>"});
}

}  // namespace
