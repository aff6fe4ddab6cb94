// Links to folders (symbolic links; on Windows directory symbolic links), for
// building and removing trees that contain them.
#pragma once

#include <string>

#include "platform/Types.h"

namespace plat {

// Creates at `linkPath` a link to the folder `targetPath`. Returns FALSE with
// LastError() set when the platform refuses (on Windows this needs the
// symbolic-link privilege or developer mode).
BOOL CreateFolderLink(const std::wstring& linkPath, const std::wstring& targetPath);

// Removes the link at `linkPath` itself, never what it points to.
BOOL RemoveFolderLink(const std::wstring& linkPath);

}  // namespace plat
