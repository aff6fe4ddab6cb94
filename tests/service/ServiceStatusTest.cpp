// Status reports and control dispatch of CNTService against a recording service manager.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/ServiceCodes.h"
#include "platform/Win32Codes.h"
#include "service/ServiceFakes.h"

namespace {

plat::ServiceStatusRecord Record(DWORD state, DWORD controls, DWORD win32, DWORD specific, DWORD checkPoint,
                                 DWORD waitHint) {
    return {SERVICE_WIN32_OWN_PROCESS, state, controls, win32, specific, checkPoint, waitHint};
}

class ServiceStatusTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(service.RegisterCtrlHandler()); }

    FakeEventLog eventLog;
    FakeServiceManager manager;
    ProbeService service;
};

TEST_F(ServiceStatusTest, SettledStatesSendAndKeepZeroCheckpointAndWaitHint) {
    EXPECT_TRUE(service.ReportStatus(SERVICE_RUNNING, 7, 5000, CNTService::kKeep));
    ASSERT_EQ(manager.Reports().size(), 1u);
    EXPECT_EQ(manager.Reports()[0], Record(SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0));
    EXPECT_EQ(service.m_dwCheckPoint, 0u);
    EXPECT_EQ(service.m_dwWaitHint, 0u);

    // Also after a pending report that stored values.
    service.ReportStatus(SERVICE_PAUSE_PENDING, 3, 900);
    service.ReportStatus(SERVICE_PAUSED, 4, 800);
    EXPECT_EQ(manager.Reports().back(), Record(SERVICE_PAUSED, SERVICE_ACCEPT_STOP, 0, 0, 0, 0));
}

TEST_F(ServiceStatusTest, PendingReportThenCurrentStatusSendTheSameRecordTwice) {
    service.ReportStatus(SERVICE_STOP_PENDING, 2, 1100, CNTService::kKeep);
    service.ReportCurrentStatus();
    const auto reports = manager.Reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0], Record(SERVICE_STOP_PENDING, 0, 0, 0, 2, 1100));
    EXPECT_EQ(reports[1], reports[0]);
}

TEST_F(ServiceStatusTest, PendingStatesNeverAnnounceControlsAndKeepMeansKeep) {
    service.m_dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE;
    for (DWORD state : {SERVICE_START_PENDING, SERVICE_STOP_PENDING, SERVICE_CONTINUE_PENDING, SERVICE_PAUSE_PENDING})
        service.ReportStatus(state, 1, 10);
    for (const auto& r : manager.Reports()) EXPECT_EQ(r.controlsAccepted, 0u) << r.currentState;
    EXPECT_EQ(service.m_dwControlsAccepted, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE);

    // kKeep keeps checkpoint and wait hint of a pending state; a new value replaces them.
    service.ReportStatus(SERVICE_START_PENDING, 5, 2000);
    service.ReportStatus(SERVICE_START_PENDING);
    EXPECT_EQ(manager.Reports().back(), Record(SERVICE_START_PENDING, 0, 0, 0, 5, 2000));

    // Settled states announce the stored set; a settled report with 0 clears it.
    service.ReportStatus(SERVICE_RUNNING);
    EXPECT_EQ(manager.Reports().back().controlsAccepted, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE);
    service.ReportStatus(SERVICE_RUNNING, CNTService::kKeep, CNTService::kKeep, 0);
    EXPECT_EQ(manager.Reports().back().controlsAccepted, 0u);
    EXPECT_EQ(service.m_dwControlsAccepted, 0u);
}

TEST_F(ServiceStatusTest, ExitCodesOnlyWithStoppedAndTheServiceTypeIsAlwaysOwnProcess) {
    service.m_dwServiceType = SERVICE_WIN32_SHARE_PROCESS;
    service.ReportStatusEx(SERVICE_RUNNING, 0, 0, CNTService::kKeep, 5, 6);
    service.ReportStatusEx(SERVICE_STOP_PENDING, 1, 10, CNTService::kKeep, 5, 6);
    service.ReportStatusEx(SERVICE_STOPPED, 1, 10, CNTService::kKeep, 5, 6);
    const auto reports = manager.Reports();
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(reports[0], Record(SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0));
    EXPECT_EQ(reports[1], Record(SERVICE_STOP_PENDING, 0, 0, 0, 1, 10));
    EXPECT_EQ(reports[2], Record(SERVICE_STOPPED, SERVICE_ACCEPT_STOP, 5, 6, 0, 0));
}

TEST_F(ServiceStatusTest, CurrentStatusAfterTheFinalStopRepeatsItsExitCodes) {
    // A stop control whose re-report comes after the service body has ended.
    service.ReportStatusEx(SERVICE_STOPPED, 0, 0, 0, 1066, 7);
    service.HandleControl(SERVICE_CONTROL_STOP, 0, nullptr);
    const auto reports = manager.Reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1], Record(SERVICE_STOPPED, 0, 1066, 7, 0, 0));
}

