// The systemd unit file of an installed service: composing and reading it (platform-independent).
#include "platform/posix/systemd/SystemdUnitFile.h"

#include <cstdlib>

#include "common/Format.h"
#include "common/Utf8.h"
#include "platform/ServiceCodes.h"
#include "platform/ServiceWatchdog.h"
#include "platform/posix/systemd/SystemdCommandLine.h"
#include "platform/posix/systemd/SystemdSandbox.h"
#include "platform/posix/systemd/SystemdSocketUnit.h"

namespace plat {
namespace {

constexpr std::size_t kMaxServiceNameLength = 247;  // a unit name holds 255 characters with ".service"
constexpr std::size_t kMaxAccountNameLength = 32;
constexpr std::string_view kRegistrationSection = "X-VelmoraService";

bool IsAsciiLetterOrDigit(wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9');
}

bool IsControl(wchar_t c) { return c < 0x20 || c == 0x7F; }

// A value of the registration section: backslash and control characters
// escaped, so that it stays on its line, and spaces at either end, so that
// they survive the trimming of lines.
std::wstring EscapeValue(std::wstring_view value) {
    std::wstring out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const wchar_t c = value[i];
        if (c == L' ' && (i == 0 || i + 1 == value.size())) out += L"\\x20";
        else if (c == L'\\') out += L"\\\\";
        else if (c == L'\n') out += L"\\n";
        else if (c == L'\r') out += L"\\r";
        else if (c == L'\t') out += L"\\t";
        else if (IsControl(c)) out += FormatW(L"\\x%02X", static_cast<unsigned>(c));
        else out += c;
    }
    return out;
}

int HexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

std::wstring UnescapeValue(std::wstring_view value) {
    std::wstring out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != L'\\' || i + 1 >= value.size()) {
            out += value[i];
            continue;
        }
        const wchar_t next = value[++i];
        if (next == L'n') out += L'\n';
        else if (next == L'r') out += L'\r';
        else if (next == L't') out += L'\t';
        else if (next == L'x' && i + 2 < value.size() && HexDigit(value[i + 1]) >= 0 && HexDigit(value[i + 2]) >= 0) {
            out += static_cast<wchar_t>(HexDigit(value[i + 1]) * 16 + HexDigit(value[i + 2]));
            i += 2;
        } else {
            out += next;
        }
    }
    return out;
}

// A text for a systemd setting that shows it as it is (Description=): on one
// line, with "%" doubled against specifier expansion, and a final backslash
// kept from joining the next line (systemd strips the space added after it).
std::wstring SettingText(std::wstring_view value) {
    std::wstring out;
    for (wchar_t c : value) {
        if (c == L'%') out += L"%%";
        else if (IsControl(c)) out += L' ';
        else out += c;
    }
    if (!out.empty() && out.back() == L'\\') out += L' ';
    return out;
}

// The reverse of SettingText for a foreign unit's setting: "%%" as "%".
std::wstring SettingValue(std::wstring_view value) {
    std::wstring out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        out += value[i];
        if (value[i] == L'%' && i + 1 < value.size() && value[i + 1] == L'%') ++i;
    }
    return out;
}

std::wstring Trim(std::wstring_view text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && (text[begin] == L' ' || text[begin] == L'\t' || text[begin] == L'\r')) ++begin;
    while (end > begin && (text[end - 1] == L' ' || text[end - 1] == L'\t' || text[end - 1] == L'\r')) --end;
    return std::wstring(text.substr(begin, end - begin));
}

DWORD ParseNumber(const std::wstring& text, DWORD fallback) {
    if (text.empty()) return fallback;
    wchar_t* end = nullptr;
    const unsigned long value = std::wcstoul(text.c_str(), &end, 10);
    return (end != nullptr && *end == L'\0') ? static_cast<DWORD>(value) : fallback;
}

}  // namespace

std::wstring SystemdUnitFileName(std::wstring_view serviceName) { return std::wstring(serviceName) + L".service"; }

bool IsValidSystemdServiceName(std::wstring_view name) {
    if (name.empty() || name.size() > kMaxServiceNameLength || name[0] == L'.' || name[0] == L'-') return false;
    for (wchar_t c : name) {
        if (!IsAsciiLetterOrDigit(c) && c != L':' && c != L'_' && c != L'.' && c != L'-') return false;
    }
    return true;
}

bool IsValidSystemdAccountName(std::wstring_view account) {
    if (account.empty() || account.size() > kMaxAccountNameLength || account[0] == L'-') return false;
    for (std::size_t i = 0; i < account.size(); ++i) {
        const wchar_t c = account[i];
        if (c == L'$' && i + 1 == account.size() && i > 0) continue;
        if (!IsAsciiLetterOrDigit(c) && c != L'_' && c != L'.' && c != L'-') return false;
    }
    return true;
}

