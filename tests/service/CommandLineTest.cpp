#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/ModuleFileName.h"
#include "platform/ProcessArguments.h"
#include "platform/ServiceManagerCodes.h"
#include "platform/Win32Codes.h"
#include "service/NTService.h"
#include "service/NTServiceCommandLineInfo.h"
#include "service/FakeServiceControlManager.h"

namespace {

using Info = CNTServiceCommandLineInfo;

Info Parse(std::vector<std::wstring> arguments) {
    arguments.insert(arguments.begin(), L"program");
    plat::SetProcessArguments(arguments);
    CNTService service(L"svc", L"Display", L"Description");
    Info info;
    service.ParseCommandLine(info);
    return info;
}

// A service whose operations record what the command line asked for.
class RecordingService : public CNTService {
  public:
    RecordingService() : CNTService(L"svc", L"Display", L"Description") { SetAppendExtraArguments(TRUE); }

    BOOL Install(std::wstring& message, DWORD* error) override {
        installedCommandLine = m_strBinaryPathName;
        installedUser = m_strUserName;
        installedPassword = m_strPassword;
        installedStartType = m_dwStartType;
        message.clear();
        *error = NO_ERROR;
        return TRUE;
    }
    BOOL SetServiceToStatus(DWORD action, DWORD* error, DWORD timeout, DWORD poll) override {
        statusAction = action;
        statusTimeout = timeout;
        statusPoll = poll;
        *error = ERROR_SERVICE_DOES_NOT_EXIST;
        return FALSE;
    }
    void ShowHelp() override { ++helpShown; }
    void ServiceMain(DWORD argc, wchar_t** argv) override {
        for (DWORD i = 0; i < argc; ++i) foregroundArguments.emplace_back(argv[i]);
        if (throwOnRun) throw CNTServiceTerminateException(5, 9);
    }

    std::wstring installedCommandLine, installedUser, installedPassword;
    DWORD installedStartType = 0;
    DWORD statusAction = 99, statusTimeout = 0, statusPoll = 0;
    int helpShown = 0;
    bool throwOnRun = false;
    std::vector<std::wstring> foregroundArguments;
};

}  // namespace

TEST(ServiceCommandLine, VerbsIgnoreCaseNeedAFlagAndTheLastActionWins) {
    EXPECT_EQ(Parse({L"-INSTALL"}).m_nAction, Info::ActionInstall);
    EXPECT_EQ(Parse({L"/install"}).m_nAction, Info::ActionInstall);
    EXPECT_EQ(Parse({L"install"}).m_nAction, Info::ActionRun) << "without - or / the word is ignored";
    EXPECT_EQ(Parse({L"-start", L"-stop"}).m_nAction, Info::ActionStop);
    EXPECT_EQ(Parse({L"-remove"}).m_nAction, Info::ActionUninstall);
    EXPECT_EQ(Parse({L"/uninstall"}).m_nAction, Info::ActionUninstall);
    for (const wchar_t* foreground : {L"-debug", L"/console", L"-app", L"/application"})
        EXPECT_EQ(Parse({foreground}).m_nAction, Info::ActionDebug) << foreground;
    EXPECT_EQ(Parse({L"-help"}).m_nAction, Info::ActionHelp);
    EXPECT_EQ(Parse({L"-?"}).m_nAction, Info::ActionHelp);
    EXPECT_EQ(Parse({L"-installer"}).m_nAction, Info::ActionRun) << "verbs are whole words";
    const Info flags = Parse({L"-Silent", L"/AUTO", L"-pause"});
    EXPECT_TRUE(flags.m_bSilent);
    EXPECT_TRUE(flags.m_bAutoStart);
    EXPECT_EQ(flags.m_nAction, Info::ActionPause);
    EXPECT_EQ(Parse({L"-continue"}).m_nAction, Info::ActionContinue);
}

TEST(ServiceCommandLine, PrefixesWithTheirMinimumLengths) {
    EXPECT_EQ(Parse({L"-t:10000"}).m_dwTimeout, 10000u);
    EXPECT_EQ(Parse({L"-T:x"}).m_dwTimeout, 0u);
    EXPECT_EQ(Parse({L"-T:"}).m_dwTimeout, 5000u) << "shorter than the minimum: ignored";
    EXPECT_EQ(Parse({L"-T:12ab"}).m_dwTimeout, 12u);
    const Info named = Parse({L"-SN:Other", L"/sdn:Shown Name", L"-SD:Text", L"-U:user", L"-P:secret", L"-SCL:-x"});
    EXPECT_EQ(named.m_strServiceName, L"Other");
    EXPECT_EQ(named.m_strDisplayName, L"Shown Name");
    EXPECT_EQ(named.m_strDescription, L"Text");
    EXPECT_EQ(named.m_strUserName, L"user");
    EXPECT_EQ(named.m_strPassword, L"secret");
    EXPECT_EQ(named.m_strServiceCommandLine, L"-x");
    EXPECT_TRUE(Parse({L"-SN:"}).m_strServiceName.empty());
    EXPECT_TRUE(Parse({L"-SCL:"}).m_strServiceCommandLine.empty());
    EXPECT_EQ(Parse({L"-sn:a", L"-SN:b"}).m_strServiceName, L"b");
}

