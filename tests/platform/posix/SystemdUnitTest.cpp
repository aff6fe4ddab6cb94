// The systemd side of installed services as text: unit files, ExecStart= words, systemctl's reports.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/Utf8.h"
#include "platform/Registry.h"
#include "platform/ServiceCodes.h"
#include "platform/posix/systemd/SystemdCommandLine.h"
#include "platform/posix/systemd/SystemdSandbox.h"
#include "platform/posix/systemd/SystemdSocketUnit.h"
#include "platform/posix/systemd/SystemdStates.h"
#include "platform/posix/systemd/SystemdUnitFile.h"

namespace {

using WStrings = std::vector<std::wstring>;

plat::SystemdServiceDefinition Definition() {
    plat::SystemdServiceDefinition d;
    d.serviceName = L"HarbrookVelmoraService";
    d.displayName = L"Harbrook Velmora Service";
    d.commandLine = L"/usr/bin/VelmoraService -serverport:8080 -packagespath:/srv/p/ -logfile:/var/log/v/v.log";
    return d;
}

// The ReadWritePaths= entry of the registry folder (none on Windows, where the registry is the system's).
std::string RegistryEntry() {
    const std::wstring folder = plat::RegistryRootFolder();
    return folder.empty() ? "" : " -" + WideToUtf8(folder);
}

// The sandbox lines that every unit carries.
constexpr const char* kFixedSandbox =
    "PrivateDevices=yes\n"
    "PrivateMounts=yes\n"
    "ProtectKernelTunables=yes\n"
    "ProtectKernelModules=yes\n"
    "ProtectKernelLogs=yes\n"
    "ProtectControlGroups=yes\n"
    "ProtectClock=yes\n"
    "ProtectHostname=yes\n"
    "ProtectProc=invisible\n"
    "ProcSubset=pid\n"
    "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6\n"
    "RestrictNamespaces=yes\n"
    "RestrictRealtime=yes\n"
    "RestrictSUIDSGID=yes\n"
    "RemoveIPC=yes\n"
    "LockPersonality=yes\n"
    "MemoryDenyWriteExecute=yes\n"
    "SystemCallArchitectures=native\n"
    "SystemCallFilter=@system-service\n"
    "SystemCallFilter=~@privileged\n"
    "SystemCallErrorNumber=EPERM\n"
    "UMask=0027\n";

TEST(SystemdUnitFileTest, DemandStartServiceWithoutDescriptionOrAccount) {
    EXPECT_EQ(plat::SystemdUnitFileText(Definition()),
              "# Written by the service installer. [X-VelmoraService] keeps the registration as given.\n"
              "[Unit]\n"
              "Description=Harbrook Velmora Service\n"
              "After=network.target remote-fs.target\n"
              "Requires=HarbrookVelmoraService.socket\n"
              "After=HarbrookVelmoraService.socket\n"
              "\n"
              "[Service]\n"
              "Type=notify\n"
              "ExecStart=/usr/bin/VelmoraService -serverport:8080 -packagespath:/srv/p/ -logfile:/var/log/v/v.log\n"
              "Restart=on-failure\n"
              "RestartSec=5s\n"
              "RestartPreventExitStatus=42 87\n"
              "WatchdogSec=30s\n"
              "SyslogIdentifier=HarbrookVelmoraService\n"
              "NoNewPrivileges=yes\n"
              "CapabilityBoundingSet=\n"
              "ProtectSystem=strict\n"
              "ReadWritePaths=-/var/log/v" + RegistryEntry() + "\n"
              "ProtectHome=yes\n"
              "PrivateTmp=yes\n" + kFixedSandbox +
              "\n"
              "[X-VelmoraService]\n"
              "ServiceName=HarbrookVelmoraService\n"
              "DisplayName=Harbrook Velmora Service\n"
              "CommandLine=/usr/bin/VelmoraService -serverport:8080 -packagespath:/srv/p/ -logfile:/var/log/v/v.log\n"
              "ServiceType=16\n"
              "StartType=3\n"
              "ErrorControl=0\n");
}

TEST(SystemdSocketUnitTest, ListensWhereTheProgramWouldAndNowhereElse) {
    struct Case {
        const wchar_t* options;
        const char* listenStream;  // null: no socket unit
        bool bothFamilies;
    };
    const Case cases[] = {
        {L"", "80", true},
        {L" -serverport:8080", "8080", true},
        {L" -SERVERPORT:8080 -serverport:0", "80", true},  // the last one counts; 0 means not given
        {L" -serverport:8080 -serveraddress:192.0.2.7", "192.0.2.7:8080", false},
        {L" -serveraddress:[2001:db8::7] -serverport:443", "[2001:db8::7]:443", true},
        {L" -serveraddress:2001:db8::7", "[2001:db8::7]:80", true},
        {L" -serverport:70000", nullptr, false},
        {L" -serverport:-1", nullptr, false},
        {L" -serveraddress:inside", nullptr, false},
    };
    for (const Case& c : cases) {
        std::wstring listenStream;
        bool bothFamilies = false;
        const bool listens =
            plat::SystemdListenAddressOf(std::wstring(L"/usr/bin/VelmoraService") + c.options, &listenStream, &bothFamilies);
        SCOPED_TRACE(WideToUtf8(c.options));
        ASSERT_EQ(listens, c.listenStream != nullptr);
        if (!listens) continue;
        EXPECT_EQ(WideToUtf8(listenStream), c.listenStream);
        EXPECT_EQ(bothFamilies, c.bothFamilies);
    }
    EXPECT_EQ(plat::SystemdSocketUnitText(Definition(), 4096),
              "# Written by the service installer: the listening socket of HarbrookVelmoraService.service, kept "
              "open across its restarts.\n"
              "[Unit]\n"
              "Description=Listening socket of HarbrookVelmoraService.service\n"
              "\n"
              "[Socket]\n"
              "ListenStream=8080\n"
              "BindIPv6Only=both\n"
              "Backlog=4096\n");
}

TEST(SystemdUnitFileTest, AutomaticStartWithAccountDescriptionDependenciesAndAQuotedPath) {
    plat::SystemdServiceDefinition d = Definition();
    d.startType = 2;
    d.account = L"velmora";
    d.description = L"Provides packages.\nSecond line";
    d.dependencies = {L"network-online", L"+NetworkGroup"};
    d.loadOrderGroup = L"NetworkProvider";
    // A port the program cannot listen on: no socket unit, and the unit keeps the capability to bind.
    d.commandLine = L"\"/opt/Velmora Service/VelmoraService\" -packagespath:/srv/pack ages/ -serverport:70000";
    const std::string registry = RegistryEntry();
    EXPECT_EQ(plat::SystemdUnitFileText(d),
              "# Written by the service installer. [X-VelmoraService] keeps the registration as given.\n"
              "[Unit]\n"
              "Description=Harbrook Velmora Service\n"
              "After=network.target remote-fs.target\n"
              "Requires=network-online.service\n"
              "After=network-online.service\n"
              "\n"
              "[Service]\n"
              "Type=notify\n"
              "ExecStart=\"/opt/Velmora Service/VelmoraService\" -packagespath:/srv/pack ages/ -serverport:70000\n"
              "User=velmora\n"
              "Restart=on-failure\n"
              "RestartSec=5s\n"
              "RestartPreventExitStatus=42 87\n"
              "WatchdogSec=30s\n"
              "SyslogIdentifier=HarbrookVelmoraService\n"
              "NoNewPrivileges=yes\n"
              "CapabilityBoundingSet=CAP_NET_BIND_SERVICE\n"
              "AmbientCapabilities=CAP_NET_BIND_SERVICE\n"
              "ProtectSystem=strict\n" +
              (registry.empty() ? "" : "ReadWritePaths=" + registry.substr(1) + "\n") +
              "ProtectHome=yes\n"
              "PrivateTmp=yes\n" + kFixedSandbox +
              "\n"
              "[Install]\n"
              "WantedBy=multi-user.target\n"
              "\n"
              "[X-VelmoraService]\n"
              "ServiceName=HarbrookVelmoraService\n"
              "DisplayName=Harbrook Velmora Service\n"
              "Description=Provides packages.\\nSecond line\n"
              "CommandLine=\"/opt/Velmora Service/VelmoraService\" -packagespath:/srv/pack ages/ -serverport:70000\n"
              "ServiceType=16\n"
              "StartType=2\n"
              "ErrorControl=0\n"
              "LoadOrderGroup=NetworkProvider\n"
              "Dependency=network-online\n"
              "Dependency=+NetworkGroup\n"
              "Account=velmora\n");
}

TEST(SystemdUnitFileTest, SandboxLetsTheServiceReachItsPackagesAndWriteItsLog) {
    struct Case {
        const wchar_t* options;
        const char* logEntry;  // ReadWritePaths= entry of the log file's folder
        const char* protectHome;
        bool privateTmp;
    };
    const Case cases[] = {
        {L"-packagespath:/srv/p/ -logfile:/var/log/velmora/v.log", "-/var/log/velmora", "yes", true},
        // Option names in any case; the folder resolved as text.
        {L"-PACKAGESPATH:/home/ann/pk/ -LogFile:/srv/../var/./log//v.log", "-/var/log", "read-only", true},
        // A relative log file lies below "/", where systemd starts the service.
        {L"-packagespath:/srv/p/ -logfile:v.log", "-/", "yes", true},
        {L"-packagespath:/tmp/pk -logfile:/root/v.log", "-/root", "read-only", false},
        {L"-packagespath:/srv/p -logfile:/var/tmp/v.log", "-/var/tmp", "yes", false},
        // Only whole folder names count.
        {L"-packagespath:/srv/tmpfiles -logfile:/homework/v.log", "-/homework", "yes", true},
        // The last occurrence wins; an empty one means no log file.
        {L"-packagespath:/srv/p -logfile:/var/log/v.log -logfile:", "", "yes", true},
        // Quoted when systemd would split or unescape it; "%" doubled against specifier expansion.
        {L"-packagespath:/srv/p \"-logfile:/var/log/a b%\\x/v.log\"", "-\"/var/log/a b%%\\\\x\"", "yes", true},
    };
    for (const Case& c : cases) {
        plat::SystemdServiceDefinition d = Definition();
        d.commandLine = std::wstring(L"/usr/bin/VelmoraService ") + c.options;
        const std::string text = plat::SystemdUnitFileText(d);
        const std::string entries = c.logEntry + RegistryEntry();
        const std::string writable =
            entries.empty() ? "" : "ReadWritePaths=" + entries.substr(entries[0] == ' ') + "\n";
        EXPECT_NE(text.find("\nProtectSystem=strict\n" + writable + "ProtectHome=" + c.protectHome +
                            (c.privateTmp ? "\nPrivateTmp=yes\n" : "\n") + kFixedSandbox),
                  std::string::npos)
            << WideToUtf8(c.options) << "\n" << text;
    }
}

TEST(SystemdUnitFileTest, JournalIdentifierIsTheNameWithoutSpaces) {
    EXPECT_EQ(plat::SystemdSyslogIdentifier(L"Harbrook Velmora Service"), L"HarbrookVelmoraService");
    EXPECT_EQ(plat::SystemdSyslogIdentifier(L" a:b [1]\tc\n\u00e9 "), L"ab1c\u00e9");
}

TEST(SystemdUnitFileTest, DisplayNameCannotBreakOutOfItsSetting) {
    plat::SystemdServiceDefinition d = Definition();
    d.displayName = L"100% Velmora\nExecStartPre=/bin/false \\";
    const std::string text = plat::SystemdUnitFileText(d);
    // One line, "%" doubled against specifier expansion, and a space after a final backslash.
    EXPECT_NE(text.find("\nDescription=100%% Velmora ExecStartPre=/bin/false \\ \n"), std::string::npos) << text;
    EXPECT_EQ(text.find("\nExecStartPre="), std::string::npos) << text;
    EXPECT_NE(text.find("\nDisplayName=100% Velmora\\nExecStartPre=/bin/false \\\\\n"), std::string::npos) << text;
}

TEST(SystemdUnitFileTest, TheRegistrationReadsBackExactly) {
    plat::SystemdServiceDefinition d = Definition();
    d.displayName = L" leading and trailing ";
    d.description = L"tab\there, CR\rLF\nbell\a, back\\slash, \u00e9\u4e2d, %n $HOME";
    d.commandLine = L"\"/opt/a b/VelmoraService\" \"-packagespath:/srv/x y/\" 100%";
    d.startType = 4;
    d.errorControl = 1;
    d.serviceType = 0x20;
    d.loadOrderGroup = L"Group";
    d.dependencies = {L"A", L"B"};
    d.account = L"svc$";
    plat::SystemdServiceDefinition back;
    ASSERT_TRUE(plat::ParseSystemdUnitFile(plat::SystemdUnitFileText(d), d.serviceName, &back));
    EXPECT_TRUE(back.ownUnit);
    EXPECT_EQ(back.serviceName, d.serviceName);
    EXPECT_EQ(back.displayName, d.displayName);
    EXPECT_EQ(back.description, d.description);
    EXPECT_EQ(back.commandLine, d.commandLine);
    EXPECT_EQ(back.serviceType, d.serviceType);
    EXPECT_EQ(back.startType, d.startType);
    EXPECT_EQ(back.errorControl, d.errorControl);
    EXPECT_EQ(back.loadOrderGroup, d.loadOrderGroup);
    EXPECT_EQ(back.dependencies, d.dependencies);
    EXPECT_EQ(back.account, d.account);
}

TEST(SystemdUnitFileTest, AUnitWrittenElsewhereReadsFromItsSystemdSettings) {
    const std::string unit =
        "[Unit]\r\nDescription=Other %%daemon\r\n\r\n[Service]\r\nExecStart=/usr/sbin/otherd --flag\r\n"
        "User=nobody\r\n[Install]\r\nWantedBy=multi-user.target\r\n";
    plat::SystemdServiceDefinition d;
    ASSERT_TRUE(plat::ParseSystemdUnitFile(unit, L"otherd", &d));
    EXPECT_FALSE(d.ownUnit);
    EXPECT_EQ(d.serviceName, L"otherd");
    EXPECT_EQ(d.displayName, L"Other %daemon");
    EXPECT_EQ(d.commandLine, L"/usr/sbin/otherd --flag");
    EXPECT_EQ(d.account, L"nobody");
    EXPECT_EQ(d.startType, 2u);
    // Not a service unit at all.
    EXPECT_FALSE(plat::ParseSystemdUnitFile("[Unit]\nDescription=x\n", L"x", &d));
    EXPECT_FALSE(plat::ParseSystemdUnitFile("", L"x", &d));
}

TEST(SystemdUnitFileTest, ServiceAndAccountNames) {
    for (const wchar_t* good : {L"HarbrookVelmoraService", L"a", L"velmora-2.test_x:y"})
        EXPECT_TRUE(plat::IsValidSystemdServiceName(good)) << WideToUtf8(good);
    for (const wchar_t* bad : {L"", L"-start", L".hidden", L"with space", L"a/b", L"a\\b", L"tmpl@", L"a\nb",
                               L"\u00e9t\u00e9"})
        EXPECT_FALSE(plat::IsValidSystemdServiceName(bad)) << WideToUtf8(bad);
    EXPECT_TRUE(plat::IsValidSystemdServiceName(std::wstring(247, L'a')));
    EXPECT_FALSE(plat::IsValidSystemdServiceName(std::wstring(248, L'a')));
    EXPECT_EQ(plat::SystemdUnitFileName(L"Name"), L"Name.service");

    for (const wchar_t* good : {L"velmora", L"svc_1", L"machine$", L"1001"})
        EXPECT_TRUE(plat::IsValidSystemdAccountName(good)) << WideToUtf8(good);
    for (const wchar_t* bad : {L"", L"-x", L"DOMAIN\\user", L".\\LocalSystem", L"a b", L"$", L"a$b",
                               L"root\nUser=x"})
        EXPECT_FALSE(plat::IsValidSystemdAccountName(bad)) << WideToUtf8(bad);
}

TEST(SystemdCommandLineTest, SplitsAsTheWindowsRuntimeDoes) {
    EXPECT_EQ(plat::SplitWindowsCommandLine(L"\"C:\\Program Files\\V\\V.exe\" -a  \t-b"),
              (WStrings{L"C:\\Program Files\\V\\V.exe", L"-a", L"-b"}));
    // The program name takes no escapes; its backslashes stay.
    EXPECT_EQ(plat::SplitWindowsCommandLine(L"C:\\V\\V.exe \"a b\" c\\d"),
              (WStrings{L"C:\\V\\V.exe", L"a b", L"c\\d"}));
    // 2n backslashes before a quote: n and a grouping quote; 2n+1: n and a literal quote.
    EXPECT_EQ(plat::SplitWindowsCommandLine(LR"(p a\\"b c" d\"e f\\\"g)"),
              (WStrings{L"p", L"a\\b c", L"d\"e", L"f\\\"g"}));
    // "" inside quotes is one quote; an empty quoted argument is an argument.
    EXPECT_EQ(plat::SplitWindowsCommandLine(LR"(p "say ""hi""" "")"), (WStrings{L"p", L"say \"hi\"", L""}));
    EXPECT_EQ(plat::SplitWindowsCommandLine(L""), WStrings{L""});
}

TEST(SystemdCommandLineTest, ExecStartGivesTheServiceTheSameArguments) {
    std::wstring value;
    ASSERT_TRUE(plat::SystemdExecStartValue(L"/usr/bin/VelmoraService -serverport:80 -packagespath:/srv/p/", &value));
    EXPECT_EQ(value, L"/usr/bin/VelmoraService -serverport:80 -packagespath:/srv/p/");
    ASSERT_TRUE(plat::SystemdExecStartValue(L"\"/opt/my dir/VelmoraService\" \"-packagespath:/srv/a b/\"", &value));
    EXPECT_EQ(value, L"\"/opt/my dir/VelmoraService\" \"-packagespath:/srv/a b/\"");
    // Specifiers, variables, quotes, backslashes and control characters keep their literal meaning.
    ASSERT_TRUE(plat::SystemdExecStartValue(LR"(/bin/v 100% $HOME a\"b "c\d" ;)", &value));
    EXPECT_EQ(value, LR"(/bin/v 100%% $$HOME "a\"b" "c\\d" ";")");
    EXPECT_EQ(plat::SystemdExecWord(L"line\nbreak"), L"\"line\\x0Abreak\"");
    EXPECT_EQ(plat::SystemdExecWord(L""), L"\"\"");
    // The program must be named by an absolute path.
    EXPECT_FALSE(plat::SystemdExecStartValue(L"VelmoraService -debug", &value));
    EXPECT_FALSE(plat::SystemdExecStartValue(L"", &value));
    EXPECT_FALSE(plat::SystemdExecStartValue(L"\"\" -x", &value));
}

TEST(SystemdStatesTest, ActiveStatesMapOntoServiceStates) {
    struct Case {
        const char* active;
        DWORD state;
        DWORD controls;
    };
    const Case cases[] = {
        {"activating", SERVICE_START_PENDING, 0},  {"active", SERVICE_RUNNING, SERVICE_ACCEPT_STOP},
        {"reloading", SERVICE_RUNNING, SERVICE_ACCEPT_STOP}, {"deactivating", SERVICE_STOP_PENDING, 0},
        {"inactive", SERVICE_STOPPED, 0},
    };
    for (const Case& c : cases) {
        plat::ServiceStatusRecord status{};
        ASSERT_TRUE(plat::ServiceStatusOfUnit({{"ActiveState", c.active}}, &status)) << c.active;
        EXPECT_EQ(status.currentState, c.state) << c.active;
        EXPECT_EQ(status.controlsAccepted, c.controls) << c.active;
        EXPECT_EQ(status.serviceType, SERVICE_WIN32_OWN_PROCESS);
        EXPECT_EQ(status.win32ExitCode, 0u);
    }
    plat::ServiceStatusRecord status{};
    ASSERT_TRUE(plat::ServiceStatusOfUnit({{"ActiveState", "failed"}, {"ExecMainStatus", "36"}}, &status));
    EXPECT_EQ(status.currentState, SERVICE_STOPPED);
    EXPECT_EQ(status.win32ExitCode, 1066u);
    EXPECT_EQ(status.serviceSpecificExitCode, 36u);
    EXPECT_FALSE(plat::ServiceStatusOfUnit({{"ActiveState", "exploded"}}, &status));
    EXPECT_FALSE(plat::ServiceStatusOfUnit({}, &status));
}

TEST(SystemdStatesTest, ShowOutputIsReadPerUnit) {
    const auto units = plat::ParseSystemctlShow(
        "Id=a.service\nActiveState=active\nExecMainStatus=0\n\nId=b.service\r\nActiveState=failed\r\n"
        "Description=x=y\n\n\n");
    ASSERT_EQ(units.size(), 2u);
    EXPECT_EQ(units[0].at("Id"), "a.service");
    EXPECT_EQ(units[1].at("ActiveState"), "failed");
    EXPECT_EQ(units[1].at("Description"), "x=y");
    EXPECT_TRUE(plat::ParseSystemctlShow("").empty());
}

TEST(SystemdStatesTest, FailedRunsBecomeWin32Codes) {
    EXPECT_EQ(plat::Win32ErrorOfSystemctl(4, ""), 5u);
    EXPECT_EQ(plat::Win32ErrorOfSystemctl(1, "Failed to start a.service: Access denied\n"), 5u);
    EXPECT_EQ(plat::Win32ErrorOfSystemctl(1, "Failed to stop a.service: Interactive authentication required.\n"), 5u);
    EXPECT_EQ(plat::Win32ErrorOfSystemctl(5, "Failed to start a.service: Unit a.service not found.\n"), 1060u);
    EXPECT_EQ(plat::Win32ErrorOfSystemctl(
                  1, "System has not been booted with systemd as init system (PID 1). Can't operate.\n"),
              1063u);
    EXPECT_EQ(plat::Win32ErrorOfSystemctl(1, "Failed to connect to bus: No such file or directory\n"), 1063u);
    EXPECT_EQ(plat::Win32ErrorOfSystemctl(1, "Job failed.\n"), 1627u);
}

}  // namespace
