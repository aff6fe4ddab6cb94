// POSIX disk files for reading: regular files only, opened read-only.
//
// POSIX has no mandatory sharing modes, so the deny-write sharing the server
// asks for cannot be had here: the file is opened read-only and other
// processes can still write it while it is open.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/Utf8.h"
#include "platform/File.h"
#include "platform/Win32Codes.h"
#include "platform/posix/PosixObjects.h"

namespace {

// ENOENT names either the file or a folder on its way; Windows tells them apart.
DWORD MissingCode(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return ERROR_FILE_NOT_FOUND;
    struct stat folder {};
    if (::stat(path.substr(0, slash).c_str(), &folder) == 0 && S_ISDIR(folder.st_mode)) return ERROR_FILE_NOT_FOUND;
    return ERROR_PATH_NOT_FOUND;
}

std::int64_t Nanoseconds(const timespec& t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + static_cast<std::int64_t>(t.tv_nsec);
}

bool StampOf(const struct stat& status, FileStamp& stamp) {
    if (!S_ISREG(status.st_mode)) return false;
    stamp.device = static_cast<std::uint64_t>(status.st_dev);
    stamp.inode = static_cast<std::uint64_t>(status.st_ino);
    stamp.size = static_cast<std::uint64_t>(status.st_size);
    stamp.modifiedNs = Nanoseconds(status.st_mtim);
    stamp.changedNs = Nanoseconds(status.st_ctim);
    return true;
}

BOOL Fail(DWORD code, DWORD* error) {
    if (error) *error = code;
    return FALSE;
}

}  // namespace

CDiskFile::~CDiskFile() { Close(); }

BOOL CDiskFile::Open(const std::wstring& path, DWORD* error) {
    Close();
    if (path.empty() || path.find(L'\0') != std::wstring::npos) return Fail(ERROR_INVALID_NAME, error);
    const std::string name = WideToUtf8(path);
    // Look before opening: opening a FIFO blocks, and opening a device can act.
    struct stat before {};
    if (::stat(name.c_str(), &before) != 0) {
        const int failure = errno;
        return Fail(failure == ENOENT ? MissingCode(name) : plat::posix::Win32FromErrno(failure), error);
    }
    if (!S_ISREG(before.st_mode)) return Fail(ERROR_ACCESS_DENIED, error);
    int fd;
    do {
        fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int failure = errno;
        return Fail(failure == ENOENT ? MissingCode(name) : plat::posix::Win32FromErrno(failure), error);
    }
    // The name may have been replaced between the look and the open.
    struct stat opened {};
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        ::close(fd);
        return Fail(ERROR_ACCESS_DENIED, error);
    }
    m_hFile = fd;
    m_nLengthAtOpen = static_cast<ULONGLONG>(opened.st_size);
    m_strPath = path;
    m_dwError = 0;
    if (error) *error = NO_ERROR;
    return TRUE;
}

bool CDiskFile::IsOpen() const { return m_hFile >= 0; }

UINT CDiskFile::Read(void* buffer, UINT count) {
    m_dwError = 0;
    if (m_hFile < 0) {
        m_dwError = ERROR_INVALID_HANDLE;
        return 0;
    }
    char* bytes = static_cast<char*>(buffer);
    UINT total = 0;
    while (total < count) {
        const ssize_t got = ::read(static_cast<int>(m_hFile), bytes + total, count - total);
        if (got > 0) {
            total += static_cast<UINT>(got);
        } else if (got == 0) {
            break;
        } else if (errno != EINTR) {
            m_dwError = plat::posix::Win32FromErrno(errno);
            break;
        }
    }
    return total;
}

ULONGLONG CDiskFile::Seek(LONGLONG offset, UINT from) {
    if (m_hFile < 0) return 0;
    const int whence = from == begin ? SEEK_SET : from == current ? SEEK_CUR : SEEK_END;
    off_t position = ::lseek(static_cast<int>(m_hFile), static_cast<off_t>(offset), whence);
    if (position < 0) position = ::lseek(static_cast<int>(m_hFile), 0, SEEK_CUR);
    return position < 0 ? 0 : static_cast<ULONGLONG>(position);
}

ULONGLONG CDiskFile::GetLength() const {
    struct stat status {};
    if (m_hFile < 0 || ::fstat(static_cast<int>(m_hFile), &status) != 0) return 0;
    return static_cast<ULONGLONG>(status.st_size);
}

std::wstring CDiskFile::GetFileName() const {
    const std::size_t slash = m_strPath.find_last_of(L'/');
    return slash == std::wstring::npos ? m_strPath : m_strPath.substr(slash + 1);
}

void CDiskFile::AppendFileName(std::wstring& out) const {
    const std::size_t slash = m_strPath.find_last_of(L'/');
    out.append(m_strPath, slash == std::wstring::npos ? 0 : slash + 1);
}

bool CDiskFile::GetStamp(FileStamp& stamp) const {
    struct stat status {};
    return m_hFile >= 0 && ::fstat(static_cast<int>(m_hFile), &status) == 0 && StampOf(status, stamp);
}

namespace plat {

bool QueryRegularFileStamp(const std::wstring& path, FileStamp& stamp) {
    if (path.empty() || path.find(L'\0') != std::wstring::npos) return false;
    // Asked once per request: the converted name reuses one buffer per thread.
    thread_local std::string t_name;
    t_name.clear();
    AppendWideToUtf8(t_name, path);
    struct stat status {};
    return ::stat(t_name.c_str(), &status) == 0 && StampOf(status, stamp);
}

}  // namespace plat

void CDiskFile::Close() {
    if (m_hFile < 0) return;
    ::close(static_cast<int>(m_hFile));
    m_hFile = -1;
}
