// A service object for the install and control tests: its settings are
// reachable, and its error messages name the string id, the code and the form
// asked for ("<1507 1460 caller>"), so that the tests see exactly which
// message each failure produces.
#pragma once

#include <string>

#include "common/Format.h"
#include "service/NTService.h"

class ScmTestService : public CNTService {
  public:
    ScmTestService() : CNTService(L"VelmoraProbe", L"Velmora Probe", L"Probe description") {}

    using CNTService::m_arrDependencies;
    using CNTService::m_bEventLogEnabled;
    using CNTService::m_dwFailureRestartDelay;
    using CNTService::m_dwLastServiceSpecificError;
    using CNTService::m_dwStartType;
    using CNTService::m_strBinaryPathName;
    using CNTService::m_strDescription;
    using CNTService::m_strEventMessageFile;
    using CNTService::m_strLoadOrderGroup;
    using CNTService::m_strPassword;
    using CNTService::m_strUserName;

    // Added to every string id and event id when set, to show that both pass through the mapping.
    UINT resourceOffset = 0;
    DWORD eventOffset = 0;

    std::wstring GetErrorMessage(UINT stringId, DWORD error, BOOL forEventLog) override {
        return FormatW(L"<%u %lu %s>", stringId, error, forEventLog ? L"event" : L"caller");
    }
    UINT MapResourceId(UINT stringId) override { return stringId + resourceOffset; }
    DWORD MapEventId(DWORD eventId) override { return eventId + eventOffset; }
};
