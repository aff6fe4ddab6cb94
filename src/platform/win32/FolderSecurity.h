// The security descriptors behind FolderRights.h on Windows, apart from the
// files they are applied to or read from.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

namespace plat::win32 {

struct LocalMemoryRelease {
    void operator()(void* memory) const { ::LocalFree(memory); }
};
using SecurityDescriptor = std::unique_ptr<void, LocalMemoryRelease>;

// The rights of a folder the program makes: a protected DACL (nothing
// inherited), Administrators and SYSTEM full control, Users read and list,
// each passed on to the folder's files and folders. Null, with the last
// error set, when it cannot be built.
SecurityDescriptor AdministratorsFolderSecurity();

// The first of BUILTIN\Users, NT AUTHORITY\Authenticated Users, Everyone
// and NT AUTHORITY\INTERACTIVE to which an allow ACE of `dacl` (inherit-only
// ones aside) gives a right to add files or folders, write or append; null
// `dacl` (no DACL: no restriction) gives Everyone; empty when none.
std::wstring OrdinaryAccountThatCanFill(const ACL* dacl);

}  // namespace plat::win32
