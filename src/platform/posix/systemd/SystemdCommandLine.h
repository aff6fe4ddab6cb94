// A registered command line (Windows rules) turned into systemd's ExecStart=
// syntax, so that the service process gets the same arguments under systemd
// as under the Windows service control manager (platform-independent).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace plat {

// Splits a command line as the Windows runtime does (CommandLineToArgvW): the
// program name up to the next space, or between double quotes; then
// arguments separated by spaces and tabs, where double quotes group,
// 2n backslashes before a quote give n backslashes and 2n+1 give n and a
// literal quote, and "" inside quotes gives one quote.
std::vector<std::wstring> SplitWindowsCommandLine(std::wstring_view commandLine);

// One ExecStart= word for `argument`: bare when it holds only characters
// without a meaning to systemd, otherwise between double quotes with "\" and
// "\"" escaped and control characters as \xHH; "%" and "$" are doubled in
// both forms (systemd expands specifiers and variables).
std::wstring SystemdExecWord(std::wstring_view argument);

// The ExecStart= value of a command line; false when it names no program or
// the program is not an absolute path.
bool SystemdExecStartValue(std::wstring_view commandLine, std::wstring* value);

}  // namespace plat
