// POSIX error texts: strerror where an errno value stands for the Win32 code,
// our own texts in the Windows wording for the codes without one.
#include "platform/SystemErrorText.h"

#include <cerrno>
#include <cstring>

#include "common/Utf8.h"

namespace plat {
namespace {

struct CodeText {
    DWORD code;
    int errnoValue;    // the errno the code stands for, or -1
    const char* text;  // the text when there is no errno
};

// Every Win32 code the program can produce on POSIX, ascending.
constexpr CodeText kCodeTexts[] = {
    {0, 0, nullptr},
    {1, -1, "Incorrect function."},
    {2, ENOENT, nullptr},
    {3, ENOTDIR, nullptr},
    {4, EMFILE, nullptr},
    {5, EACCES, nullptr},
    {6, EBADF, nullptr},
    {8, ENOMEM, nullptr},
    {13, -1, "The data is invalid."},
    {14, -1, "Not enough memory resources are available to complete this operation."},
    {18, -1, "There are no more files."},
    {19, -1, "The media is write protected."},
    {32, EBUSY, nullptr},
    {38, -1, "Reached the end of the file."},
    {50, -1, "The request is not supported."},
    {80, -1, "The file exists."},
    {87, EINVAL, nullptr},
    {112, ENOSPC, nullptr},
    {120, ENOSYS, nullptr},
    {122, -1, "The data area passed to a system call is too small."},
    {123, -1, "The filename, directory name, or volume label syntax is incorrect."},
    {124, -1, "The system call level is not correct."},
    {145, ENOTEMPTY, nullptr},
    {161, -1, "The specified path is invalid."},
    {183, EEXIST, nullptr},
    {206, ENAMETOOLONG, nullptr},
    {234, -1, "More data is available."},
    {259, -1, "No more data is available."},
    {998, -1, "Invalid access to memory location."},
    {1009, -1, "The configuration registry database is corrupt."},
    {1010, -1, "The configuration registry key is invalid."},
    {1011, -1, "The configuration registry key could not be opened."},
    {1012, -1, "The configuration registry key could not be read."},
    {1013, -1, "The configuration registry key could not be written."},
    {1015, -1,
     "The registry is corrupted. The structure of one of the files containing registry data is corrupted, or the "
     "system's memory image of the file is corrupted, or the file could not be recovered because the alternate "
     "copy or log was absent or corrupted."},
    {1016, -1,
     "An I/O operation initiated by the registry failed unrecoverably. The registry could not read in, or write "
     "out, or flush, one of the files that contain the system's image of the registry."},
    {1018, -1, "Illegal operation attempted on a registry key that has been marked for deletion."},
    {1051, -1, "A stop control has been sent to a service that other running services are dependent on."},
    {1052, -1, "The requested control is not valid for this service."},
    {1053, -1, "The service did not respond to the start or control request in a timely fashion."},
    {1054, -1, "A thread could not be created for the service."},
    {1055, -1, "The service database is locked."},
    {1056, -1, "An instance of the service is already running."},
    {1057, -1,
     "The account name is invalid or does not exist, or the password is invalid for the account name specified."},
    {1058, -1,
     "The service cannot be started, either because it is disabled or because it has no enabled devices "
     "associated with it."},
    {1059, -1, "Circular service dependency was specified."},
    {1060, -1, "The specified service does not exist as an installed service."},
    {1061, -1, "The service cannot accept control messages at this time."},
    {1062, -1, "The service has not been started."},
    {1063, -1, "The service process could not connect to the service controller."},
    {1064, -1, "An exception occurred in the service when handling the control request."},
    {1065, -1, "The database specified does not exist."},
    {1066, -1, "The service has returned a service-specific error code."},
    {1067, -1, "The process terminated unexpectedly."},
    {1068, -1, "The dependency service or group failed to start."},
    {1069, -1, "The service did not start due to a logon failure."},
    {1070, -1, "After starting, the service hung in a start-pending state."},
    {1072, -1, "The specified service has been marked for deletion."},
    {1073, -1, "The specified service already exists."},
    {1078, -1, "The name is already in use as either a service name or a service display name."},
    {1083, -1, "The executable program that this service is configured to run in does not implement the service."},
    {1223, -1, "The operation was canceled by the user."},
    {1627, -1, "Function failed during execution."},
    {1287, -1, "Insufficient information exists to identify the cause of failure."},
    {1410, -1, "Class already exists."},
    {1444, -1, "Invalid thread identifier."},
    {1460, -1, "This operation returned because the timeout period expired."},
    {1816, -1, "Not enough quota is available to process this command."},
    {10004, EINTR, nullptr},
    {10009, EBADF, nullptr},
    {10013, EACCES, nullptr},
    {10014, EFAULT, nullptr},
    {10022, EINVAL, nullptr},
    {10024, EMFILE, nullptr},
    {10035, EAGAIN, nullptr},
    {10036, EINPROGRESS, nullptr},
    {10038, ENOTSOCK, nullptr},
    {10040, EMSGSIZE, nullptr},
    {10044, ESOCKTNOSUPPORT, nullptr},
    {10047, EAFNOSUPPORT, nullptr},
    {10048, EADDRINUSE, nullptr},
    {10049, EADDRNOTAVAIL, nullptr},
    {10050, ENETDOWN, nullptr},
    {10051, ENETUNREACH, nullptr},
    {10053, ECONNABORTED, nullptr},
    {10054, ECONNRESET, nullptr},
    {10055, ENOBUFS, nullptr},
    {10056, EISCONN, nullptr},
    {10057, ENOTCONN, nullptr},
    {10060, ETIMEDOUT, nullptr},
    {10061, ECONNREFUSED, nullptr},
};

// strerror_r comes in two forms (GNU: returns the text; XSI: fills the buffer).
[[maybe_unused]] const char* PickText(const char* text, const char*) { return text; }
[[maybe_unused]] const char* PickText(int result, const char* buffer) { return result == 0 ? buffer : ""; }

std::string ErrnoText(int value) {
    char buffer[256] = {};
    return PickText(::strerror_r(value, buffer, sizeof buffer), buffer);
}

}  // namespace

std::wstring SystemErrorText(DWORD code) {
    for (const CodeText& entry : kCodeTexts) {
        if (entry.code != code) continue;
        return Utf8ToWideLossy(entry.errnoValue >= 0 ? ErrnoText(entry.errnoValue) : std::string(entry.text));
    }
    return std::wstring();
}

}  // namespace plat
