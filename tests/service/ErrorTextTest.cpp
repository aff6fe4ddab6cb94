// Error codes rendered into the framework's message texts: the six formats
// for callers and for the event log, id mapping and the system's texts.
#include <gtest/gtest.h>

#include <string>

#include "platform/Win32Codes.h"
#include "service/NTService.h"

namespace {

// A code the system has no text for (bit 29 marks codes of applications).
constexpr DWORD kCodeWithoutText = 0x20001234;
constexpr UINT kStartFailed = 1510;  // "Failed to start the service, Error:%1"

class ErrorTextService : public CNTService {
  public:
    ErrorTextService() : CNTService(L"ErrorText", L"Error Text", nullptr) {}
    void SetFormats(DWORD forCaller, DWORD forEventLog) {
        m_dwErrorFormatForCaller = forCaller;
        m_dwErrorFormatForEventLog = forEventLog;
    }
};

// Renumbers the string table and has a system text of its own.
class MappingService : public ErrorTextService {
  public:
    UINT MapResourceId(UINT id) override {
        if (id == 1510) return 1511;  // "Failed to stop the service, Error:%1"
        if (id == 1515) return 1510;
        return id;
    }
    std::wstring GetSystemErrorText(DWORD) override { return L"50% %1 done"; }
};

TEST(ErrorText, TheDefaultsGiveCallersTheMessageAndTheEventLogTheCodeAndText) {
    ErrorTextService service;
    const std::wstring text = service.GetSystemErrorText(ERROR_FILE_NOT_FOUND);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(L"Failed to start the service, Error:2, " + text,
              service.GetErrorMessage(kStartFailed, ERROR_FILE_NOT_FOUND, FALSE));
    EXPECT_EQ(L"2, " + text, service.GetErrorMessage(kStartFailed, ERROR_FILE_NOT_FOUND, TRUE));
}

TEST(ErrorText, EachFormatForCallersAndForTheEventLog) {
    ErrorTextService service;
    const DWORD code = ERROR_ACCESS_DENIED;
    const std::wstring s = service.GetSystemErrorText(code);
    ASSERT_FALSE(s.empty());
    struct Case {
        DWORD format;
        std::wstring forCaller;
        std::wstring forEventLog;
    } cases[] = {
        {0, L"5", L"5"},
        {1, L"5, " + s, L"5, " + s},
        {2, s, s},
        {3, L"Failed to start the service, Error:5", L""},
        {4, L"Failed to start the service, Error:5, " + s, L""},
        {5, L"Failed to start the service, Error:" + s, L""},
        {6, L"", L""},
        {0xFFFFFFFF, L"", L""},
    };
    for (const Case& c : cases) {
        service.SetFormats(c.format, c.format);
        EXPECT_EQ(c.forCaller, service.GetErrorMessage(kStartFailed, code, FALSE)) << "format " << c.format;
        EXPECT_EQ(c.forEventLog, service.GetErrorMessage(kStartFailed, code, TRUE)) << "format " << c.format;
    }
}

TEST(ErrorText, ACodeWithoutSystemTextEndsInTheCodeACommaAndASpace) {
    ErrorTextService service;
    EXPECT_EQ(L"", service.GetSystemErrorText(kCodeWithoutText));
    EXPECT_EQ(L"Failed to start the service, Error:536875572, ",
              service.GetErrorMessage(kStartFailed, kCodeWithoutText, FALSE));
    EXPECT_EQ(L"536875572, ", service.GetErrorMessage(kStartFailed, kCodeWithoutText, TRUE));
}

TEST(ErrorText, CodesAreWrittenAsSignedDecimalNumbers) {
    ErrorTextService service;
    service.SetFormats(0, 0);
    EXPECT_EQ(L"-2147024891", service.GetErrorMessage(kStartFailed, 0x80070005, FALSE));
    EXPECT_EQ(L"0", service.GetErrorMessage(kStartFailed, 0, TRUE));
}

TEST(ErrorText, EveryStringIdPassesThroughTheMappingAndInsertionsStayAsTheyAre) {
    MappingService service;
    // 1510 becomes 1511; the joining entry 1515 becomes 1510, which has only %1.
    EXPECT_EQ(L"Failed to stop the service, Error:Failed to start the service, Error:2",
              service.GetErrorMessage(1510, ERROR_FILE_NOT_FOUND, FALSE));
    service.SetFormats(5, 1);
    EXPECT_EQ(L"Failed to stop the service, Error:50% %1 done", service.GetErrorMessage(1510, 2, FALSE));
    EXPECT_EQ(L"Failed to start the service, Error:2", service.GetErrorMessage(1510, 2, TRUE));
}

TEST(ErrorText, AnUnknownStringIdGivesAnEmptyMessage) {
    ErrorTextService service;
    service.SetFormats(3, 1);
    EXPECT_EQ(L"", service.GetErrorMessage(4242, ERROR_FILE_NOT_FOUND, FALSE));
}

}  // namespace
