// The running executable's path on POSIX: the target of /proc/self/exe.
#include "platform/ModuleFileName.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "common/Utf8.h"
#include "platform/Handles.h"
#include "platform/posix/PosixObjects.h"

namespace plat {

std::wstring ExecutableFilePath() {
    std::error_code error;
    const std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        SetLastErrorCode(posix::Win32FromErrno(error.value()));
        return std::wstring();
    }
    return Utf8ToWideLossy(path.native());
}

}  // namespace plat
