// POSIX folder enumeration: opendir/readdir; the entry's own type decides what
// is a folder, and a stat relative to the open folder only where that type
// says "link" or "unknown".
#include "platform/FolderEnum.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "common/Utf8.h"
#include "platform/Handles.h"
#include "platform/posix/PosixObjects.h"

namespace plat {

namespace {

// Links are followed (stat, not lstat), so a link to a folder is a folder; a
// dangling link is listed as a file. Most file systems give the type in the
// entry itself, which spares one system call per entry of a large tree.
bool IsFolderEntry(DIR* dir, const dirent* entry) {
    switch (entry->d_type) {
        case DT_DIR: return true;
        case DT_LNK:
        case DT_UNKNOWN: {
            struct stat info;
            return ::fstatat(::dirfd(dir), entry->d_name, &info, 0) == 0 && S_ISDIR(info.st_mode);
        }
        default: return false;
    }
}

}  // namespace

BOOL EnumerateFolder(const std::wstring& folderPath, std::vector<FolderEntry>* entries) {
    // Collected apart and handed over at the end, so that `folderPath` may
    // belong to one of the entries being replaced.
    std::vector<FolderEntry> found;
    auto fail = [&](DWORD error) {
        entries->clear();
        SetLastErrorCode(error);
        return FALSE;
    };
    const std::string folderBytes = WideToUtf8(folderPath);
    if (folderBytes.empty()) return fail(posix::Win32FromErrno(ENOENT));
    if (folderBytes.find('\0') != std::string::npos) return fail(posix::Win32FromErrno(EINVAL));
    DIR* dir = ::opendir(folderBytes.c_str());
    if (dir == nullptr) return fail(posix::Win32FromErrno(errno));
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir);
        if (entry == nullptr) break;
        FolderEntry item;
        // File names are UTF-8 by convention; a name that is not keeps its
        // place in the listing with its bad bytes shown as U+FFFD.
        item.name = Utf8ToWideLossy(entry->d_name);
        item.fullPath = JoinPath(folderPath, item.name);
        item.isDots = std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0;
        item.isDirectory = IsFolderEntry(dir, entry);
        found.push_back(std::move(item));
    }
    const int readError = errno;
    ::closedir(dir);
    if (readError != 0) return fail(posix::Win32FromErrno(readError));
    *entries = std::move(found);
    return TRUE;
}

bool IsPathSeparator(wchar_t c) { return c == L'/'; }

}  // namespace plat
