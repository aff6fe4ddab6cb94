// Folder enumeration and path components: what the folder listing needs from
// the file system.
#pragma once

#include <string>
#include <vector>

#include "platform/Types.h"

namespace plat {

// One entry of a folder, as the file system reports it.
struct FolderEntry {
    std::wstring name;      // the entry's name, without its folder
    std::wstring fullPath;  // the folder's path, one separator, then the name
    bool isDots = false;    // the entry is "." or ".."
    // The entry is a folder. A link to a folder counts as a folder, so that
    // following it lists the folder it points to.
    bool isDirectory = false;
};

// Lists the entries of `folderPath` in the order in which the file system
// enumerates them, hidden entries included; "." and ".." are reported (marked
// isDots) when the file system reports them. Returns FALSE with LastError()
// set, and no entries, when the folder cannot be enumerated (missing, not a
// folder, no access) or its enumeration breaks off.
BOOL EnumerateFolder(const std::wstring& folderPath, std::vector<FolderEntry>* entries);

// The last component of a path: the text after the last separator ("/" on
// POSIX, "\" and "/" on Windows). Trailing separators are not part of it, so
// a folder path written with one still yields the folder's name. A path made
// only of separators, or with none, is returned unchanged.
// Whether the platform reads `c` as a separator of folder paths.
bool IsPathSeparator(wchar_t c);

std::wstring LastPathComponent(const std::wstring& path);

// Joins a folder path and a name with exactly one separator between them.
std::wstring JoinPath(const std::wstring& folderPath, const std::wstring& name);

}  // namespace plat
