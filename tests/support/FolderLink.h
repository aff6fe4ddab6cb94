// Links to folders (symbolic links; on Windows directory symbolic links), for
// building and removing test trees that contain them, and the 8.3 short name
// of a file (Windows), for tests that ask for a file by it.
#pragma once

#include <string>

#include "platform/Types.h"

namespace testsupport {

// Creates at `linkPath` a link to the folder `targetPath`. Returns FALSE with
// LastError() set when the platform refuses (on Windows this needs the
// symbolic-link privilege or developer mode).
BOOL CreateFolderLink(const std::wstring& linkPath, const std::wstring& targetPath);

// Removes the link at `linkPath` itself, never what it points to.
BOOL RemoveFolderLink(const std::wstring& linkPath);

// The 8.3 short name of an existing file's last component (Windows), or empty
// when the platform or file system has none.
std::wstring ShortName(const std::wstring& path);

}  // namespace testsupport
