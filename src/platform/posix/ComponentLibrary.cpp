// POSIX has no component library to start.
#include "platform/ComponentLibrary.h"

namespace plat {
BOOL InitComponentLibrary() { return TRUE; }
}  // namespace plat