TEST_F(ServiceStatusTest, InterrogateSendsTheSameStatusTwice) {
    service.ReportStatus(SERVICE_RUNNING);
    manager.ClearReports();
    EXPECT_EQ(CNTService::ControlHandlerExEntry(SERVICE_CONTROL_INTERROGATE, 0, nullptr, nullptr), NO_ERROR);
    const auto reports = manager.Reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0], Record(SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0));
    EXPECT_EQ(reports[1], reports[0]);
}

TEST_F(ServiceStatusTest, EveryControlReachesItsHandlerFollowedByOneStatusReport) {
    service.ReportStatus(SERVICE_RUNNING);
    int data = 0;
    struct Case {
        DWORD control;
        std::string call;
        DWORD result;
    };
    const Case cases[] = {
        {1, "OnStop", 0},
        {2, "OnPause", 0},
        {3, "OnContinue", 0},
        {5, "OnShutdown", 0},
        {6, "OnParamChange", 0},
        {7, "OnNetBindAdd", 0},
        {8, "OnNetBindRemove", 0},
        {9, "OnNetBindEnable", 0},
        {10, "OnNetBindDisable", 0},
        {11, "OnDeviceEvent 77 data", 1011},
        {12, "OnHardwareProfileChange 77 data", 1012},
        {13, "OnPowerEvent 77 data", 1013},
        {0, "OnUserDefinedRequest 0", 0},
        {14, "OnUserDefinedRequest 14", 0},
        {200, "OnUserDefinedRequest 200", 0},
        {255, "OnUserDefinedRequest 255", 0},
    };
    for (const Case& c : cases) {
        service.calls.clear();
        manager.ClearReports();
        EXPECT_EQ(CNTService::ControlHandlerExEntry(c.control, 77, &data, nullptr), c.result) << c.control;
        EXPECT_EQ(service.calls, std::vector<std::string>{c.call}) << c.control;
        ASSERT_EQ(manager.Reports().size(), 1u) << c.control;
        EXPECT_EQ(manager.Reports()[0].currentState, SERVICE_RUNNING);
    }
}

TEST_F(ServiceStatusTest, BaseHandlersWriteTheirInformationEvents) {
    for (DWORD control : {SERVICE_CONTROL_STOP, SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_CONTINUE,
                          SERVICE_CONTROL_SHUTDOWN, SERVICE_CONTROL_INTERROGATE, SERVICE_CONTROL_PARAMCHANGE})
        service.HandleControl(control, 0, nullptr);
    const auto events = eventLog.Events();
    ASSERT_EQ(events.size(), 4u);
    const DWORD ids[] = {0x40000003, 0x40000004, 0x40000005, 0x40000009};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(events[i].type, EVENTLOG_INFORMATION_TYPE);
        EXPECT_EQ(events[i].id, ids[i]);
        EXPECT_EQ(events[i].strings, std::vector<std::wstring>{L"Probe Service"});
    }

    // With event logging switched off nothing is written.
    service.m_bEventLogEnabled = FALSE;
    service.HandleControl(SERVICE_CONTROL_STOP, 0, nullptr);
    EXPECT_EQ(eventLog.Events().size(), 4u);
}

TEST_F(ServiceStatusTest, ARefusedControlIsAnsweredWith120WithoutDispatchOrReport) {
    service.m_dwRefusedControl = SERVICE_CONTROL_PAUSE;
    EXPECT_EQ(service.HandleControl(SERVICE_CONTROL_PAUSE, 0, nullptr), ERROR_CALL_NOT_IMPLEMENTED);
    EXPECT_TRUE(service.calls.empty());
    EXPECT_TRUE(manager.Reports().empty());
    // By default (0) no code is refused, 0 included.
    service.m_dwRefusedControl = 0;
    EXPECT_EQ(service.HandleControl(0, 0, nullptr), NO_ERROR);
    EXPECT_EQ(service.calls, std::vector<std::string>{"OnUserDefinedRequest 0"});
    EXPECT_EQ(manager.Reports().size(), 1u);
}

TEST_F(ServiceStatusTest, FailedSendReturnsFalseAndKeepsTheNewFields) {
    manager.sendFails = true;
    EXPECT_FALSE(service.ReportStatus(SERVICE_START_PENDING, 3, 4000));
    EXPECT_EQ(manager.Reports().size(), 1u);
    EXPECT_EQ(service.m_dwCurrentState, SERVICE_START_PENDING);
    EXPECT_EQ(service.m_dwCheckPoint, 3u);
    EXPECT_EQ(service.m_dwWaitHint, 4000u);
}

