// Command-line reading of the entry function.
#include "app/ApplicationOptions.h"

#include <climits>
#include <cstdint>
#include <vector>

#include "common/Format.h"
#include "common/Utf8.h"
#include "platform/AsyncSocket.h"

namespace {

std::vector<std::wstring_view> SplitAtSpaces(std::wstring_view text) {
    std::vector<std::wstring_view> tokens;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && text[i] == L' ') ++i;
        const std::size_t start = i;
        while (i < text.size() && text[i] != L' ') ++i;
        if (i > start) tokens.push_back(text.substr(start, i - start));
    }
    return tokens;
}

bool IsCWhiteSpace(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\n' || c == L'\v' || c == L'\f' || c == L'\r'; }

// wcstol with base 10 and a 32-bit long: leading white space, optional sign,
// digits; saturates on overflow. `end` receives the index after the number
// (0 when no digits were read).
long StringToLong32(std::wstring_view s, std::size_t& end) {
    std::size_t i = 0;
    while (i < s.size() && IsCWhiteSpace(s[i])) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == L'+' || s[i] == L'-')) negative = s[i++] == L'-';
    const std::size_t digitsStart = i;
    std::int64_t value = 0;
    bool overflow = false;
    while (i < s.size() && s[i] >= L'0' && s[i] <= L'9') {
        if (!overflow) {
            value = value * 10 + (s[i] - L'0');
            if (value > static_cast<std::int64_t>(INT32_MAX) + 1) overflow = true;
        }
        ++i;
    }
    if (i == digitsStart) {
        end = 0;
        return 0;
    }
    end = i;
    if (negative) {
        value = -value;
        if (overflow || value < INT32_MIN) return INT32_MIN;
        return static_cast<long>(value);
    }
    if (overflow || value > INT32_MAX) return INT32_MAX;
    return static_cast<long>(value);
}

}  // namespace

int ParsePortValue(std::wstring_view value) {
    std::size_t i = 0;
    while (i < value.size() && (value[i] == L' ' || value[i] == L'\t')) ++i;
    const std::wstring_view rest = value.substr(i);
    const wchar_t first = rest.empty() ? L'\0' : rest[0];
    std::size_t end = 0;
    const long number = StringToLong32(rest, end);
    for (std::size_t k = end; k < rest.size(); ++k)
        if (rest[k] != L' ' && rest[k] != L'\t') return 0;
    if (end == 0 && !rest.empty()) return 0;
    if (number != 0 || first == L'0') return static_cast<int>(number);
    return 0;
}

ApplicationOptions ParseApplicationOptions(std::wstring_view commandLine) {
    ApplicationOptions options;
    for (std::wstring_view token : SplitAtSpaces(commandLine)) {
        // ASCII folding keeps every character at its place, so the value can
        // be cut from the token as typed.
        const std::wstring lower = AsciiLower(token);
        if (lower.starts_with(L"-debug")) {
            options.bConsole = true;
        } else if (lower.starts_with(L"-serverport:")) {
            options.nServerPort = ParsePortValue(token.substr(12));
        } else if (lower.starts_with(L"-serveraddress:")) {
            options.strServerAddress = std::wstring(token.substr(15));
        } else if (lower.starts_with(L"-packagespath:")) {
            options.strPackagesPath = std::wstring(token.substr(14));
        } else if (lower.starts_with(L"-logfile:")) {
            options.strLogFile = std::wstring(token.substr(9));
        } else if (lower.starts_with(L"-logevents")) {
            options.bLogEvents = true;
        } else if (lower.starts_with(L"-headsizes")) {
            options.bHeadSizes = true;
        } else if (lower.starts_with(L"-metrics:off")) {
            options.bMetricsOff = true;
        }
    }
    return options;
}

std::wstring ServerAddressLiteral(std::wstring_view value) {
    if (value.size() > 2 && value.front() == L'[' && value.back() == L']') {
        const std::wstring_view inner = value.substr(1, value.size() - 2);
        if (plat::ClassifyAddressLiteral(inner) == plat::AddressLiteral::IPv6) return std::wstring(inner);
        return std::wstring();
    }
    if (plat::ClassifyAddressLiteral(value) == plat::AddressLiteral::None) return std::wstring();
    return std::wstring(value);
}

std::wstring ServerAddressProblem(std::wstring_view value) {
    if (value.empty() || !ServerAddressLiteral(value).empty()) return std::wstring();
    return FormatW(L"the server address '%s' is not an IPv4 or IPv6 address", value);
}

std::wstring RegisteredOptions(const ApplicationOptions& options) {
    std::wstring text;
    if (options.nServerPort != 0) text += FormatW(L" -serverport:%ld", options.nServerPort);
    if (!options.strServerAddress.empty()) text += FormatW(L" -serveraddress:%s", options.strServerAddress);
    if (!options.strPackagesPath.empty()) text += FormatW(L" -packagespath:%s", options.strPackagesPath);
    if (!options.strLogFile.empty()) text += FormatW(L" -logfile:%s", options.strLogFile);
    if (options.bLogEvents) text += L" -logevents";
    if (options.bHeadSizes) text += L" -headsizes";
    if (options.bMetricsOff) text += L" -metrics:off";
    return text;
}

std::wstring OptionNotRegistrable(const ApplicationOptions& options) {
    for (const std::wstring* value : {&options.strPackagesPath, &options.strLogFile}) {
        if (value->find_first_of(L"\"\t") == std::wstring::npos) continue;
        return (value == &options.strPackagesPath ? L"-packagespath:" : L"-logfile:") + *value;
    }
    return std::wstring();
}