std::string SystemdUnitFileText(const SystemdServiceDefinition& d) {
    std::wstring execStart;
    SystemdExecStartValue(d.commandLine, &execStart);
    std::wstring dependencies;
    for (const std::wstring& name : d.dependencies) {
        // Load-order groups ("+" names) have no counterpart in systemd; they stay in the registration only.
        if (!IsValidSystemdServiceName(name)) continue;
        if (!dependencies.empty()) dependencies += L' ';
        dependencies += SystemdUnitFileName(name);
    }

    const std::wstring& displayName = d.displayName.empty() ? d.serviceName : d.displayName;
    std::wstring text = L"# Written by the service installer. [X-VelmoraService] keeps the registration as given.\n";
    text += L"[Unit]\n";
    text += L"Description=" + SettingText(displayName) + L"\n";
    // Started once the network is up and network file systems (a packages folder may be one) are mounted,
    // stopped before they go.
    text += L"After=network.target remote-fs.target\n";
    // The listening socket comes from the socket unit, which stays when the service restarts.
    std::wstring listenStream;
    bool bothFamilies = false;
    if (SystemdListenAddressOf(d.commandLine, &listenStream, &bothFamilies)) {
        const std::wstring socketUnit = SystemdSocketUnitFileName(d.serviceName);
        dependencies = dependencies.empty() ? socketUnit : socketUnit + L' ' + dependencies;
    }
    if (!dependencies.empty()) {
        text += L"Requires=" + dependencies + L"\n";
        text += L"After=" + dependencies + L"\n";
    }
    text += L"\n[Service]\nType=notify\n";
    text += L"ExecStart=" + execStart + L"\n";
    if (!d.account.empty()) text += L"User=" + d.account + L"\n";
    // A crash is restarted; a service that stopped with its own failure (1066, ERROR_SERVICE_SPECIFIC_ERROR,
    // as exit status 42) has retried on its own already, and one that refused its parameters (87,
    // ERROR_INVALID_PARAMETER) would only refuse them again: they stay failed, as under the Windows service
    // manager.
    text += L"Restart=on-failure\nRestartSec=5s\nRestartPreventExitStatus=42 87\n";
    // A service whose main loop stops beating (hung, deadlocked, stopped) is killed and, as a failure, restarted.
    text += FormatW(L"WatchdogSec=%lus\n", static_cast<unsigned long>(kServiceWatchdogPeriodMilliseconds / 1000));
    // The events of the service's own event source and its standard output under one name.
    text += L"SyslogIdentifier=" + SettingText(SystemdSyslogIdentifier(displayName)) + L"\n";
    text += SystemdSandboxSettings(d);
    if (d.startType == SERVICE_AUTO_START) text += L"\n[Install]\nWantedBy=multi-user.target\n";

    text += L"\n[" + Utf8ToWideLossy(kRegistrationSection) + L"]\n";
    text += L"ServiceName=" + EscapeValue(d.serviceName) + L"\n";
    text += L"DisplayName=" + EscapeValue(d.displayName) + L"\n";
    if (!d.description.empty()) text += L"Description=" + EscapeValue(d.description) + L"\n";
    text += L"CommandLine=" + EscapeValue(d.commandLine) + L"\n";
    text += FormatW(L"ServiceType=%lu\nStartType=%lu\nErrorControl=%lu\n", d.serviceType, d.startType,
                    d.errorControl);
    if (!d.loadOrderGroup.empty()) text += L"LoadOrderGroup=" + EscapeValue(d.loadOrderGroup) + L"\n";
    for (const std::wstring& name : d.dependencies) text += L"Dependency=" + EscapeValue(name) + L"\n";
    if (!d.account.empty()) text += L"Account=" + EscapeValue(d.account) + L"\n";
    return WideToUtf8(text);
}

bool ParseSystemdUnitFile(std::string_view bytes, std::wstring_view serviceName, SystemdServiceDefinition* out) {
    const std::wstring text = Utf8ToWideLossy(bytes);
    SystemdServiceDefinition own;
    own.serviceName = std::wstring(serviceName);
    SystemdServiceDefinition foreign = own;
    bool haveService = false;
    bool haveRegistration = false;
    std::wstring section;

    std::size_t lineStart = 0;
    while (lineStart <= text.size()) {
        std::size_t lineEnd = text.find(L'\n', lineStart);
        if (lineEnd == std::wstring::npos) lineEnd = text.size();
        const std::wstring line = Trim(std::wstring_view(text).substr(lineStart, lineEnd - lineStart));
        lineStart = lineEnd + 1;
        if (line.empty() || line[0] == L'#' || line[0] == L';') continue;
        if (line.front() == L'[' && line.back() == L']') {
            section = line.substr(1, line.size() - 2);
            if (section == L"Service") haveService = true;
            if (section == Utf8ToWideLossy(kRegistrationSection)) haveRegistration = true;
            continue;
        }
        const std::size_t equals = line.find(L'=');
        if (equals == std::wstring::npos) continue;
        const std::wstring key = Trim(std::wstring_view(line).substr(0, equals));
        const std::wstring value = line.substr(equals + 1);

        if (section == Utf8ToWideLossy(kRegistrationSection)) {
            const std::wstring v = UnescapeValue(value);
            if (key == L"ServiceName") own.serviceName = v;
            else if (key == L"DisplayName") own.displayName = v;
            else if (key == L"Description") own.description = v;
            else if (key == L"CommandLine") own.commandLine = v;
            else if (key == L"ServiceType") own.serviceType = ParseNumber(v, own.serviceType);
            else if (key == L"StartType") own.startType = ParseNumber(v, own.startType);
            else if (key == L"ErrorControl") own.errorControl = ParseNumber(v, own.errorControl);
            else if (key == L"LoadOrderGroup") own.loadOrderGroup = v;
            else if (key == L"Dependency") own.dependencies.push_back(v);
            else if (key == L"Account") own.account = v;
        } else if (section == L"Unit" && key == L"Description") {
            foreign.displayName = SettingValue(Trim(value));
        } else if (section == L"Service" && key == L"ExecStart") {
            foreign.commandLine = Trim(value);
        } else if (section == L"Service" && key == L"User") {
            foreign.account = Trim(value);
        } else if (section == L"Install" && key == L"WantedBy") {
            foreign.startType = SERVICE_AUTO_START;
        }
    }
    if (!haveService) return false;
    if (haveRegistration) {
        own.ownUnit = true;
        *out = own;
    } else {
        *out = foreign;
    }
    return true;
}

}  // namespace plat
