// POSIX append: one O_APPEND write per record, so concurrent writers never
// interleave within a record (POSIX has no mandatory deny-write sharing).
#include "platform/AppendFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "common/Utf8.h"
#include "platform/posix/PosixObjects.h"

namespace plat {

BOOL AppendToFile(const std::wstring& path, std::string_view bytes, DWORD* error) {
    // A log appends to the same file line after line: its name is converted once.
    thread_local std::wstring t_lastPath;
    thread_local std::string t_lastName;
    if (path != t_lastPath) {
        t_lastName = WideToUtf8(path);
        t_lastPath = path;
    }
    const int fd = ::open(t_lastName.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (error) *error = posix::Win32FromErrno(errno);
        return FALSE;
    }
    std::size_t done = 0;
    BOOL ok = TRUE;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (error) *error = posix::Win32FromErrno(n < 0 ? errno : ENOSPC);
            ok = FALSE;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return ok;
}

}  // namespace plat
