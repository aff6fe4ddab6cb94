// The POSIX service manager's handles and the unit-file and systemctl helpers its calls share.
#include "platform/posix/systemd/SystemdObjects.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <sstream>
#include <vector>

#include "common/Utf8.h"
#include "platform/Handles.h"
#include "platform/ServiceCodes.h"
#include "platform/ServiceManagerCodes.h"
#include "platform/Win32Codes.h"
#include "platform/posix/PosixObjects.h"
#include "platform/posix/systemd/Systemctl.h"
#include "platform/posix/systemd/SystemdStates.h"

namespace plat::posix {
namespace {


// The live handles. A handle is the object's address; it is accepted only
// while it is in this set, so a closed or foreign handle fails cleanly.
std::mutex g_mutex;
std::set<ScObject*> g_objects;

}  // namespace

void* NewScHandle(ScObject object) {
    ScObject* created = new ScObject(std::move(object));
    std::lock_guard lock(g_mutex);
    g_objects.insert(created);
    return created;
}

ScObject* LookUpScHandle(void* handle, ScObject::Kind kind) {
    std::lock_guard lock(g_mutex);
    auto found = g_objects.find(static_cast<ScObject*>(handle));
    if (found == g_objects.end() || (*found)->kind != kind) {
        SetLastErrorCode(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return *found;
}

ScObject* ReleaseScHandle(void* handle, ScObject::Kind kind) {
    std::lock_guard lock(g_mutex);
    auto found = g_objects.find(static_cast<ScObject*>(handle));
    if (found == g_objects.end() || (*found)->kind != kind) {
        SetLastErrorCode(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    ScObject* object = *found;
    g_objects.erase(found);
    return object;
}

DWORD ManagerAccessOf(DWORD desired) {
    constexpr DWORD kAll = SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE | SC_MANAGER_ENUMERATE_SERVICE |
                           SC_MANAGER_LOCK | SC_MANAGER_QUERY_LOCK_STATUS | SC_MANAGER_MODIFY_BOOT_CONFIG;
    DWORD access = (desired & kAll) | SC_MANAGER_CONNECT;  // connecting is always granted
    if (desired & GENERIC_READ)
        access |= SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS;
    if (desired & GENERIC_WRITE) access |= SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG;
    if (desired & GENERIC_EXECUTE) access |= SC_MANAGER_CONNECT | SC_MANAGER_LOCK;
    if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED)) access |= kAll;
    return access;
}

DWORD ServiceAccessOf(DWORD desired) {
    constexpr DWORD kAll = SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG | SERVICE_QUERY_STATUS |
                           SERVICE_ENUMERATE_DEPENDENTS | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE |
                           SERVICE_INTERROGATE | SERVICE_USER_DEFINED_CONTROL | DELETE;
    DWORD access = desired & kAll;
    if (desired & GENERIC_READ)
        access |= SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_ENUMERATE_DEPENDENTS | SERVICE_INTERROGATE;
    if (desired & GENERIC_WRITE) access |= SERVICE_CHANGE_CONFIG;
    if (desired & GENERIC_EXECUTE)
        access |= SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE | SERVICE_INTERROGATE |
                  SERVICE_USER_DEFINED_CONTROL;
    if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED)) access |= kAll;
    return access;
}

std::filesystem::path UnitFilePath(const std::filesystem::path& unitFolder, const std::wstring& serviceName) {
    return unitFolder / WideToUtf8(SystemdUnitFileName(serviceName));
}

BOOL ReadServiceDefinition(const ScObject& service, SystemdServiceDefinition* definition) {
    const std::filesystem::path path = UnitFilePath(service.unitFolder, service.serviceName);
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        SetLastErrorCode(errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_SERVICE_DOES_NOT_EXIST);
        return FALSE;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        SetLastErrorCode(Win32FromErrno(errno));
        return FALSE;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!ParseSystemdUnitFile(text, service.serviceName, definition)) {
        SetLastErrorCode(ERROR_INVALID_DATA);
        return FALSE;
    }
    return TRUE;
}

DWORD WriteUnitFile(const std::filesystem::path& path, const std::string& text, bool mustBeNew) {
    std::string temporary = (path.parent_path() / ("." + path.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return Win32FromErrno(errno);
    DWORD error = 0;
    std::size_t written = 0;
    while (error == 0 && written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) error = Win32FromErrno(errno);
        else written += static_cast<std::size_t>(n);
    }
    if (error == 0 && ::fchmod(fd, 0644) != 0) error = Win32FromErrno(errno);
    if (error == 0 && ::fsync(fd) != 0) error = Win32FromErrno(errno);
    if (::close(fd) != 0 && error == 0) error = Win32FromErrno(errno);
    if (error == 0) {
        if (mustBeNew) {
            // link() never replaces: two installers of one name cannot both win.
            if (::link(temporary.c_str(), path.c_str()) != 0)
                error = errno == EEXIST ? ERROR_SERVICE_EXISTS : Win32FromErrno(errno);
        } else if (::rename(temporary.c_str(), path.c_str()) != 0) {
            error = Win32FromErrno(errno);
        }
    }
    if (mustBeNew || error != 0) ::unlink(temporary.c_str());
    return error;
}

BOOL Systemctl(std::initializer_list<std::string> arguments) {
    const DWORD error = Win32ErrorOfRun(RunSystemctl(std::vector<std::string>(arguments)));
    if (error == 0) return TRUE;
    SetLastErrorCode(error);
    return FALSE;
}

BOOL QueryUnitStatus(const std::wstring& serviceName, ServiceStatusRecord* status) {
    const SystemctlRun run =
        RunSystemctl({"show", kSystemctlStatusProperties, WideToUtf8(SystemdUnitFileName(serviceName))});
    if (const DWORD error = Win32ErrorOfRun(run); error != 0) {
        SetLastErrorCode(error);
        return FALSE;
    }
    const std::vector<SystemdProperties> units = ParseSystemctlShow(run.output);
    if (units.empty() || !ServiceStatusOfUnit(units[0], status)) {
        SetLastErrorCode(ERROR_INVALID_DATA);
        return FALSE;
    }
    return TRUE;
}

}  // namespace plat::posix
