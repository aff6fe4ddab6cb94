// Windows default folders.
#include "platform/DefaultFolders.h"

namespace plat {
std::wstring DefaultPackagesFolder() { return L"C:\\Temp\\"; }
}  // namespace plat
