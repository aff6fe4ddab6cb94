// The POSIX registry's file: read whole, replaced whole under a lock.
#include "platform/posix/registry/RegistryFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/RegistryCodes.h"
#include "platform/Win32Codes.h"
#include "platform/posix/PosixObjects.h"

namespace plat::posix {
namespace {

constexpr const char* kDefaultFolder = "/var/lib/velmora/registry";
constexpr const char* kHiveFile = "/HKEY_LOCAL_MACHINE.reg";
constexpr const char* kTemporaryFile = "/HKEY_LOCAL_MACHINE.reg.tmp";
constexpr const char* kLockFile = "/HKEY_LOCAL_MACHINE.lock";

LONG LastErrnoStatus() { return static_cast<LONG>(Win32FromErrno(errno)); }

// mkdir -p: every missing folder on the path, 0755.
LONG MakeFolders(const std::string& path) {
    for (std::size_t i = 1; i <= path.size(); ++i) {
        if (i != path.size() && path[i] != '/') continue;
        const std::string prefix = path.substr(0, i);
        if (::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return LastErrnoStatus();
    }
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return LastErrnoStatus();
    return S_ISDIR(info.st_mode) ? static_cast<LONG>(ERROR_SUCCESS) : static_cast<LONG>(ERROR_PATH_NOT_FOUND);
}

int OpenRetrying(const std::string& path, int flags, mode_t mode = 0) {
    int fd;
    do fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

bool WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            if (written == 0) errno = EIO;
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

}  // namespace

std::string RegistryFolderPath() {
    const char* folder = std::getenv("VELMORA_REGISTRY_ROOT");
    std::string path = (folder != nullptr && folder[0] != '\0') ? folder : kDefaultFolder;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

LONG LoadRegistryHive(RegistryHive* hive) {
    const int fd = OpenRetrying(RegistryFolderPath() + kHiveFile, O_RDONLY);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            *hive = RegistryHive::Fresh();
            return ERROR_SUCCESS;
        }
        return LastErrnoStatus();
    }
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            const LONG status = LastErrnoStatus();
            ::close(fd);
            return status;
        }
        if (got == 0) break;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return RegistryHive::Parse(text, hive) ? static_cast<LONG>(ERROR_SUCCESS)
                                           : static_cast<LONG>(ERROR_REGISTRY_CORRUPT);
}

RegistryWriteLock::~RegistryWriteLock() {
    if (m_fd >= 0) ::close(m_fd);  // closing the last descriptor releases the lock
}

LONG RegistryWriteLock::Acquire() {
    const std::string folder = RegistryFolderPath();
    if (const LONG status = MakeFolders(folder); status != ERROR_SUCCESS) return status;
    m_fd = OpenRetrying(folder + kLockFile, O_RDWR | O_CREAT, 0644);
    if (m_fd < 0) return LastErrnoStatus();
    int rc;
    do rc = ::flock(m_fd, LOCK_EX);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const LONG status = LastErrnoStatus();
        ::close(m_fd);
        m_fd = -1;
        return status;
    }
    return ERROR_SUCCESS;
}

LONG SaveRegistryHive(const RegistryHive& hive) {
    const std::string folder = RegistryFolderPath();
    const std::string temporary = folder + kTemporaryFile;
    // A temporary file left by a writer that died is simply truncated: only
    // the holder of the lock ever writes it.
    const int fd = OpenRetrying(temporary, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return LastErrnoStatus();
    if (!WriteAll(fd, hive.Serialise()) || ::fsync(fd) != 0) {
        const LONG status = LastErrnoStatus();
        ::close(fd);
        ::unlink(temporary.c_str());
        return status;
    }
    if (::close(fd) != 0 && errno != EINTR) {
        const LONG status = LastErrnoStatus();
        ::unlink(temporary.c_str());
        return status;
    }
    if (::rename(temporary.c_str(), (folder + kHiveFile).c_str()) != 0) {
        const LONG status = LastErrnoStatus();
        ::unlink(temporary.c_str());
        return status;
    }
    return ERROR_SUCCESS;
}

LONG SyncRegistryFolder() {
    const int fd = OpenRetrying(RegistryFolderPath(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) {
        // Nothing written yet: nothing to make durable.
        return errno == ENOENT ? static_cast<LONG>(ERROR_SUCCESS) : LastErrnoStatus();
    }
    const LONG status = ::fsync(fd) == 0 ? static_cast<LONG>(ERROR_SUCCESS) : LastErrnoStatus();
    ::close(fd);
    return status;
}

}  // namespace plat::posix
