// The string and message tables and the rendering of message texts.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>

#include "common/ResourceText.h"

namespace {

const std::map<std::uint32_t, std::wstring> kMessages = {
    {0x40000001, L"\"%1\" started successfully.\r\n"},
    {0x40000002, L"\"%1\" was successfully installed.\r\n"},
    {0x40000003, L"\"%1\" stopped successfully.\r\n"},
    {0x40000004, L"\"%1\" paused successfully.\r\n"},
    {0x40000005, L"\"%1\" continued successfully.\r\n"},
    {0xC0000006, L"Failed to connect to the Service Control Manager, Error: %1.\r\n"},
    {0xC0000007, L"Failed to open the service, Error: %1.\r\n"},
    {0xC0000008, L"Failed to delete the service, Error: %1.\r\n"},
    {0x40000009, L"\"%1\" was successfully shutdown.\r\n"},
    {0xC000000A, L"Failed to start the service, Error: %1.\r\n"},
    {0xC000000B, L"Failed to stop the service, Error: %1.\r\n"},
    {0xC000000C, L"Failed to continue the service, Error: %1.\r\n"},
    {0xC000000D, L"Failed to pause the service, Error: %1.\r\n"},
    {0xC000000E, L"Failed to wait for service to change to desired state, Desired State: %1, Error: %2.\r\n"},
    {0xC000000F, L"Failed to query the status of the service, Error: %1.\r\n"},
    {0x40000010, L"%1.\r\n"},
    {0x40000011, L"Process \"%1\" succesfully started.\r\n"},
    {0xC0000012, L"Starting process \"%1\" failed. Error: \"%2\".\r\n"},
    {0xC0000013, L"\"%1\" stopped responding and is ended. Error: \"%2\".\r\n"},
};

TEST(MessageTable, HoldsTheNineteenEventsForBothLanguages) {
    std::vector<std::uint32_t> ids;
    for (const auto& [id, text] : kMessages) {
        ids.push_back(id);
        EXPECT_EQ(resources::MessageTableText(id), text) << std::hex << id;
        const std::uint32_t severity = id >> 30;
        EXPECT_TRUE(severity == 1 || severity == 3) << std::hex << id;
    }
    EXPECT_EQ(resources::MessageTableIds(), ids);
    EXPECT_EQ(resources::MessageTableLanguages(), (std::vector<std::uint16_t>{1033, 1036}));
    EXPECT_FALSE(resources::FindMessageTableText(0x40000014, nullptr));
    EXPECT_EQ(resources::FormatEventMessage(0x40000014, {L"x"}), L"");
}

TEST(StringTable, HoldsTheFrameworkAndProgramTexts) {
    for (unsigned int id = 1501; id <= 1528; ++id) EXPECT_EQ(resources::FindResourceString(id, nullptr), id != 1514) << id;
    EXPECT_EQ(resources::LoadResourceString(1501), L"CNTService::Install, Failed call to open SCM, Error:%1");
    EXPECT_EQ(resources::LoadResourceString(1515), L"%1, %2");
    EXPECT_EQ(resources::LoadResourceString(1524),
              L"CNTService::SetServiceToStatus, Failed to check the service status, Error:%1");
    EXPECT_EQ(resources::LoadResourceString(1525), L"HarbrookVelmoraService");
    EXPECT_EQ(resources::LoadResourceString(1526), L"Harbrook Velmora Service");
    EXPECT_EQ(resources::LoadResourceString(1527),
              L"Provides a Velmora service that can be used by the Norvane/Belco setups.");
    EXPECT_EQ(resources::LoadResourceString(1528), L"VelmoraService [-uninstall | -start | -stop | -help | -? ]\n");
    EXPECT_EQ(resources::LoadResourceString(1514), L"");
}

TEST(MessageFormatting, FillsInsertionsAndTheFormattersEscapes) {
    using resources::FormatMessageString;
    EXPECT_EQ(FormatMessageString(L"%1, %2", {L"5", L"Access is denied.\r\n"}), L"5, Access is denied.\r\n");
    // Insertion strings are never formatted again.
    EXPECT_EQ(FormatMessageString(L"[%1]", {L"%2 %% %n", L"x"}), L"[%2 %% %n]");
    // Two-digit numbers, and a printf format between exclamation marks.
    std::vector<std::wstring> twelve;
    for (int i = 1; i <= 12; ++i) twelve.push_back(L"s" + std::to_wstring(i));
    EXPECT_EQ(FormatMessageString(L"%12 %1!s! %10", twelve), L"s12 s1 s10");
    // A number without an insertion stays as written.
    EXPECT_EQ(FormatMessageString(L"Error: %1, %2.", {L"7"}), L"Error: 7, %2.");
    // Escapes; %0 ends the text.
    EXPECT_EQ(FormatMessageString(L"a%nb%rc%td%be%%f%.g%!h%0ignored", {}), L"a\r\nb\rc\td e%f.g!h");
    EXPECT_EQ(FormatMessageString(L"end%", {}), L"end");
    EXPECT_EQ(resources::FormatEventMessage(0x40000001, {L"Harbrook Velmora Service"}),
              L"\"Harbrook Velmora Service\" started successfully.\r\n");
}

}  // namespace
