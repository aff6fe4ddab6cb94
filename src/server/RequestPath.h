// Mapping a decoded request path onto the packages folder, confined to it.
//
// The request path's segments are separated by "/" or "\" on every platform.
// "." segments and empty segments are dropped and ".." removes the segment
// before it, as a path join resolves them; a path that would climb above the
// packages folder is refused. So are paths holding a NUL character, joined
// paths of MAX_PATH (260) characters or more, and, on Windows, every other
// way of naming a file that the request did not spell out: a ":" (drive
// letters, alternate streams), reserved device names (CON, NUL, COM1, ...,
// with or without an extension), segments ending in a dot or a space,
// wildcard and other characters that are not allowed in file names, and
// names whose long form differs from the name asked for (8.3 short names).
#pragma once

#include <string>
#include <string_view>

enum class RequestPathVerdict { Mapped, Refused };

// Joins `requestPath` below `packagesFolder` (one trailing separator of the
// folder is dropped; an empty request path gives the folder itself without
// it). On Mapped, `fullPath` holds the joined path with the platform's
// separator; on Refused it is left empty.
RequestPathVerdict MapRequestPath(std::wstring_view packagesFolder, std::wstring_view requestPath,
                                  std::wstring& fullPath);
