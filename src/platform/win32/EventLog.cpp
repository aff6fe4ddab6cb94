// Windows event log: the real event source registration and reports.
#include <windows.h>

#include "platform/EventLog.h"

namespace plat {

EventSourceHandle OpenEventSource(const wchar_t* serverName, const wchar_t* sourceName) {
    const wchar_t* server = (serverName != nullptr && serverName[0] != L'\0') ? serverName : nullptr;
    return ::RegisterEventSourceW(server, sourceName ? sourceName : L"");
}

BOOL ReportEventToSource(EventSourceHandle source, std::uint16_t type, std::uint16_t category, DWORD eventId,
                         std::uint16_t stringCount, const wchar_t* const* strings) {
    if (stringCount != 0 && strings == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return ::ReportEventW(source, type, category, eventId, nullptr, stringCount, 0,
                          const_cast<LPCWSTR*>(strings), nullptr);
}

BOOL CloseEventSource(EventSourceHandle source) { return ::DeregisterEventSource(source); }

}  // namespace plat
