// Per-thread start-up of the system's component library (COM on Windows; nothing elsewhere).
#pragma once

#include "platform/Types.h"

namespace plat {
BOOL InitComponentLibrary();
}  // namespace plat
