// Who may change a folder: making one that only administrators can fill, and
// finding the accounts besides them that can place files in one.
#pragma once

#include <string>

#include "platform/Types.h"

namespace plat {

// Makes `folder` and every missing folder above it, each with rights of its
// own: none inherited from its parent, administrators and the system full
// control, every other user read and list. Windows: a protected DACL of
// Administrators and SYSTEM (full control) and Users (read and execute);
// POSIX: mode 755, owned by the caller (root, when an administrator
// installs). Folders that exist keep their rights. FALSE, with the last
// error set, when a folder cannot be made.
BOOL MakeAdministratorsFolder(const std::wstring& folder);

// An account other than the administrators that can place files in a folder,
// and the folder whose rights let it (the folder itself, or on POSIX one
// above it). An empty account means none was found.
struct FolderWriter {
    std::wstring account;
    std::wstring grantedOn;
};

// Windows: an allow ACE of the folder's DACL (inherit-only ones aside) for
// BUILTIN\Users, NT AUTHORITY\Authenticated Users, Everyone or
// NT AUTHORITY\INTERACTIVE with a right to add files or folders, write or
// append (also as GENERIC_WRITE or GENERIC_ALL); a folder without a DACL
// is open to Everyone. POSIX: the group or others write bit on the folder
// ("group NAME", "other users"), or on a folder above it that is not both
// sticky and owned by root (those could replace the folder). A folder whose
// rights cannot be read (a missing one) gives none.
FolderWriter FindOtherFolderWriter(const std::wstring& folder);

}  // namespace plat
