// A program built on CNTService for the install and control tests: it
// installs and uninstalls itself, brings its installed service into another
// state, lists the services that run it, and runs as that service. Results
// are printed one per line ("result=1 error=0 message=..."); the service
// writes what happens to it into a log file.
//
// Usage:
//   ServiceInstallProbe install NAME DISPLAY [--description TEXT] [--auto] [--no-events]
//                       [--user NAME] [--password TEXT] [--message-file PATH] [--dependency NAME]...
//                       [--binary-path COMMANDLINE] [--run-option OPTION]...
//       Without --binary-path the registered command line is this program's path (in double
//       quotes when it holds a space), then "run NAME" and the run options.
//   ServiceInstallProbe uninstall NAME WAIT [--display NAME] [--no-events]
//       --display: the event source to remove (default: NAME)
//   ServiceInstallProbe status NAME ACTION TIMEOUT POLL [--no-events]   (SetServiceToStatus)
//   ServiceInstallProbe enumerate
//   ServiceInstallProbe run NAME [--log FILE] [--gate FILE] [--release FILE] [--ignore-stop]
//       As the service: stays START_PENDING until the gate file exists; with --ignore-stop a
//       stop request is logged and ignored, and the service ends once the release file exists.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include "common/Format.h"
#include "common/Utf8.h"
#include "platform/Handles.h"
#include "platform/ModuleFileName.h"
#include "platform/ProcessArguments.h"
#include "platform/ServiceCodes.h"
#include "service/NTService.h"

namespace {

constexpr DWORD kMaxRunMilliseconds = 300000;

std::string g_logPath;
std::mutex g_logMutex;

void LogLine(const std::wstring& line) {
    if (g_logPath.empty()) return;
    std::lock_guard lock(g_logMutex);
    std::ofstream out(g_logPath, std::ios::app | std::ios::binary);
    out << WideToUtf8(line) << '\n';
}

void Print(const std::wstring& line) { std::cout << WideToUtf8(line) << std::endl; }

bool Exists(const std::string& path) { return !path.empty() && std::filesystem::exists(path); }

class CInstallProbeService : public CNTService {
  public:
    CInstallProbeService(const std::wstring& name, const std::wstring& display, const std::wstring& description)
        : CNTService(name.c_str(), display.c_str(), description.c_str()),
          m_stopRequested(plat::CreateEventObject(true, false)) {}
    ~CInstallProbeService() override { plat::CloseHandleObject(m_stopRequested); }

    // Install settings.
    using CNTService::m_arrDependencies;
    using CNTService::m_bEventLogEnabled;
    using CNTService::m_dwStartType;
    using CNTService::m_strBinaryPathName;
    using CNTService::m_strEventMessageFile;
    using CNTService::m_strPassword;
    using CNTService::m_strUserName;

    // Service settings.
    std::string gatePath;
    std::string releasePath;
    bool ignoreStop = false;

    void ServiceMain(DWORD, wchar_t**) override {
        LogLine(L"ServiceMain");
        ReportStatus(SERVICE_START_PENDING, 1, 5000);
        for (DWORD waited = 0; !gatePath.empty() && !Exists(gatePath) && waited < kMaxRunMilliseconds; waited += 20)
            plat::SleepMilliseconds(20);
        ReportStatus(SERVICE_RUNNING);
        LogLine(L"running");
        for (DWORD waited = 0; waited < kMaxRunMilliseconds; waited += 20) {
            if (plat::WaitForObject(m_stopRequested, 20) == 0 || Exists(releasePath)) break;
        }
        LogLine(L"ServiceMain ending");
    }

    void OnStop() override {
        LogLine(L"stop requested");
        if (ignoreStop) return;
        ReportStatus(SERVICE_STOP_PENDING, 1, 3000);
        plat::SignalEvent(m_stopRequested);
    }

