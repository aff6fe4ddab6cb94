// Windows folder links (directory symbolic links) and 8.3 short names.
#include <windows.h>

#include "support/FolderLink.h"

#ifndef SYMBOLIC_LINK_FLAG_DIRECTORY
#define SYMBOLIC_LINK_FLAG_DIRECTORY 0x1
#endif
#ifndef SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
#define SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE 0x2
#endif

namespace testsupport {

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

std::wstring ShortName(const std::wstring& path) {
    wchar_t buffer[MAX_PATH] = {};
    const DWORD n = ::GetShortPathNameW(path.c_str(), buffer, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return {};
    std::wstring shortPath(buffer, n);
    const std::size_t slash = shortPath.find_last_of(L"\\/");
    return slash == std::wstring::npos ? shortPath : shortPath.substr(slash + 1);
}

}  // namespace testsupport
