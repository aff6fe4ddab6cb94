// Appending one record to a text file, opened and closed for every call.
#pragma once

#include <string>
#include <string_view>

#include "platform/Types.h"

namespace plat {

// Opens `path` for writing (created when missing, never truncated), moves to
// its end, writes `bytes` and closes it again. Other writers are kept out
// while it is open where the platform can (Windows: share-read only). Returns
// FALSE with the Win32 error code in `error` when any step fails.
BOOL AppendToFile(const std::wstring& path, std::string_view bytes, DWORD* error = nullptr);

}  // namespace plat
