// The descriptors behind the Windows folder rights: the one the program gives
// the folders it makes (Wine keeps no descriptor of a file, so this is where
// it is read back), and which DACLs let ordinary users fill a folder.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "platform/win32/FolderSecurity.h"

namespace {

using plat::win32::SecurityDescriptor;

SecurityDescriptor FromSddl(const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    EXPECT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr))
        << ::GetLastError();
    return SecurityDescriptor(descriptor);
}

ACL* DaclOf(const SecurityDescriptor& descriptor) {
    BOOL present = FALSE, defaulted = FALSE;
    ACL* dacl = nullptr;
    EXPECT_TRUE(::GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted));
    return present ? dacl : nullptr;
}

std::wstring SidText(void* sid) {
    wchar_t* text = nullptr;
    if (!::ConvertSidToStringSidW(sid, &text)) return L"?";
    std::wstring result = text;
    ::LocalFree(text);
    return result;
}

TEST(FolderSecurity, TheProgramsFoldersAreProtectedAndOnlyAdministratorsAndSystemMayWrite) {
    const SecurityDescriptor descriptor = plat::win32::AdministratorsFolderSecurity();
    ASSERT_TRUE(descriptor);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(::GetSecurityDescriptorControl(descriptor.get(), &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PROTECTED);
    const ACL* dacl = DaclOf(descriptor);
    ASSERT_NE(dacl, nullptr);
    std::vector<std::tuple<int, int, DWORD, std::wstring>> aces;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        ASSERT_TRUE(::GetAce(const_cast<ACL*>(dacl), i, &entry));
        auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        aces.emplace_back(ace->Header.AceType, ace->Header.AceFlags, ace->Mask, SidText(&ace->SidStart));
    }
    const int inherited = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    const decltype(aces) expected = {
        {ACCESS_ALLOWED_ACE_TYPE, inherited, FILE_ALL_ACCESS, L"S-1-5-32-544"},
        {ACCESS_ALLOWED_ACE_TYPE, inherited, FILE_ALL_ACCESS, L"S-1-5-18"},
        {ACCESS_ALLOWED_ACE_TYPE, inherited, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE, L"S-1-5-32-545"},
    };
    EXPECT_EQ(aces, expected);
    EXPECT_EQ(plat::win32::OrdinaryAccountThatCanFill(dacl), L"");
}

TEST(FolderSecurity, OrdinaryAccountsWithARightToAddFilesAreFound) {
    const std::vector<std::pair<const wchar_t*, std::wstring>> cases = {
        {L"D:(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;BU)", L"BUILTIN\\Users"},  // "Modify"
        {L"D:(A;;0x2;;;AU)", L"NT AUTHORITY\\Authenticated Users"},       // add a file
        {L"D:(A;;0x4;;;IU)", L"NT AUTHORITY\\INTERACTIVE"},               // add a folder
        {L"D:(A;;GW;;;WD)", L"Everyone"},
        {L"D:(A;;GA;;;BU)", L"BUILTIN\\Users"},
        {L"D:(A;OICI;FRFX;;;BU)(A;OICI;FRFX;;;WD)", L""},  // read and list only
        {L"D:(A;OICIIO;FA;;;BU)", L""},                    // for what is below, not the folder itself
        {L"D:(D;;FA;;;BU)", L""},                          // a deny entry
        {L"D:(A;;FA;;;BA)(A;;FA;;;SY)(A;;FA;;;CO)", L""},  // administrators, the system, creator owner
    };
    for (const auto& [sddl, account] : cases) {
        const SecurityDescriptor descriptor = FromSddl(sddl);
        EXPECT_EQ(plat::win32::OrdinaryAccountThatCanFill(DaclOf(descriptor)), account) << sddl;
    }
    EXPECT_EQ(plat::win32::OrdinaryAccountThatCanFill(nullptr), L"Everyone");  // no DACL: no restriction
}

}  // namespace
