// The system's texts for Win32 codes.
#include <gtest/gtest.h>

#include "platform/RegistryCodes.h"
#include "platform/ServiceCodes.h"
#include "platform/SystemErrorText.h"
#include "platform/Win32Codes.h"

namespace {

TEST(SystemErrorText, TheCommonCodesHaveTexts) {
    for (const DWORD code : {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_INVALID_DATA, ERROR_MORE_DATA,
                             ERROR_TIMEOUT, ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, DWORD{1060}})
        EXPECT_FALSE(plat::SystemErrorText(code).empty()) << "code " << code;
}

TEST(SystemErrorText, ACodeOfAnApplicationHasNoSystemText) {
    EXPECT_EQ(L"", plat::SystemErrorText(0x20001234));
    EXPECT_EQ(L"", plat::SystemErrorText(0xFFFFFFFF));
}

}  // namespace
