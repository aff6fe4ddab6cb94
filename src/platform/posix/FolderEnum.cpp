// POSIX folder enumeration: a folder opened by path or relative to its parent
// (openat), its identity from the open descriptor, then readdir; the entry's
// own type decides what is a folder, and a stat relative to the open folder
// is made only where that type says "link" or "unknown".
#include "platform/FolderEnum.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/Utf8.h"
#include "platform/Handles.h"
#include "platform/posix/PosixObjects.h"

namespace plat {

namespace {

constexpr DWORD kNoMoreFiles = 18;  // ERROR_NO_MORE_FILES

bool IsDotsName(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Links are followed (stat, not lstat), so a link to a folder is a folder; a
// dangling link is listed as a file. Most file systems give the type in the
// entry itself, which spares one system call per entry of a large tree.
bool IsFolderEntry(int folder, const dirent* entry) {
    switch (entry->d_type) {
        case DT_DIR: return true;
        case DT_LNK:
        case DT_UNKNOWN: {
            struct stat info;
            return ::fstatat(folder, entry->d_name, &info, 0) == 0 && S_ISDIR(info.st_mode);
        }
        default: return false;
    }
}

BOOL Fail(int error) {
    SetLastErrorCode(posix::Win32FromErrno(error));
    return FALSE;
}

}  // namespace

struct CFolderReader::State {
    DIR* dir = nullptr;
    FolderIdentity identity;
    bool identityKnown = false;

    ~State() {
        if (dir != nullptr) ::closedir(dir);
    }

    // Takes over the descriptor `fd` of a folder (or -1 after a failed open).
    BOOL Adopt(int fd) {
        if (fd < 0) return Fail(errno);
        struct stat info;
        if (::fstat(fd, &info) == 0) {
            identity = {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
            identityKnown = true;
        }
        dir = ::fdopendir(fd);
        if (dir == nullptr) {
            const int error = errno;
            ::close(fd);
            return Fail(error);
        }
        return TRUE;
    }
};

CFolderReader::CFolderReader() = default;
CFolderReader::~CFolderReader() = default;

BOOL CFolderReader::Open(const std::wstring& folderPath) {
    m_pState.reset();
    const std::string path = WideToUtf8(folderPath);
    if (path.empty()) return Fail(ENOENT);
    if (path.find('\0') != std::string::npos) return Fail(EINVAL);
    auto state = std::make_unique<State>();
    if (!state->Adopt(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))) return FALSE;
    m_pState = std::move(state);
    return TRUE;
}

BOOL CFolderReader::OpenEntry(const CFolderReader& parent, FileNameView name) {
    m_pState.reset();
    if (!parent.m_pState) return Fail(EBADF);
    if (name.empty() || name.find('\0') != FileNameView::npos) return Fail(EINVAL);
    const std::string entry(name);  // the call wants it terminated
    auto state = std::make_unique<State>();
    if (!state->Adopt(::openat(::dirfd(parent.m_pState->dir), entry.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)))
        return FALSE;
    m_pState = std::move(state);
    return TRUE;
}

bool CFolderReader::Identity(FolderIdentity* identity) const {
    if (!m_pState || !m_pState->identityKnown) return false;
    *identity = m_pState->identity;
    return true;
}

BOOL CFolderReader::Next(FolderEntry* entry) {
    if (!m_pState) return Fail(EBADF);
    for (;;) {
        errno = 0;
        const dirent* found = ::readdir(m_pState->dir);
        if (found == nullptr) {
            if (errno != 0) return Fail(errno);
            SetLastErrorCode(kNoMoreFiles);
            return FALSE;
        }
        if (IsDotsName(found->d_name)) continue;
        entry->name = FileNameView(found->d_name);
        entry->isDirectory = IsFolderEntry(::dirfd(m_pState->dir), found);
        return TRUE;
    }
}

bool IsPathSeparator(wchar_t c) { return c == L'/'; }

}  // namespace plat
