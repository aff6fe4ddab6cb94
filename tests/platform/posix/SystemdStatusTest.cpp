// What "systemctl show" says of a unit, as a service status: states, queued starts and the reasons of failures.
#include <gtest/gtest.h>

#include "platform/ServiceCodes.h"
#include "platform/posix/systemd/SystemdStates.h"

namespace {

TEST(SystemdStatusTest, UnitPropertiesBecomeStatesAndExitCodes) {
    const char* const ownReport = "Stopped, Win32 exit code 1066, service-specific exit code 10048";
    struct Case {
        plat::SystemdProperties unit;
        DWORD state, win32, specific;
    };
    // Property values as systemd 252 prints them.
    const Case cases[] = {
        // The program's own last report, when its exit status matches (1066 modulo 256 is 42).
        {{{"ActiveState", "failed"}, {"Result", "exit-code"}, {"ExecMainStatus", "42"}, {"StatusText", ownReport}},
         SERVICE_STOPPED, 1066, 10048},
        // A report of an earlier run is not this run's reason.
        {{{"ActiveState", "failed"}, {"Result", "exit-code"}, {"ExecMainStatus", "203"}, {"StatusText", ownReport}},
         SERVICE_STOPPED, 2, 0},
        {{{"ActiveState", "failed"}, {"Result", "exit-code"}, {"ExecMainStatus", "217"}}, SERVICE_STOPPED, 1069, 0},
        {{{"ActiveState", "failed"}, {"Result", "exit-code"}, {"ExecMainStatus", "3"}}, SERVICE_STOPPED, 1066, 3},
        {{{"ActiveState", "failed"}, {"Result", "signal"}, {"ExecMainStatus", "9"}}, SERVICE_STOPPED, 1067, 0},
        {{{"ActiveState", "failed"}, {"Result", "core-dump"}}, SERVICE_STOPPED, 1067, 0},
        {{{"ActiveState", "failed"}, {"Result", "timeout"}}, SERVICE_STOPPED, 1053, 0},
        {{{"ActiveState", "failed"}, {"Result", "start-limit-hit"}}, SERVICE_STOPPED, 1058, 0},
        {{{"ActiveState", "failed"}, {"Result", "oom-kill"}}, SERVICE_STOPPED, 8, 0},
        // Failed, and waiting to be restarted: stopped with the reason.
        {{{"ActiveState", "activating"}, {"SubState", "auto-restart"}, {"Result", "exit-code"},
          {"ExecMainStatus", "42"}, {"Job", ""}},
         SERVICE_STOPPED, 1066, 42},
        {{{"ActiveState", "activating"}, {"SubState", "start"}, {"Job", "79"}}, SERVICE_START_PENDING, 0, 0},
        // A start queued but not yet begun.
        {{{"ActiveState", "inactive"}, {"SubState", "dead"}, {"Job", "12"}}, SERVICE_START_PENDING, 0, 0},
        {{{"ActiveState", "failed"}, {"Result", "exit-code"}, {"ExecMainStatus", "203"}, {"Job", "13"}},
         SERVICE_START_PENDING, 0, 0},
        {{{"ActiveState", "inactive"}, {"Result", "success"}, {"Job", ""}}, SERVICE_STOPPED, 0, 0},
        {{{"ActiveState", "active"}, {"Job", "5"}}, SERVICE_RUNNING, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.unit.at("ActiveState") + " " + (c.unit.count("Result") ? c.unit.at("Result") : ""));
        plat::ServiceStatusRecord status{};
        ASSERT_TRUE(plat::ServiceStatusOfUnit(c.unit, &status));
        EXPECT_EQ(status.currentState, c.state);
        EXPECT_EQ(status.win32ExitCode, c.win32);
        EXPECT_EQ(status.serviceSpecificExitCode, c.specific);
    }
}

}  // namespace
