// POSIX event log: syslog, one line per event, under the source name without its spaces.
#include "platform/EventLog.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include <mutex>
#include <new>
#include <string>

#include "common/Utf8.h"
#include "platform/Handles.h"
#include "platform/Win32Codes.h"
#include "platform/posix/EventLogText.h"
#include "platform/posix/systemd/SystemdSandbox.h"

static_assert(LOG_ERR == 3 && LOG_WARNING == 4 && LOG_INFO == 6, "syslog severities follow RFC 5424");

namespace plat {
namespace {

struct EventSource {
    std::string identity;  // syslog keeps a pointer to it while the log is open
};

// openlog sets one identity for the whole process: each event opens the log
// under its own source's identity and closes it again, all under this lock.
std::mutex g_syslogMutex;

// VELMORA_SYSLOG_SOCKET names a datagram socket that takes the events in
// place of the system log (the format syslog itself sends: "<priority>
// identity[pid]: text"), so a test or a log collector can read them.
bool SendToSyslogSocket(const char* path, int priority, const std::string& identity, const std::string& line) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof address.sun_path) return false;
    std::strcpy(address.sun_path, path);
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const std::string datagram = "<" + std::to_string(priority) + ">" + identity + "[" +
                                 std::to_string(::getpid()) + "]: " + line;
    const bool sent = ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&address),
                               sizeof address) == static_cast<ssize_t>(datagram.size());
    ::close(fd);
    return sent;
}

}  // namespace

EventSourceHandle OpenEventSource(const wchar_t* serverName, const wchar_t* sourceName) {
    if (serverName != nullptr && serverName[0] != L'\0') {
        SetLastErrorCode(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    // The display name that names a source holds spaces, which journald cannot read in an identity.
    const std::wstring identity = SystemdSyslogIdentifier(sourceName ? sourceName : L"");
    auto* source = new (std::nothrow) EventSource{WideToUtf8(identity)};
    if (source == nullptr) SetLastErrorCode(ERROR_NOT_ENOUGH_MEMORY);
    return source;
}

BOOL ReportEventToSource(EventSourceHandle handle, std::uint16_t type, std::uint16_t category, DWORD eventId,
                         std::uint16_t stringCount, const wchar_t* const* strings) {
    auto* source = static_cast<EventSource*>(handle);
    if (source == nullptr) {
        SetLastErrorCode(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (stringCount != 0 && strings == nullptr) {
        SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<std::wstring> insertions;
    insertions.reserve(stringCount);
    for (std::uint16_t i = 0; i < stringCount; ++i) insertions.emplace_back(strings[i] ? strings[i] : L"");
    const std::string line = WideToUtf8(EventLogLine(eventId, insertions));

    std::lock_guard lock(g_syslogMutex);
    if (const char* path = std::getenv("VELMORA_SYSLOG_SOCKET"); path != nullptr && path[0] != '\0') {
        if (SendToSyslogSocket(path, LOG_DAEMON | SyslogSeverityOfEventType(type), source->identity, line)) return TRUE;
        SetLastErrorCode(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    ::openlog(source->identity.empty() ? nullptr : source->identity.c_str(), LOG_PID, LOG_DAEMON);
    ::syslog(LOG_DAEMON | SyslogSeverityOfEventType(type), "%s", line.c_str());
    ::closelog();
    return TRUE;
}

BOOL CloseEventSource(EventSourceHandle handle) {
    if (handle == nullptr) {
        SetLastErrorCode(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    delete static_cast<EventSource*>(handle);
    return TRUE;
}

}  // namespace plat
