// POSIX default folders.
#include "platform/DefaultFolders.h"

namespace plat {
// Not the temporary folder: there any local user could make a folder with a
// link to a file that only root may read, and read it through the server.
std::wstring DefaultPackagesFolder() { return L"/srv/velmora/packages/"; }
}  // namespace plat
