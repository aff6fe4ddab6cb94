// Folders the program falls back on when none is configured.
#pragma once

#include <string>

namespace plat {

// The packages folder used when none is given: "C:\Temp\" on Windows, the
// system's temporary folder "/tmp/" on POSIX.
std::wstring DefaultPackagesFolder();

}  // namespace plat
