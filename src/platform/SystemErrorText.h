// The system's text for a Win32 error code.
//
// Windows: FormatMessageW from the system's message table in the system's
// default language, as the system returns it (its line break at the end
// included); empty when the system has no text for the code.
// POSIX: the C library's own text (strerror, no line break) for a code that
// an errno value maps to (plat::posix::Win32FromErrno), and a text of our own
// in the Windows wording for the other codes the program can produce (service
// manager, registry, queue quota, time-out ...); empty for any other code.
//
// Safe to include together with <windows.h>.
#pragma once

#include <string>

#include "platform/Types.h"

namespace plat {

std::wstring SystemErrorText(DWORD code);

}  // namespace plat