TEST_F(ServiceStatusTest, ReportsFromSeveralThreadsAreNeverTorn) {
    // A starting thread's pending reports race a second thread's settled ones:
    // each record must be wholly one or the other.
    service.ReportStatus(SERVICE_RUNNING);
    manager.ClearReports();
    std::atomic<bool> go{false};
    auto pending = [&] {
        while (!go) std::this_thread::yield();
        for (DWORD i = 1; i <= 500; ++i) service.ReportStatus(SERVICE_START_PENDING, i, 1000 + i);
    };
    auto settled = [&] {
        while (!go) std::this_thread::yield();
        for (int i = 0; i < 500; ++i) {
            service.ReportCurrentStatus();
            service.ReportStatus(SERVICE_RUNNING);
        }
    };
    std::thread a(pending), b(settled);
    go = true;
    a.join();
    b.join();
    const auto reports = manager.Reports();
    ASSERT_EQ(reports.size(), 1500u);
    // Reports go out in the order of their field updates: the last one sent is the current status.
    EXPECT_EQ(reports.back().currentState, service.m_dwCurrentState);
    EXPECT_EQ(reports.back().checkPoint, service.m_dwCheckPoint);
    for (const auto& r : reports) {
        if (r.currentState == SERVICE_START_PENDING) {
            ASSERT_EQ(r.controlsAccepted, 0u);
            ASSERT_EQ(r.waitHint, 1000 + r.checkPoint);
        } else {
            ASSERT_EQ(r.currentState, SERVICE_RUNNING);
            ASSERT_EQ(r, Record(SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0));
        }
    }
}

// Waits until `done` or a short while has passed: in the sound case the other
// thread cannot finish while this one waits, so the wait runs out.
void WaitBriefly(const std::atomic<bool>& done) {
    for (int i = 0; i < 100 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

TEST_F(ServiceStatusTest, AReportMadeWhileAnotherIsBeingSentGoesOutAfterIt) {
    std::atomic<bool> sending{false}, otherDone{false};
    std::atomic<int> sends{0};
    manager.duringSend = [&] {
        if (sends++ != 0) return;
        sending = true;
        WaitBriefly(otherDone);
    };
    std::thread first([&] { service.ReportStatus(SERVICE_START_PENDING, 1, 1000); });
    while (!sending) std::this_thread::yield();
    std::thread second([&] {
        service.ReportStatus(SERVICE_RUNNING);
        otherDone = true;
    });
    first.join();
    second.join();
    const auto reports = manager.Reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].currentState, SERVICE_START_PENDING);
    EXPECT_EQ(reports[1], Record(SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0));
}

TEST_F(ServiceStatusTest, TheReportAfterAControlSendsTheStateItRead) {
    // A control's re-report reads the state; the service thread reports
    // RUNNING meanwhile. The re-report must not send the old state after it.
    service.ReportStatus(SERVICE_START_PENDING, 1, 1000);
    manager.ClearReports();
    std::atomic<bool> reporting{false}, otherDone{false};
    service.beforeReportStatus = [&] {
        reporting = true;
        WaitBriefly(otherDone);
    };
    std::thread control([&] { service.HandleControl(SERVICE_CONTROL_PARAMCHANGE, 0, nullptr); });
    while (!reporting) std::this_thread::yield();
    service.beforeReportStatus = nullptr;
    std::thread other([&] {
        service.ReportStatus(SERVICE_RUNNING);
        otherDone = true;
    });
    control.join();
    other.join();
    const auto reports = manager.Reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0], Record(SERVICE_START_PENDING, 0, 0, 0, 1, 1000));
    EXPECT_EQ(reports[1], Record(SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0));
}

TEST(ServiceStatusWithoutHandle, EveryReportReturnsFalseWithoutCallingTheManager) {
    FakeEventLog eventLog;
    FakeServiceManager manager;
    manager.registrationFails = true;
    ProbeService service;
    EXPECT_FALSE(service.RegisterCtrlHandler());
    EXPECT_EQ(service.m_hStatus, nullptr);
    EXPECT_FALSE(service.ReportStatus(SERVICE_START_PENDING, 1, 1000));
    EXPECT_FALSE(service.ReportCurrentStatus());
    EXPECT_FALSE(service.ReportStatusEx(SERVICE_STOPPED, 0, 0, 0, 1, 2));
    EXPECT_EQ(service.HandleControl(SERVICE_CONTROL_INTERROGATE, 0, nullptr), NO_ERROR);
    EXPECT_TRUE(manager.Reports().empty());
    // The fields still move.
    EXPECT_EQ(service.m_dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(service.m_dwControlsAccepted, 0u);
}

}  // namespace
