// Folders the program falls back on when none is configured.
#pragma once

#include <string>

namespace plat {

// The packages folder used when none is given: "C:\Temp\" on Windows,
// "/srv/velmora/packages/" on POSIX (a folder that only root can create, so
// no other user can put anything there).
std::wstring DefaultPackagesFolder();

}  // namespace plat
