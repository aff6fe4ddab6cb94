// The event reporter: one registration per event, serialised by the reporter's lock.
#include "service/NTEventLogSource.h"

#include <cstdint>
#include <limits>

#include "common/Format.h"
#include "platform/Handles.h"
#include "platform/ServiceCodes.h"
#include "platform/Win32Codes.h"
#include "service/ServiceSystemCalls.h"

CNTEventLogSource::CNTEventLogSource() : m_hEventSource(nullptr), m_strLogName(L"Application"), m_csLock(0) {}

CNTEventLogSource::~CNTEventLogSource() {
    CSingleLock lock(m_csLock);
    if (m_hEventSource != nullptr) {
        CurrentEventLogCalls().close(m_hEventSource);
        m_hEventSource = nullptr;
    }
}

std::wstring CNTEventLogSource::GetSourceName() const {
    CSingleLock lock(m_csLock);
    return m_strSourceName;
}

std::wstring CNTEventLogSource::GetLogName() const {
    CSingleLock lock(m_csLock);
    return m_strLogName;
}

std::wstring CNTEventLogSource::GetServerName() const {
    CSingleLock lock(m_csLock);
    return m_strServerName;
}

void CNTEventLogSource::SetSourceName(const std::wstring& sourceName) {
    CSingleLock lock(m_csLock);
    m_strSourceName = sourceName;
}

void CNTEventLogSource::SetLogName(const std::wstring& logName) {
    CSingleLock lock(m_csLock);
    m_strLogName = logName;
}

void CNTEventLogSource::SetServerName(const std::wstring& serverName) {
    CSingleLock lock(m_csLock);
    m_strServerName = serverName;
}

BOOL CNTEventLogSource::Report(std::uint16_t type, DWORD eventId, std::uint16_t count, const wchar_t* const* strings) {
    if (count != 0 && strings == nullptr) {
        plat::SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // The system's report call reads every string; a null one would crash it.
    std::vector<const wchar_t*> insertions(strings, strings + count);
    for (const wchar_t*& s : insertions)
        if (s == nullptr) s = L"";

    const EventLogCalls& calls = CurrentEventLogCalls();
    CSingleLock lock(m_csLock);
    if (m_hEventSource != nullptr) {
        calls.close(m_hEventSource);
        m_hEventSource = nullptr;
    }
    m_hEventSource = calls.open(m_strServerName.c_str(), m_strSourceName.c_str());
    BOOL result = FALSE;
    if (m_hEventSource != nullptr) {
        result = calls.report(m_hEventSource, type, 0, eventId, count, insertions.data());
        // Closing must not overwrite the report's error code.
        const DWORD error = plat::LastError();
        calls.close(m_hEventSource);
        m_hEventSource = nullptr;
        plat::SetLastErrorCode(error);
    }
    return result;
}

BOOL CNTEventLogSource::Report(std::uint16_t type, DWORD eventId, const std::vector<std::wstring>& strings) {
    if (strings.size() > std::numeric_limits<std::uint16_t>::max()) {
        plat::SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<const wchar_t*> pointers;
    pointers.reserve(strings.size());
    for (const std::wstring& s : strings) pointers.push_back(s.c_str());
    return Report(type, eventId, static_cast<std::uint16_t>(pointers.size()), pointers.data());
}

BOOL CNTEventLogSource::ReportErrorCode(DWORD eventId, DWORD code) {
    return Report(EVENTLOG_ERROR_TYPE, eventId, {FormatW(L"%d", static_cast<std::int32_t>(code))});
}

BOOL CNTEventLogSource::ReportErrorCodeAndText(DWORD eventId, DWORD code, const std::wstring& text) {
    return Report(EVENTLOG_ERROR_TYPE, eventId, {FormatW(L"%d", static_cast<std::int32_t>(code)), text});
}
