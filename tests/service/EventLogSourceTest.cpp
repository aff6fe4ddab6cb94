// The event reporter against a recording event log: one registration per
// event, serialised reports, the decimal code forms and failures.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/ServiceCodes.h"
#include "platform/Win32Codes.h"
#include "service/NTEventLogSource.h"
#include "service/ServiceFakes.h"

namespace {

TEST(EventLogSource, EachEventOpensReportsAndClosesItsOwnRegistration) {
    FakeEventLog log;
    CNTEventLogSource source;
    source.SetSourceName(L"My Source");
    EXPECT_TRUE(source.Report(EVENTLOG_INFORMATION_TYPE, 0x40000001, {L"My Source"}));
    EXPECT_TRUE(source.ReportErrorCode(0xC000000B, 5));
    EXPECT_TRUE(source.ReportErrorCodeAndText(0xC000000E, 1460, L"1460, The operation timed out."));
    EXPECT_EQ(log.Calls(), (std::vector<std::string>{"open |My Source", "report", "close", "open |My Source",
                                                     "report", "close", "open |My Source", "report", "close"}));
    const auto events = log.Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_NE(events[0].source, events[1].source);
    EXPECT_EQ(events[0].type, EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(events[0].category, 0);
    EXPECT_EQ(events[1].type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(events[1].id, 0xC000000Bu);
    EXPECT_EQ(events[1].strings, std::vector<std::wstring>{L"5"});
    EXPECT_EQ(events[2].type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(events[2].strings, (std::vector<std::wstring>{L"1460", L"1460, The operation timed out."}));
}

TEST(EventLogSource, CodesAreWrittenAsSignedDecimalAndNullStringsAsEmpty) {
    FakeEventLog log;
    CNTEventLogSource source;
    source.ReportErrorCode(0xC0000006, 0xFFFFFFFF);
    source.ReportErrorCode(0xC0000006, 0x80070005);
    const wchar_t* strings[] = {L"a", nullptr};
    source.Report(EVENTLOG_ERROR_TYPE, 0xC0000012, 2, strings);
    const auto events = log.Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].strings, std::vector<std::wstring>{L"-1"});
    EXPECT_EQ(events[1].strings, std::vector<std::wstring>{L"-2147024891"});
    EXPECT_EQ(events[2].strings, (std::vector<std::wstring>{L"a", L""}));

    // A count without strings is refused before anything is opened.
    EXPECT_FALSE(source.Report(EVENTLOG_ERROR_TYPE, 0xC0000012, 2, nullptr));
    EXPECT_EQ(plat::LastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(log.Calls().size(), 9u);
}

TEST(EventLogSource, FailuresGiveFalseAndNeverLeaveARegistrationOpen) {
    FakeEventLog log;
    CNTEventLogSource source;
    source.SetServerName(L"elsewhere");
    log.openFails = true;
    EXPECT_FALSE(source.Report(EVENTLOG_INFORMATION_TYPE, 0x40000010, {L"line"}));
    EXPECT_EQ(log.Calls(), std::vector<std::string>{"open elsewhere|"});

    log.openFails = false;
    log.reportFails = true;
    EXPECT_FALSE(source.Report(EVENTLOG_INFORMATION_TYPE, 0x40000010, {L"line"}));
    EXPECT_EQ(plat::LastError(), 1502u) << "closing keeps the report's error";
    EXPECT_EQ(log.Calls().back(), "close");
}

TEST(EventLogSource, ReportsFromTwoThreadsAreWrittenOneAfterTheOther) {
    FakeEventLog log;
    log.duringReport = [] { std::this_thread::sleep_for(std::chrono::microseconds(200)); };
    CNTEventLogSource source;
    source.SetSourceName(L"S");
    auto writer = [&](const wchar_t* text) {
        for (int i = 0; i < 25; ++i) source.Report(EVENTLOG_INFORMATION_TYPE, 0x40000010, {text});
    };
    std::thread a(writer, L"a"), b(writer, L"b");
    a.join();
    b.join();
    EXPECT_EQ(log.MaxReportsAtOnce(), 1);
    const auto calls = log.Calls();
    ASSERT_EQ(calls.size(), 150u);
    for (std::size_t i = 0; i < calls.size(); i += 3) {
        EXPECT_EQ(calls[i], "open |S");
        EXPECT_EQ(calls[i + 1], "report");
        EXPECT_EQ(calls[i + 2], "close");
    }
}

}  // namespace
