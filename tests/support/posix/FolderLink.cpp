// POSIX folder links (symbolic links); POSIX file systems have no short names.
#include "support/FolderLink.h"

#include <unistd.h>

#include <cerrno>

#include "common/Utf8.h"
#include "platform/Handles.h"
#include "platform/posix/PosixObjects.h"

namespace testsupport {

BOOL CreateFolderLink(const std::wstring& linkPath, const std::wstring& targetPath) {
    if (::symlink(WideToUtf8(targetPath).c_str(), WideToUtf8(linkPath).c_str()) != 0) {
        plat::SetLastErrorCode(plat::posix::Win32FromErrno(errno));
        return FALSE;
    }
    return TRUE;
}

BOOL RemoveFolderLink(const std::wstring& linkPath) {
    // unlink removes the link; it refuses a real folder (EISDIR).
    if (::unlink(WideToUtf8(linkPath).c_str()) != 0) {
        plat::SetLastErrorCode(plat::posix::Win32FromErrno(errno));
        return FALSE;
    }
    return TRUE;
}

std::wstring ShortName(const std::wstring&) { return {}; }

}  // namespace testsupport
