// The names Windows reads as devices rather than files, one rule for every caller.
#pragma once

#include <string_view>

namespace plat::win32 {

// True when a file name (one path segment) names a device: CON, PRN, AUX,
// NUL, CONIN$, CONOUT$, CLOCK$, COM0-COM9 and LPT0-LPT9 (with the superscript
// digits 1-3 too), in any letter case, with any extension ("NUL.txt") and
// before trailing spaces ("nul  .zip").
bool IsReservedDeviceName(std::wstring_view name);

}  // namespace plat::win32
