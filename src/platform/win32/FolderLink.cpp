// Windows folder links: directory symbolic links.
#include <windows.h>

#include "platform/FolderLink.h"

#ifndef SYMBOLIC_LINK_FLAG_DIRECTORY
#define SYMBOLIC_LINK_FLAG_DIRECTORY 0x1
#endif
#ifndef SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
#define SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE 0x2
#endif

namespace plat {

namespace {

bool IsLink(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

}  // namespace

BOOL CreateFolderLink(const std::wstring& linkPath, const std::wstring& targetPath) {
    // Developer mode lets an unprivileged process create links; systems that
    // do not know the flag reject it, so try again without.
    BOOL created = ::CreateSymbolicLinkW(linkPath.c_str(), targetPath.c_str(),
                                         SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
    if (!created && ::GetLastError() == ERROR_INVALID_PARAMETER)
        created = ::CreateSymbolicLinkW(linkPath.c_str(), targetPath.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY);
    if (!created) return FALSE;
    // Some implementations (Wine's among them) report success without creating anything.
    if (!IsLink(linkPath)) {
        ::SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    return TRUE;
}

BOOL RemoveFolderLink(const std::wstring& linkPath) {
    // A directory link is removed like an empty folder; refuse what is not a link.
    const DWORD attributes = ::GetFileAttributesW(linkPath.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return FALSE;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return ::RemoveDirectoryW(linkPath.c_str());
    return ::DeleteFileW(linkPath.c_str());
}

}  // namespace plat
