// Windows folder rights: a protected DACL for the folders the program makes,
// and the folder's DACL read back for the accounts of ordinary users.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <string>

#include "platform/FolderRights.h"
#include "platform/win32/FolderSecurity.h"

namespace plat {

namespace win32 {

namespace {

// P: protected; Administrators (BA) and SYSTEM (SY) full control, Users (BU)
// FILE_GENERIC_READ and FILE_GENERIC_EXECUTE; OICI: for files and folders below.
constexpr wchar_t kAdministratorsFolderSddl[] = L"D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;FRFX;;;BU)";

// Rights that let an account add a file or a folder (FILE_ADD_FILE is
// FILE_WRITE_DATA, FILE_ADD_SUBDIRECTORY is FILE_APPEND_DATA for a folder).
constexpr DWORD kFillRights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | GENERIC_WRITE | GENERIC_ALL;

struct OrdinaryAccount {
    WELL_KNOWN_SID_TYPE type;
    const wchar_t* name;
};
constexpr OrdinaryAccount kOrdinaryAccounts[] = {
    {WinBuiltinUsersSid, L"BUILTIN\\Users"},
    {WinAuthenticatedUserSid, L"NT AUTHORITY\\Authenticated Users"},
    {WinWorldSid, L"Everyone"},
    {WinInteractiveSid, L"NT AUTHORITY\\INTERACTIVE"},
};

std::wstring OrdinaryAccountOf(PSID sid) {
    for (const OrdinaryAccount& account : kOrdinaryAccounts) {
        BYTE buffer[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof(buffer);
        if (::CreateWellKnownSid(account.type, nullptr, buffer, &size) && ::EqualSid(sid, buffer))
            return account.name;
    }
    return std::wstring();
}

}  // namespace

SecurityDescriptor AdministratorsFolderSecurity() {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kAdministratorsFolderSddl, SDDL_REVISION_1,
                                                                &descriptor, nullptr))
        return nullptr;
    return SecurityDescriptor(descriptor);
}

std::wstring OrdinaryAccountThatCanFill(const ACL* dacl) {
    if (dacl == nullptr) return L"Everyone";
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!::GetAce(const_cast<ACL*>(dacl), i, &entry)) break;
        const auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
        if (ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE || (ace->Header.AceFlags & INHERIT_ONLY_ACE) ||
            !(ace->Mask & kFillRights))
            continue;
        if (std::wstring account = OrdinaryAccountOf(const_cast<DWORD*>(&ace->SidStart)); !account.empty())
            return account;
    }
    return std::wstring();
}

}  // namespace win32

namespace {

std::wstring WithoutTrailingSeparators(std::wstring path) {
    while (path.size() > 1 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
    return path;
}

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool MakeFolders(const std::wstring& path, SECURITY_ATTRIBUTES* security) {
    if (path.empty() || Exists(path)) return true;
    const std::size_t separator = path.find_last_of(L"\\/");
    // A drive ("C:") or a share's root cannot be made: the test above decides for them.
    if (separator != std::wstring::npos && separator > 0 && !MakeFolders(path.substr(0, separator), security))
        return false;
    return ::CreateDirectoryW(path.c_str(), security) || ::GetLastError() == ERROR_ALREADY_EXISTS;
}

}  // namespace

BOOL MakeAdministratorsFolder(const std::wstring& folder) {
    const win32::SecurityDescriptor descriptor = win32::AdministratorsFolderSecurity();
    if (!descriptor) return FALSE;
    SECURITY_ATTRIBUTES security = {sizeof(security), descriptor.get(), FALSE};
    if (!MakeFolders(WithoutTrailingSeparators(folder), &security)) return FALSE;
    ::SetLastError(ERROR_SUCCESS);
    return TRUE;
}

FolderWriter FindOtherFolderWriter(const std::wstring& folder) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                nullptr, &descriptor) != ERROR_SUCCESS)
        return {};
    const win32::SecurityDescriptor owned(descriptor);
    std::wstring account = win32::OrdinaryAccountThatCanFill(dacl);
    if (account.empty()) return {};
    return {std::move(account), folder};
}

}  // namespace plat
