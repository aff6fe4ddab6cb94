// POSIX folder rights: mode bits, walked from the folder up to the root.
#include "platform/FolderRights.h"

#include <grp.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include "common/Utf8.h"
#include "platform/Handles.h"
#include "platform/posix/PosixObjects.h"

namespace plat {

namespace {

constexpr mode_t kAdministratorsFolderMode = 0755;

std::string WithoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

std::string ParentOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return std::string();
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

bool MakeFolders(const std::string& path) {
    struct stat info {};
    if (path.empty() || ::stat(path.c_str(), &info) == 0) return true;
    if (!MakeFolders(ParentOf(path))) return false;
    if (::mkdir(path.c_str(), kAdministratorsFolderMode) != 0) return errno == EEXIST;
    // The process's umask does not decide what others may read.
    return ::chmod(path.c_str(), kAdministratorsFolderMode) == 0;
}

std::wstring GroupName(gid_t gid) {
    struct group entry {};
    struct group* found = nullptr;
    std::string buffer(16384, '\0');
    if (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr)
        return L"group " + Utf8ToWideLossy(found->gr_name);
    return L"group " + std::to_wstring(gid);
}

// Who besides the owner can write to a folder with these rights.
std::wstring OtherWriter(const struct stat& info) {
    if (info.st_mode & S_IWOTH) return L"other users";
    if (info.st_mode & S_IWGRP) return GroupName(info.st_gid);
    return std::wstring();
}

}  // namespace

BOOL MakeAdministratorsFolder(const std::wstring& folder) {
    if (MakeFolders(WithoutTrailingSlashes(WideToUtf8(folder)))) return TRUE;
    SetLastErrorCode(posix::Win32FromErrno(errno));
    return FALSE;
}

FolderWriter FindOtherFolderWriter(const std::wstring& folder) {
    char resolved[PATH_MAX];
    if (::realpath(WideToUtf8(folder).c_str(), resolved) == nullptr) return {};
    std::string path = resolved;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return {};
    // In the folder itself anyone with write access can add files, sticky or not.
    if (std::wstring account = OtherWriter(info); !account.empty()) return {account, Utf8ToWideLossy(path)};
    // Above it, write access lets one rename the folder and put another in its place.
    while (path != "/") {
        path = ParentOf(path);
        if (::stat(path.c_str(), &info) != 0) return {};
        if ((info.st_mode & S_ISVTX) && info.st_uid == 0) continue;
        if (std::wstring account = OtherWriter(info); !account.empty()) return {account, Utf8ToWideLossy(path)};
    }
    return {};
}

}  // namespace plat