TEST(ServiceCommandLine, HelpShowsTheUsageAndExitsWithZero) {
    plat::SetProcessArguments({L"program", L"-help"});
    RecordingService service;
    Info info;
    service.ParseCommandLine(info);
    EXPECT_EQ(service.ProcessCommandLine(info), 0u);
    EXPECT_EQ(service.helpShown, 1);
}

// The executable's whole path is registered: the real one, and (through the
// service manager seam) one far longer than 260 characters.
TEST(ServiceCommandLine, InstallRegistersTheWholeExecutablePathAndTheExtraArgumentsAndMovesTheAccount) {
    std::wstring longPath = L"C:\\Program Files";
    while (longPath.size() < 400) longPath += L"\\a folder with a long name";
    longPath += L"\\VelmoraService.exe";
    for (const bool fakeLongPath : {false, true}) {
        std::optional<FakeServiceControlManager> scm;
        if (fakeLongPath) scm.emplace().executablePath = longPath;
        plat::SetProcessArguments({L"program", L"-install", L"-SN:Other", L"-U:admin", L"-P:pw"});
        RecordingService service;
        Info info;
        service.ParseCommandLine(info);
        info.m_bAutoStart = TRUE;
        info.m_strServiceCommandLine += L" -serverport:1991 -logevents";
        EXPECT_EQ(service.ProcessCommandLine(info), 0u);

        std::wstring exe = fakeLongPath ? longPath : plat::ExecutableFilePath();
        ASSERT_FALSE(exe.empty());
        if (exe.find(L' ') != std::wstring::npos) exe = L"\"" + exe + L"\"";
        // The service-name option is parsed but not allowed for this service: nothing is added for it.
        EXPECT_EQ(service.installedCommandLine, exe + L"  -serverport:1991 -logevents");
        EXPECT_EQ(service.installedStartType, 2u);
        EXPECT_EQ(service.installedUser, L"admin");
        EXPECT_EQ(service.installedPassword, L"pw");
        EXPECT_TRUE(info.m_strUserName.empty());
        EXPECT_TRUE(info.m_strPassword.empty());
    }
}

TEST(ServiceCommandLine, ControlVerbsPassTheirActionTimeoutAndPollInterval) {
    const struct {
        const wchar_t* verb;
        DWORD action;
    } cases[] = {{L"-start", 0}, {L"-pause", 1}, {L"-continue", 2}, {L"-stop", 3}};
    for (const auto& c : cases) {
        plat::SetProcessArguments({L"program", c.verb, L"-silent", L"-t:1234"});
        RecordingService service;
        Info info;
        service.ParseCommandLine(info);
        EXPECT_EQ(service.ProcessCommandLine(info), 1060u) << c.verb;
        EXPECT_EQ(service.statusAction, c.action) << c.verb;
        EXPECT_EQ(service.statusTimeout, 1234u);
        EXPECT_EQ(service.statusPoll, 250u);
    }
}

TEST(ServiceCommandLine, ForegroundModeFiltersItsSwitchesAndPassesTheTerminationCode) {
    plat::SetProcessArguments({L"program", L"/console", L"-x", L"-APP", L"/application", L"-debug", L"-y"});
    RecordingService service;
    Info info;
    service.ParseCommandLine(info);
    ASSERT_EQ(info.m_nAction, Info::ActionDebug);
    EXPECT_EQ(service.ProcessCommandLine(info), 0u);
    EXPECT_EQ(service.foregroundArguments, (std::vector<std::wstring>{L"program", L"-x", L"-y"}));

    RecordingService throwing;
    throwing.throwOnRun = true;
    EXPECT_EQ(throwing.ProcessCommandLine(info), 5u);
}

TEST(ServiceCommandLine, ConsoleEventsThatStopTheForegroundService) {
    struct StopCounter : CNTService {
        StopCounter() : CNTService(L"svc", nullptr, nullptr) {}
        void OnStop() override { ++stops; }
        int stops = 0;
    } service;
    for (DWORD event : {CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT}) EXPECT_TRUE(service.ConsoleCtrlHandler(event));
    EXPECT_FALSE(service.ConsoleCtrlHandler(CTRL_LOGOFF_EVENT));
    EXPECT_FALSE(service.ConsoleCtrlHandler(CTRL_SHUTDOWN_EVENT));
    EXPECT_EQ(service.stops, 3);
}
