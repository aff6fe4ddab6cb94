// Windows command-line splitting and systemd ExecStart= quoting (platform-independent).
#include "platform/posix/systemd/SystemdCommandLine.h"

#include "common/Format.h"

namespace plat {
namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

// Characters that stand for themselves in an unquoted ExecStart= word ("%"
// and "$" are doubled on output).
bool IsBareCharacter(wchar_t c) {
    if ((c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9')) return true;
    if (c >= 0x80 && c != 0x85 && c != 0xA0) return true;  // besides the Unicode line and space breaks
    return std::wstring_view(L"_@%+=:,./-$~").find(c) != std::wstring_view::npos;
}

}  // namespace

std::vector<std::wstring> SplitWindowsCommandLine(std::wstring_view line) {
    std::vector<std::wstring> arguments;
    std::size_t i = 0;
    // The program name: no escapes, quotes only group.
    std::wstring program;
    if (i < line.size() && line[i] == L'"') {
        ++i;
        while (i < line.size() && line[i] != L'"') program += line[i++];
        if (i < line.size()) ++i;
    } else {
        while (i < line.size() && !IsBlank(line[i])) program += line[i++];
    }
    arguments.push_back(program);

    for (;;) {
        while (i < line.size() && IsBlank(line[i])) ++i;
        if (i >= line.size()) break;
        std::wstring argument;
        bool quoted = false;
        while (i < line.size()) {
            const wchar_t c = line[i];
            if (c == L'\\') {
                std::size_t count = 0;
                while (i < line.size() && line[i] == L'\\') {
                    ++count;
                    ++i;
                }
                if (i < line.size() && line[i] == L'"') {
                    argument.append(count / 2, L'\\');
                    if (count % 2 == 1) {
                        argument += L'"';
                        ++i;
                    }
                } else {
                    argument.append(count, L'\\');
                }
            } else if (c == L'"') {
                if (quoted && i + 1 < line.size() && line[i + 1] == L'"') {
                    argument += L'"';
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
            } else if (!quoted && IsBlank(c)) {
                break;
            } else {
                argument += c;
                ++i;
            }
        }
        arguments.push_back(argument);
    }
    return arguments;
}

std::wstring SystemdExecWord(std::wstring_view argument) {
    bool bare = !argument.empty();
    for (wchar_t c : argument) bare = bare && IsBareCharacter(c);
    std::wstring word;
    if (!bare) word += L'"';
    for (wchar_t c : argument) {
        if (c == L'%') word += L"%%";
        else if (c == L'$') word += L"$$";
        else if (c == L'\\') word += L"\\\\";
        else if (c == L'"') word += L"\\\"";
        else if (c < 0x20 || c == 0x7F) word += FormatW(L"\\x%02X", static_cast<unsigned>(c));
        else word += c;
    }
    if (!bare) word += L'"';
    return word;
}

bool SystemdExecStartValue(std::wstring_view commandLine, std::wstring* value) {
    const std::vector<std::wstring> arguments = SplitWindowsCommandLine(commandLine);
    if (arguments.empty() || arguments[0].empty() || arguments[0][0] != L'/') return false;
    std::wstring line;
    for (const std::wstring& argument : arguments) {
        if (!line.empty()) line += L' ';
        line += SystemdExecWord(argument);
    }
    *value = line;
    return true;
}

}  // namespace plat
