// The socket unit of an installed service: where it listens, and its text (platform-independent).
#include "platform/posix/systemd/SystemdSocketUnit.h"

#include <cwchar>
#include <vector>

#include "common/Format.h"
#include "common/Utf8.h"
#include "platform/AsyncSocket.h"
#include "platform/posix/systemd/SystemdCommandLine.h"
#include "platform/posix/systemd/SystemdUnitFile.h"

namespace plat {
namespace {

constexpr long kDefaultPort = 80;

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

// The program's reading of a "-serverport:" value: a decimal number between
// blanks, with an optional sign; anything else, and 0, mean "not given".
long PortValue(std::wstring_view value) {
    std::size_t i = 0;
    while (i < value.size() && IsBlank(value[i])) ++i;
    std::size_t end = value.size();
    while (end > i && IsBlank(value[end - 1])) --end;
    const std::wstring number(value.substr(i, end - i));
    if (number.empty()) return kDefaultPort;
    wchar_t* stop = nullptr;
    const long long parsed = std::wcstoll(number.c_str(), &stop, 10);
    if (stop == nullptr || *stop != L'\0' || parsed == 0) return kDefaultPort;
    return parsed < 1 || parsed > 65535 ? -1 : static_cast<long>(parsed);
}

}  // namespace

std::wstring SystemdSocketUnitFileName(std::wstring_view serviceName) { return std::wstring(serviceName) + L".socket"; }

bool SystemdListenAddressOf(std::wstring_view commandLine, std::wstring* listenStream, bool* bothFamilies) {
    constexpr std::wstring_view kPort = L"-serverport:";
    constexpr std::wstring_view kAddress = L"-serveraddress:";
    long port = kDefaultPort;
    std::wstring address;
    const std::vector<std::wstring> arguments = SplitWindowsCommandLine(commandLine);
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::wstring& token = arguments[i];
        if (AsciiStartsWithNoCase(token, kPort)) port = PortValue(std::wstring_view(token).substr(kPort.size()));
        else if (AsciiStartsWithNoCase(token, kAddress)) address = token.substr(kAddress.size());
    }
    if (port < 1 || port > 65535) return false;
    if (address.size() > 2 && address.front() == L'[' && address.back() == L']') {
        address = address.substr(1, address.size() - 2);
        if (ClassifyAddressLiteral(address) != AddressLiteral::IPv6) return false;
    }
    const AddressLiteral kind = address.empty() ? AddressLiteral::IPv6 : ClassifyAddressLiteral(address);
    if (kind == AddressLiteral::None) return false;
    if (address.empty()) *listenStream = FormatW(L"%ld", port);
    else if (kind == AddressLiteral::IPv4) *listenStream = FormatW(L"%s:%ld", address, port);
    else *listenStream = FormatW(L"[%s]:%ld", address, port);
    *bothFamilies = kind == AddressLiteral::IPv6;
    return true;
}

std::string SystemdSocketUnitText(const SystemdServiceDefinition& d, int backlog) {
    std::wstring listenStream;
    bool bothFamilies = false;
    SystemdListenAddressOf(d.commandLine, &listenStream, &bothFamilies);
    std::wstring text = L"# Written by the service installer: the listening socket of " +
                        SystemdUnitFileName(d.serviceName) + L", kept open across its restarts.\n";
    text += L"[Unit]\nDescription=Listening socket of " + SystemdUnitFileName(d.serviceName) + L"\n";
    text += L"\n[Socket]\nListenStream=" + listenStream + L"\n";
    if (bothFamilies) text += L"BindIPv6Only=both\n";
    // A burst of clients waits for its accept, as with the program's own listener.
    text += FormatW(L"Backlog=%d\n", backlog);
    return WideToUtf8(text);
}

}  // namespace plat
