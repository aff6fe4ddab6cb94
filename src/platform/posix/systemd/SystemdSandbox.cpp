// The sandbox of a generated systemd unit and the journal identifier (platform-independent).
#include "platform/posix/systemd/SystemdSandbox.h"

#include <initializer_list>
#include <string>
#include <vector>

#include "common/Utf8.h"
#include "platform/DefaultFolders.h"
#include "platform/Registry.h"
#include "platform/posix/systemd/SystemdCommandLine.h"
#include "platform/posix/systemd/SystemdSocketUnit.h"
#include "platform/posix/systemd/SystemdUnitFile.h"

namespace plat {
namespace {

// Settings that do not depend on the service: everything the program does not
// need to serve files, log and talk to systemd and syslog is taken away.
constexpr std::wstring_view kFixedSettings =
    L"PrivateDevices=yes\n"
    L"PrivateMounts=yes\n"
    L"ProtectKernelTunables=yes\n"
    L"ProtectKernelModules=yes\n"
    L"ProtectKernelLogs=yes\n"
    L"ProtectControlGroups=yes\n"
    L"ProtectClock=yes\n"
    L"ProtectHostname=yes\n"
    L"ProtectProc=invisible\n"
    L"ProcSubset=pid\n"
    L"RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6\n"
    L"RestrictNamespaces=yes\n"
    L"RestrictRealtime=yes\n"
    L"RestrictSUIDSGID=yes\n"
    L"RemoveIPC=yes\n"
    L"LockPersonality=yes\n"
    L"MemoryDenyWriteExecute=yes\n"
    L"SystemCallArchitectures=native\n"
    L"SystemCallFilter=@system-service\n"
    L"SystemCallFilter=~@privileged\n"
    L"SystemCallErrorNumber=EPERM\n"
    L"UMask=0027\n";

bool IsControl(wchar_t c) { return c < 0x20 || c == 0x7F; }

// An absolute path with ".", ".." and repeated separators resolved as text;
// a relative one is taken from "/".
std::wstring NormalPath(std::wstring_view path) {
    std::vector<std::wstring_view> parts;
    for (std::size_t start = 0; start <= path.size();) {
        std::size_t end = path.find(L'/', start);
        if (end == std::wstring_view::npos) end = path.size();
        const std::wstring_view part = path.substr(start, end - start);
        if (part == L"..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != L".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::wstring out;
    for (std::wstring_view part : parts) (out += L'/') += part;
    return out.empty() ? L"/" : out;
}

std::wstring ParentFolder(const std::wstring& normalPath) {
    const std::size_t slash = normalPath.rfind(L'/');
    return slash == 0 || slash == std::wstring::npos ? L"/" : normalPath.substr(0, slash);
}

bool IsWithin(const std::wstring& path, std::wstring_view folder) {
    return path == folder || (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
                              path[folder.size()] == L'/');
}

bool IsWithinAny(const std::wstring& path, std::initializer_list<std::wstring_view> folders) {
    for (std::wstring_view folder : folders)
        if (IsWithin(path, folder)) return true;
    return false;
}

// One entry of a path list such as ReadWritePaths=: "-" first (a folder that
// does not exist is skipped instead of failing the start), quoted when it
// holds a character with a meaning to systemd, "%" doubled. False for a path
// that cannot be written on one line.
bool AppendPathEntry(const std::wstring& path, std::wstring* list) {
    std::wstring entry;
    bool quote = false;
    for (wchar_t c : path) {
        if (IsControl(c)) return false;
        if (c == L' ' || c == L'"' || c == L'\'' || c == L'\\' || c == L';') quote = true;
        if (c == L'"' || c == L'\\') entry += L'\\';
        entry += c;
        if (c == L'%') entry += L'%';
    }
    *list += list->empty() ? L"-" : L" -";
    *list += quote ? L"\"" + entry + L"\"" : entry;
    return true;
}

struct ServiceFolders {
    std::wstring packages;
    std::wstring logFile;
};

// The packages folder and the log file as the program reads them from its
// command line: a token counts when its lower-cased form starts with the
// option's name, the last one wins, and an empty value means "not given".
ServiceFolders FoldersOf(std::wstring_view commandLine) {
    constexpr std::wstring_view kPackages = L"-packagespath:";
    constexpr std::wstring_view kLogFile = L"-logfile:";
    ServiceFolders folders;
    const std::vector<std::wstring> arguments = SplitWindowsCommandLine(commandLine);
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::wstring& token = arguments[i];
        if (AsciiStartsWithNoCase(token, kPackages)) folders.packages = token.substr(kPackages.size());
        else if (AsciiStartsWithNoCase(token, kLogFile)) folders.logFile = token.substr(kLogFile.size());
    }
    if (folders.packages.empty()) folders.packages = DefaultPackagesFolder();
    return folders;
}

}  // namespace

std::wstring SystemdSyslogIdentifier(std::wstring_view name) {
    std::wstring out;
    for (wchar_t c : name) {
        if (IsControl(c) || c == L' ' || c == L'\t' || c == 0x85 || c == 0xA0 || c == L':' || c == L'[' ||
            c == L']')
            continue;
        out += c;
    }
    return out;
}

std::wstring SystemdSandboxSettings(const SystemdServiceDefinition& definition) {
    const ServiceFolders folders = FoldersOf(definition.commandLine);
    const std::wstring packages = NormalPath(folders.packages);
    std::vector<std::wstring> used = {packages};
    std::wstring writable;
    if (!folders.logFile.empty()) {
        const std::wstring logFolder = ParentFolder(NormalPath(folders.logFile));
        used.push_back(logFolder);
        AppendPathEntry(logFolder, &writable);
    }
    if (const std::wstring registry = RegistryRootFolder(); !registry.empty()) {
        used.push_back(NormalPath(registry));
        AppendPathEntry(used.back(), &writable);
    }

    bool inHome = false;
    bool inTmp = false;
    for (const std::wstring& path : used) {
        inHome = inHome || IsWithinAny(path, {L"/home", L"/root", L"/run/user"});
        inTmp = inTmp || IsWithinAny(path, {L"/tmp", L"/var/tmp"});
    }

    std::wstring text = L"NoNewPrivileges=yes\n";
    std::wstring listenStream;
    bool bothFamilies = false;
    if (SystemdListenAddressOf(definition.commandLine, &listenStream, &bothFamilies)) {
        // systemd listens for the service (its socket unit): it binds nothing and needs no capability.
        text += L"CapabilityBoundingSet=\n";
    } else {
        text += L"CapabilityBoundingSet=CAP_NET_BIND_SERVICE\n";
        // Under an account the capability must be handed on to bind a port below 1024.
        if (!definition.account.empty()) text += L"AmbientCapabilities=CAP_NET_BIND_SERVICE\n";
    }
    text += L"ProtectSystem=strict\n";
    if (!writable.empty()) text += L"ReadWritePaths=" + writable + L"\n";
    text += inHome ? L"ProtectHome=read-only\n" : L"ProtectHome=yes\n";
    if (!inTmp) text += L"PrivateTmp=yes\n";
    return text += kFixedSettings;
}

}  // namespace plat
