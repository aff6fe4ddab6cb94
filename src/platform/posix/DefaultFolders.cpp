// POSIX default folders.
#include "platform/DefaultFolders.h"

namespace plat {
std::wstring DefaultPackagesFolder() { return L"/tmp/"; }
}  // namespace plat
