// CNTService: the service command line, the foreground run mode and console control.
#include <string>
#include <vector>

#include "common/Format.h"
#include "common/ResourceIds.h"
#include "common/TextTrim.h"
#include "common/Utf8.h"
#include "common/WipeText.h"
#include "platform/Console.h"
#include "platform/Handles.h"
#include "platform/MessageBox.h"
#include "platform/ProcessArguments.h"
#include "platform/ServiceCodes.h"
#include "platform/Win32Codes.h"
#include "service/NTService.h"
#include "service/NTServiceCommandLineInfo.h"
#include "service/ServiceControlManagerCalls.h"

namespace {

using namespace resource_ids;

constexpr DWORD kControlPollMilliseconds = 250;

// The value after a prefix, when the parameter starts with it (ignoring case)
// and is at least `minimumLength` long.
bool TakePrefix(const std::wstring& param, const std::wstring& upper, std::wstring_view prefix,
                std::size_t minimumLength, std::wstring& value) {
    if (param.size() < minimumLength || upper.compare(0, prefix.size(), prefix) != 0) return false;
    value = param.substr(prefix.size());
    return true;
}

DWORD LeadingDecimal(const std::wstring& text) {
    DWORD value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') break;
        value = value * 10 + static_cast<DWORD>(c - L'0');
    }
    return value;
}

BOOL ForwardConsoleEvent(DWORD controlEvent) {
    CNTService* service = CNTService::Instance();
    return service ? service->ConsoleCtrlHandler(controlEvent) : FALSE;
}

}  // namespace

void CNTServiceCommandLineInfo::ParseParam(const wchar_t* param, BOOL flag, BOOL) {
    if (!flag || param == nullptr) return;
    const std::wstring text(param);
    struct Verb {
        const wchar_t* word;
        int action;  // -1: not an action
    };
    static const Verb kVerbs[] = {
        {L"install", ActionInstall}, {L"silent", -1},           {L"start", ActionStart},
        {L"pause", ActionPause},     {L"continue", ActionContinue}, {L"stop", ActionStop},
        {L"auto", -1},               {L"remove", ActionUninstall},  {L"uninstall", ActionUninstall},
        {L"debug", ActionDebug},     {L"app", ActionDebug},         {L"application", ActionDebug},
        {L"console", ActionDebug},   {L"help", ActionHelp},         {L"?", ActionHelp},
    };
    for (const Verb& verb : kVerbs) {
        if (!AsciiEqualsNoCase(text, verb.word)) continue;
        if (verb.action >= 0) m_nAction = verb.action;
        else if (AsciiEqualsNoCase(text, L"silent")) m_bSilent = TRUE;
        else m_bAutoStart = TRUE;
        return;
    }
    const std::wstring upper = AsciiUpper(text);
    std::wstring value;
    if (TakePrefix(text, upper, L"T:", 3, value)) m_dwTimeout = LeadingDecimal(value);
    else if (TakePrefix(text, upper, L"SCL:", 5, value)) m_strServiceCommandLine = value;
    else if (TakePrefix(text, upper, L"SD:", 4, value)) m_strDescription = value;
    else if (TakePrefix(text, upper, L"SN:", 4, value)) m_strServiceName = value;
    else if (TakePrefix(text, upper, L"SDN:", 5, value)) m_strDisplayName = value;
    else if (TakePrefix(text, upper, L"P:", 3, value)) m_strPassword = value;
    else if (TakePrefix(text, upper, L"U:", 3, value)) m_strUserName = value;
}

void CNTService::ParseCommandLine(CNTServiceCommandLineInfo& info) {
    const std::vector<std::wstring> arguments = plat::ProcessArguments();
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        std::wstring param = arguments[i];
        BOOL flag = FALSE;
        if (!param.empty() && (param[0] == L'-' || param[0] == L'/')) {
            param.erase(0, 1);
            flag = TRUE;
        }
        info.ParseParam(param.c_str(), flag, i + 1 == arguments.size() ? TRUE : FALSE);
    }
}

DWORD CNTService::ProcessCommandLine(CNTServiceCommandLineInfo& info) {
    if (m_bAllowServiceNameOption && !info.m_strServiceName.empty()) m_strServiceName = info.m_strServiceName;
    if (m_bAllowDisplayNameOption && !info.m_strDisplayName.empty()) {
        m_strDisplayName = info.m_strDisplayName;
        m_eventLog.SetSourceName(m_strDisplayName);
    }
    if (m_bAllowDescriptionOption && !info.m_strDescription.empty()) m_strDescription = info.m_strDescription;

    DWORD result = NO_ERROR;
    std::wstring text;
    switch (info.m_nAction) {
        case CNTServiceCommandLineInfo::ActionRun:
            if (!StartCtrlDispatcher()) result = plat::LastError();
            break;
        case CNTServiceCommandLineInfo::ActionStart:
        case CNTServiceCommandLineInfo::ActionPause:
        case CNTServiceCommandLineInfo::ActionContinue:
        case CNTServiceCommandLineInfo::ActionStop:
            result = RunControlVerb(info);
            break;
        case CNTServiceCommandLineInfo::ActionInstall:
            TakeInstallOptions(info);
            if (!Install(text, &result)) ShowCommandLineFailure(info, text);
            break;
        case CNTServiceCommandLineInfo::ActionUninstall:
            if (!Uninstall(text, &result, info.m_dwTimeout)) ShowCommandLineFailure(info, text);
            break;
        case CNTServiceCommandLineInfo::ActionDebug:
            try {
                RunAsConsole();
            } catch (const CNTServiceTerminateException& e) {
                result = e.m_dwWin32ExitCode;
            }
            break;
        case CNTServiceCommandLineInfo::ActionHelp:
            ShowHelp();
            break;
        default:
            break;
    }
    return result;
}