  private:
    HANDLE m_stopRequested;
};

std::wstring Quoted(const std::wstring& path) {
    return path.find(L' ') == std::wstring::npos ? path : L"\"" + path + L"\"";
}

int Install(const std::vector<std::wstring>& args) {
    if (args.size() < 4) return 2;
    std::wstring description;
    std::wstring binaryPath;
    std::wstring runOptions;
    std::vector<std::wstring> dependencies;
    std::wstring user, password, messageFile;
    bool autoStart = false, events = true;
    for (std::size_t i = 4; i < args.size(); ++i) {
        const bool hasValue = i + 1 < args.size();
        if (args[i] == L"--description" && hasValue) description = args[++i];
        else if (args[i] == L"--binary-path" && hasValue) binaryPath = args[++i];
        else if (args[i] == L"--run-option" && hasValue) runOptions += L" " + args[++i];
        else if (args[i] == L"--dependency" && hasValue) dependencies.push_back(args[++i]);
        else if (args[i] == L"--user" && hasValue) user = args[++i];
        else if (args[i] == L"--password" && hasValue) password = args[++i];
        else if (args[i] == L"--message-file" && hasValue) messageFile = args[++i];
        else if (args[i] == L"--auto") autoStart = true;
        else if (args[i] == L"--no-events") events = false;
    }
    CInstallProbeService service(args[2], args[3], description);
    service.m_strBinaryPathName =
        binaryPath.empty() ? Quoted(plat::ExecutableFilePath()) + L" run " + args[2] + runOptions : binaryPath;
    service.m_arrDependencies = dependencies;
    service.m_strUserName = user;
    service.m_strPassword = password;
    service.m_strEventMessageFile = messageFile;
    service.m_bEventLogEnabled = events;
    if (autoStart) service.m_dwStartType = SERVICE_AUTO_START;
    std::wstring message;
    DWORD error = 12345;
    const BOOL result = service.Install(message, &error);
    Print(FormatW(L"result=%d error=%lu message=%s", result, error, message));
    Print(FormatW(L"user=[%s] password=[%s] messagefile=[%s]", service.m_strUserName, service.m_strPassword,
                  service.m_strEventMessageFile));
    return result ? 0 : 1;
}

int Uninstall(const std::vector<std::wstring>& args) {
    if (args.size() < 4) return 2;
    CInstallProbeService service(args[2], args[2], L"");
    for (std::size_t i = 4; i < args.size(); ++i) {
        if (args[i] == L"--no-events") service.m_bEventLogEnabled = FALSE;
        else if (args[i] == L"--display" && i + 1 < args.size()) service.EventLog().SetSourceName(args[++i]);
    }
    std::wstring message;
    DWORD error = 12345;
    const BOOL result = service.Uninstall(message, &error, std::wcstoul(args[3].c_str(), nullptr, 10));
    Print(FormatW(L"result=%d error=%lu message=%s", result, error, message));
    return result ? 0 : 1;
}

int Status(const std::vector<std::wstring>& args) {
    if (args.size() < 6) return 2;
    CInstallProbeService service(args[2], args[2], L"");
    for (std::size_t i = 6; i < args.size(); ++i)
        if (args[i] == L"--no-events") service.m_bEventLogEnabled = FALSE;
    DWORD error = 12345;
    const BOOL result = service.SetServiceToStatus(std::wcstoul(args[3].c_str(), nullptr, 10), &error,
                                                   std::wcstoul(args[4].c_str(), nullptr, 10),
                                                   std::wcstoul(args[5].c_str(), nullptr, 10));
    Print(FormatW(L"result=%d error=%lu", result, error));
    return result ? 0 : 1;
}

int Enumerate() {
    CInstallProbeService service(L"VelmoraEnumerate", L"VelmoraEnumerate", L"");
    std::vector<std::wstring> names;
    DWORD error = 12345;
    const BOOL result = service.EnumerateInstalledServices(names, &error);
    Print(FormatW(L"result=%d error=%lu", result, error));
    for (const std::wstring& name : names) Print(L"service " + name);
    return result ? 0 : 1;
}

int Run(const std::vector<std::wstring>& args) {
    if (args.size() < 3) return 2;
    CInstallProbeService service(args[2], args[2], L"");
    for (std::size_t i = 3; i < args.size(); ++i) {
        const bool hasValue = i + 1 < args.size();
        if (args[i] == L"--log" && hasValue) g_logPath = WideToUtf8(args[++i]);
        else if (args[i] == L"--gate" && hasValue) service.gatePath = WideToUtf8(args[++i]);
        else if (args[i] == L"--release" && hasValue) service.releasePath = WideToUtf8(args[++i]);
        else if (args[i] == L"--ignore-stop") service.ignoreStop = true;
    }
    LogLine(L"StartCtrlDispatcher");
    if (!service.StartCtrlDispatcher()) {
        const DWORD error = plat::LastError();
        LogLine(FormatW(L"StartCtrlDispatcher failed, error %lu", error));
        return static_cast<int>(error);
    }
    LogLine(L"StartCtrlDispatcher returned");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::wstring> args;
    // Windows: the arguments as the system split them, in UTF-16; POSIX: argv in UTF-8.
    args = plat::ProcessArguments();
    if (args.empty()) {
        for (int i = 0; i < argc; ++i) args.push_back(Utf8ToWideLossy(argv[i]));
    }
    const std::wstring verb = args.size() > 1 ? args[1] : L"";
    if (verb == L"install") return Install(args);
    if (verb == L"uninstall") return Uninstall(args);
    if (verb == L"status") return Status(args);
    if (verb == L"enumerate") return Enumerate();
    if (verb == L"run") return Run(args);
    Print(L"usage: ServiceInstallProbe install|uninstall|status|enumerate|run ...");
    return 2;
}
