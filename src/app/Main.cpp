// The entry function: reads the options and runs console mode (service mode comes from the service host).
#include <string>

#include "app/ApplicationOptions.h"
#include "app/ApplicationRun.h"
#include "app/ConsolePrint.h"
#include "app/PackagesFolderWarning.h"
#include "app/VelmoraService.h"
#include "app/VelmoraServiceApp.h"
#include "common/Format.h"
#include "common/ResourceIds.h"
#include "common/ResourceText.h"
#include "platform/Console.h"
#include "platform/DefaultFolders.h"
#include "platform/FolderRights.h"
#include "platform/Handles.h"
#include "platform/MessageBox.h"
#include "platform/MessageQueue.h"
#include "platform/ProgramMain.h"
#include "platform/Win32Codes.h"
#include "service/NTServiceCommandLineInfo.h"

namespace {

// Console control events: every break, close, logoff and shutdown asks the
// application thread to quit; every event is answered as handled.
BOOL ConsoleBreakHandler(DWORD controlEvent) {
    switch (controlEvent) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            if (CWinApp* app = AfxGetApp()) plat::PostToThread(app->m_nThreadID, WM_QUIT, 0, 0);
            break;
        default:
            break;
    }
    return TRUE;
}

int RunConsoleMode(const ApplicationOptions& options) {
    if (!plat::OpenConsole()) return -1;
    if (!plat::InstallConsoleControlHandler(&ConsoleBreakHandler)) {
        ConsolePrint(L"Unable to install console control handler!");
        return -1;
    }

    DWORD error = NO_ERROR;
    const ApplicationRunResult result = RunApplication(nullptr, options, [] {
        ConsolePrint(L"ArgsList: -serverport:1991 => Port where this service listens");
        ConsolePrint(L"ArgsList: -serveraddress:192.168.1.10 => Address where this service listens (default: all)");
        ConsolePrint(L"ArgsList: -packagespath:\"C:\\Packages\\\" => Path where packages are stored");
        ConsolePrint(L"ArgsList: -logfile:\"C:\\logs\\log.txt\" => Logfile location");
        ConsolePrint(L"ArgsList: -logevents => Write events to eventviewer (service only)");
        ConsolePrint(L"ArgsList: -headsizes => HEAD of a package answers its size (background transfer service, "
                     L"download tools)");
        ConsolePrint(L"ArgsList: -metrics:off => No live figures at /metrics (default: answered to local clients)");
        ConsolePrint(L"VelmoraService is running ...");
    }, &error);
    // Refused, with its reason on the console and in the log file.
    if (result == ApplicationRunResult::OptionsRefused) return static_cast<int>(ERROR_INVALID_PARAMETER);
    if (result == ApplicationRunResult::ThreadNotCreated) {
        ConsolePrint(L"Failed to create main thread (error %ld)!", error);
        return -1;
    }

    ConsolePrint(L"VelmoraService service is closing ...");
    plat::SleepMilliseconds(1000);
    plat::CloseConsole();
    return EndProgram(-1);
}

// After an install: a missing packages folder is made with rights of its
// own, so that only administrators can fill it (one that exists keeps the
// rights its administrator gave it; one that cannot be made is left to the
// service, which then serves nothing). A folder that others can fill is
// only warned of: the administrator decides.
void PreparePackagesFolder(const std::wstring& folder, bool silent) {
    plat::MakeAdministratorsFolder(folder);
    const std::wstring warning = PackagesFolderWarning(folder);
    if (!warning.empty() && !silent) plat::ShowMessageBox(warning);
}

// Every command line without "-debug": the service framework runs the
// program under the service manager, carries out a verb, or runs the service
// body in the foreground. The options travel in the service object and, for
// an install, in the registered command line.
int RunServiceHost(const ApplicationOptions& options) {
    const std::wstring serviceName = resources::LoadResourceString(resource_ids::kServiceNameText);
    const std::wstring displayName = resources::LoadResourceString(resource_ids::kDisplayNameText);
    const std::wstring description = resources::LoadResourceString(resource_ids::kDescriptionText);

    CVelmoraService service(serviceName.c_str(), displayName.c_str(), description.c_str());
    service.m_options = options;
    service.SetAppendExtraArguments(TRUE);

    CNTServiceCommandLineInfo info;
    service.ParseCommandLine(info);
    info.m_bAutoStart = TRUE;
    info.m_strServiceCommandLine += RegisteredOptions(options);
    if (info.m_nAction == CNTServiceCommandLineInfo::ActionInstall) {
        if (const std::wstring option = OptionNotRegistrable(options); !option.empty()) {
            if (!info.m_bSilent)
                plat::ShowMessageBox(FormatW(L"The option '%s' cannot be installed: a double quote or a tab in an "
                                             L"option would not reach the service as given, Error:%lu, %s",
                                             option, ERROR_INVALID_PARAMETER,
                                             service.GetSystemErrorText(ERROR_INVALID_PARAMETER)));
            return static_cast<int>(ERROR_INVALID_PARAMETER);
        }
        if (!ServerAddressProblem(options.strServerAddress).empty()) {
            if (!info.m_bSilent)
                plat::ShowMessageBox(FormatW(L"The option '-serveraddress:%s' cannot be installed: it is not an IPv4 "
                                             L"or IPv6 address, Error:%lu, %s",
                                             options.strServerAddress, ERROR_INVALID_PARAMETER,
                                             service.GetSystemErrorText(ERROR_INVALID_PARAMETER)));
            return static_cast<int>(ERROR_INVALID_PARAMETER);
        }
    }
    const DWORD result = service.ProcessCommandLine(info);
    if (info.m_nAction == CNTServiceCommandLineInfo::ActionInstall && result == NO_ERROR)
        PreparePackagesFolder(options.strPackagesPath.empty() ? plat::DefaultPackagesFolder() : options.strPackagesPath,
                              info.m_bSilent != FALSE);
    return EndProgram(static_cast<int>(result));
}

}  // namespace

int ProgramMain(const std::wstring& commandLine) {
    const ApplicationOptions options = ParseApplicationOptions(commandLine);
    if (options.bConsole) return RunConsoleMode(options);
    return RunServiceHost(options);
}