DWORD CNTService::RunControlVerb(const CNTServiceCommandLineInfo& info) {
    static const struct {
        DWORD statusAction;
        UINT message;
    } kControls[] = {{0, kStartFailedMessage}, {1, kPauseFailedMessage},
                     {2, kContinueFailedMessage}, {3, kStopFailedMessage}};
    const auto& control = kControls[info.m_nAction - CNTServiceCommandLineInfo::ActionStart];
    DWORD result = NO_ERROR;
    if (SetServiceToStatus(control.statusAction, &result, info.m_dwTimeout, kControlPollMilliseconds)) return result;
    std::wstring text = GetErrorMessage(MapResourceId(control.message), result, FALSE);
    // The service's own reason, which the Win32 code only says exists.
    if (result == ERROR_SERVICE_SPECIFIC_ERROR && m_dwLastServiceSpecificError != 0)
        text = FormatW(L"%s Service-specific error:%lu, %s", WithoutTrailingWhitespace(text),
                       m_dwLastServiceSpecificError,
                       WithoutTrailingWhitespace(GetSystemErrorText(m_dwLastServiceSpecificError)));
    ShowCommandLineFailure(info, text);
    return result;
}

void CNTService::TakeInstallOptions(CNTServiceCommandLineInfo& info) {
    // The whole path, however long: a cut one would name a program that does not exist.
    std::wstring path = CurrentServiceControlManagerCalls().executablePath();
    m_strBinaryPathName.clear();
    // Without the path Install refuses (the options alone would be taken for the program).
    m_dwBinaryPathError = path.empty() ? plat::LastError() : NO_ERROR;
    if (!path.empty()) {
        if (path.find(L' ') != std::wstring::npos) path = L"\"" + path + L"\"";
        m_strBinaryPathName = path;
        if (m_bAllowServiceNameOption && !info.m_strServiceName.empty())
            m_strBinaryPathName += FormatW(L" \"/SN:%s\"", info.m_strServiceName);
        if (m_bAllowDisplayNameOption && !info.m_strDisplayName.empty())
            m_strBinaryPathName += FormatW(L" \"/SDN:%s\"", info.m_strDisplayName);
        if (m_bAllowDescriptionOption && !info.m_strDescription.empty())
            m_strBinaryPathName += FormatW(L" \"/SD:%s\"", info.m_strDescription);
        if (m_bAppendExtraArguments && !info.m_strServiceCommandLine.empty())
            m_strBinaryPathName += L" " + info.m_strServiceCommandLine;
    }
    if (!info.m_strUserName.empty()) {
        m_strUserName = info.m_strUserName;
        WipeText(info.m_strUserName);
    }
    if (!info.m_strPassword.empty()) {
        m_strPassword = info.m_strPassword;
        WipeText(info.m_strPassword);
    }
    if (info.m_bAutoStart) m_dwStartType = SERVICE_AUTO_START;
}

void CNTService::ShowCommandLineFailure(const CNTServiceCommandLineInfo& info, const std::wstring& text) const {
    if (info.m_bSilent) return;
    if (m_bConsoleOutput) plat::WriteStandardOutput(FormatW(L"%s\n", text));
    else plat::ShowMessageBox(text);
}

void CNTService::RunAsConsole() {
    static const wchar_t* const kForegroundSwitches[] = {L"-debug",       L"/debug",       L"-app",
                                                         L"/app",         L"-application", L"/application",
                                                         L"-console",     L"/console"};
    std::vector<std::wstring> arguments;
    for (const std::wstring& argument : plat::ProcessArguments()) {
        bool isSwitch = false;
        for (const wchar_t* s : kForegroundSwitches) isSwitch = isSwitch || AsciiEqualsNoCase(argument, s);
        if (!isSwitch || arguments.empty()) arguments.push_back(argument);
    }
    std::vector<wchar_t*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    plat::InstallConsoleControlHandler(&ForwardConsoleEvent);
    // A CNTServiceTerminateException passes on to ProcessCommandLine; the
    // vectors above are freed on the way.
    ServiceMain(static_cast<DWORD>(arguments.size()), argv.data());
}

void CNTService::ShowHelp() {}

BOOL CNTService::ConsoleCtrlHandler(DWORD controlEvent) {
    switch (controlEvent) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            if (CNTService* service = Instance()) service->OnStop();
            return TRUE;
        default:
            return FALSE;
    }
}
