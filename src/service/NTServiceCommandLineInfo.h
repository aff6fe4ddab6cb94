// What the service command line asks for: one action and its settings.
#pragma once

#include <string>

#include "platform/Types.h"

class CNTServiceCommandLineInfo {
  public:
    enum Action {
        ActionRun = 0,
        ActionStart = 1,
        ActionPause = 2,
        ActionContinue = 3,
        ActionStop = 4,
        ActionInstall = 5,
        ActionUninstall = 6,
        ActionDebug = 7,
        ActionHelp = 8,
    };

    CNTServiceCommandLineInfo() = default;
    virtual ~CNTServiceCommandLineInfo() = default;

    // One argument without its leading "-" or "/"; `flag` tells whether it
    // had one (arguments without are ignored). Verbs are whole words compared
    // ignoring case; later arguments override earlier ones.
    virtual void ParseParam(const wchar_t* param, BOOL flag, BOOL last);

    int m_nAction = ActionRun;
    DWORD m_dwTimeout = 5000;
    BOOL m_bSilent = FALSE;
    std::wstring m_strServiceCommandLine;
    std::wstring m_strServiceName;
    std::wstring m_strDisplayName;
    std::wstring m_strDescription;
    std::wstring m_strUserName;
    std::wstring m_strPassword;
    BOOL m_bAutoStart = FALSE;
};
