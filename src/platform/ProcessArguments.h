// The process's argument vector, index 0 being the program, as the system split it.
#pragma once

#include <string>
#include <vector>

namespace plat {

// Windows: CommandLineToArgvW of the process's command line. POSIX: the argv
// that main received (recorded by the start-up code; empty before that).
std::vector<std::wstring> ProcessArguments();

// POSIX start-up records argv here; tests may set a vector of their own.
void SetProcessArguments(std::vector<std::wstring> arguments);

}  // namespace plat
