// The event reporter of a service: writes events with the program's
// message-table ids to the system's event log under one source name.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/EventLog.h"
#include "platform/Types.h"
#include "threading/Sync.h"

class CNTEventLogSource {
  public:
    CNTEventLogSource();
    ~CNTEventLogSource();
    CNTEventLogSource(const CNTEventLogSource&) = delete;
    CNTEventLogSource& operator=(const CNTEventLogSource&) = delete;

    std::wstring GetSourceName() const;
    std::wstring GetLogName() const;
    std::wstring GetServerName() const;
    void SetSourceName(const std::wstring& sourceName);
    void SetLogName(const std::wstring& logName);
    void SetServerName(const std::wstring& serverName);

    // Writes one event (type: EVENTLOG_ERROR_TYPE, EVENTLOG_INFORMATION_TYPE
    // ...) with `count` insertion strings; a null string is written as empty.
    // Each event opens and closes its own registration, all under one lock, so
    // reports from several threads are written one after the other. Returns
    // the result of the system's report call (FALSE also when the source
    // cannot be opened).
    BOOL Report(std::uint16_t type, DWORD eventId, std::uint16_t count = 0, const wchar_t* const* strings = nullptr);
    BOOL Report(std::uint16_t type, DWORD eventId, const std::vector<std::wstring>& strings);

    // Error event with one insertion string: the code in decimal ("%d").
    BOOL ReportErrorCode(DWORD eventId, DWORD code);
    // Error event with two insertion strings: the code in decimal ("%d"), then the text.
    BOOL ReportErrorCodeAndText(DWORD eventId, DWORD code, const std::wstring& text);

  private:
    plat::EventSourceHandle m_hEventSource;
    std::wstring m_strServerName;
    std::wstring m_strSourceName;
    std::wstring m_strLogName;
    mutable CCriticalSection m_csLock;
};
