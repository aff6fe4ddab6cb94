// The full path of the running executable (GetModuleFileNameW of the process's
// own module; /proc/self/exe on POSIX).
//
// Safe to include together with <windows.h>.
#pragma once

#include <string>

namespace plat {

// Empty, with the last error set, when the system cannot tell.
std::wstring ExecutableFilePath();

}  // namespace plat
