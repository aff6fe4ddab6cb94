// The one-line event text of the POSIX event log and the systemd notify messages.
#include <gtest/gtest.h>

#include <cstdint>

#include "platform/posix/EventLogText.h"
#include "platform/posix/systemd/ServiceNotifyText.h"

namespace {

TEST(EventLogLine, RendersEveryEventAsTheViewerWouldOnOneLine) {
    const std::wstring name = L"Harbrook Velmora Service";
    const std::wstring error = L"5, Access is denied.\r\n";  // error code and system text (string 1515)
    struct Case {
        DWORD id;
        std::vector<std::wstring> strings;
        std::wstring line;
    };
    const Case cases[] = {
        {0x40000001, {name}, L"\"Harbrook Velmora Service\" started successfully."},
        {0x40000002, {name}, L"\"Harbrook Velmora Service\" was successfully installed."},
        {0x40000003, {name}, L"\"Harbrook Velmora Service\" stopped successfully."},
        {0x40000004, {name}, L"\"Harbrook Velmora Service\" paused successfully."},
        {0x40000005, {name}, L"\"Harbrook Velmora Service\" continued successfully."},
        {0xC0000006, {error}, L"Failed to connect to the Service Control Manager, Error: 5, Access is denied. ."},
        {0xC0000007, {error}, L"Failed to open the service, Error: 5, Access is denied. ."},
        {0xC0000008, {L"1072"}, L"Failed to delete the service, Error: 1072."},
        {0x40000009, {name}, L"\"Harbrook Velmora Service\" was successfully shutdown."},
        {0xC000000A, {L"1058"}, L"Failed to start the service, Error: 1058."},
        {0xC000000B, {L"1052"}, L"Failed to stop the service, Error: 1052."},
        {0xC000000C, {L"1052"}, L"Failed to continue the service, Error: 1052."},
        {0xC000000D, {L"1052"}, L"Failed to pause the service, Error: 1052."},
        {0xC000000E, {L"4", L"1460, This operation returned because the timeout period expired."},
         L"Failed to wait for service to change to desired state, Desired State: 4, Error: 1460, This operation "
         L"returned because the timeout period expired.."},
        {0xC000000F, {L"6"}, L"Failed to query the status of the service, Error: 6."},
        {0x40000010, {L"Request for: '/packages/a.zip'"}, L"Request for: '/packages/a.zip'."},
        {0x40000011, {L"setup.exe"}, L"Process \"setup.exe\" succesfully started."},
        {0xC0000012, {L"setup.exe", L"2"}, L"Starting process \"setup.exe\" failed. Error: \"2\"."},
    };
    for (const Case& c : cases) EXPECT_EQ(plat::EventLogLine(c.id, c.strings), c.line) << std::hex << c.id;

    // Control characters inside insertions become spaces; tabs stay.
    EXPECT_EQ(plat::EventLogLine(0x40000010, {L"a\nb\rc\td\x01"}), L"a b c\td .");
    // An id without a text still shows its insertions.
    EXPECT_EQ(plat::EventLogLine(0x4000FFFF, {L"x", L"y"}), L"Event 0x4000FFFF: x, y");
    EXPECT_EQ(plat::EventLogLine(0x4000FFFF, {}), L"Event 0x4000FFFF");
}

TEST(EventLogLine, ErrorsGoToLogErrAndEverythingElseToLogInfo) {
    EXPECT_EQ(plat::SyslogSeverityOfEventType(0x0001), 3);  // EVENTLOG_ERROR_TYPE
    EXPECT_EQ(plat::SyslogSeverityOfEventType(0x0010), 3);  // EVENTLOG_AUDIT_FAILURE
    EXPECT_EQ(plat::SyslogSeverityOfEventType(0x0002), 4);  // EVENTLOG_WARNING_TYPE
    EXPECT_EQ(plat::SyslogSeverityOfEventType(0x0004), 6);  // EVENTLOG_INFORMATION_TYPE
    EXPECT_EQ(plat::SyslogSeverityOfEventType(0x0000), 6);  // EVENTLOG_SUCCESS
    EXPECT_EQ(plat::SyslogSeverityOfEventType(0x0008), 6);  // EVENTLOG_AUDIT_SUCCESS
}

TEST(SystemdNotify, EachStateHasItsMessage) {
    auto text = [](DWORD state, DWORD checkPoint, DWORD waitHint, DWORD win32 = 0, DWORD specific = 0) {
        return plat::ServiceStatusNotifyText({0x10, state, 0, win32, specific, checkPoint, waitHint});
    };
    EXPECT_EQ(text(2, 1, 1000), "STATUS=Starting, checkpoint 1\nEXTEND_TIMEOUT_USEC=1000000");
    EXPECT_EQ(text(2, 3, 0), "STATUS=Starting, checkpoint 3");
    EXPECT_EQ(text(3, 1, 1100), "STOPPING=1\nSTATUS=Stopping, checkpoint 1\nEXTEND_TIMEOUT_USEC=1100000");
    EXPECT_EQ(text(4, 0, 0), "READY=1\nSTATUS=Running");
    EXPECT_EQ(text(5, 2, 0xFFFFFFFF), "STATUS=Continuing, checkpoint 2\nEXTEND_TIMEOUT_USEC=4294967295000");
    EXPECT_EQ(text(6, 1, 500), "STATUS=Pausing, checkpoint 1\nEXTEND_TIMEOUT_USEC=500000");
    EXPECT_EQ(text(7, 0, 0), "STATUS=Paused");
    EXPECT_EQ(text(1, 0, 0), "STATUS=Stopped");
    EXPECT_EQ(text(1, 0, 0, 1066, 7), "STATUS=Stopped, Win32 exit code 1066, service-specific exit code 7");
    EXPECT_EQ(text(0, 0, 0), "");
    EXPECT_EQ(text(8, 0, 0), "");
}

TEST(SystemdNotify, WatchdogPingsComeFourTimesPerPeriodOfTheWatchedProcessOnly) {
    struct Row {
        const char* usec;
        const char* pid;
        std::uint64_t interval;
    };
    const Row rows[] = {
        {"30000000", "4242", 7500}, {"30000000", nullptr, 7500}, {"2000", "4242", 1},
        {"30000000", "4243", 0},    {nullptr, "4242", 0},        {"0", "4242", 0},
        {"", "4242", 0},            {"30s", "4242", 0},          {"-1", "4242", 0},
        {"30000000", "42x", 0},     {"99999999999999999999", "4242", 0},
    };
    for (const Row& r : rows)
        EXPECT_EQ(plat::WatchdogPingIntervalMilliseconds(r.usec, r.pid, 4242), r.interval)
            << (r.usec ? r.usec : "(unset)") << " " << (r.pid ? r.pid : "(unset)");
}

}  // namespace
