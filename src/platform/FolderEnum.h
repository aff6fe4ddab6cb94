// Folder enumeration and path components: what the folder listing needs from
// the file system.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/Types.h"

namespace plat {

// A name as the file system holds it: bytes on POSIX (UTF-8 by convention,
// but any bytes except "/" and NUL), UTF-16 on Windows (where unpaired
// surrogates are possible). The listing converts names only for writing them.
#ifdef _WIN32
using FileNameChar = wchar_t;
#else
using FileNameChar = char;
#endif
using FileNameString = std::basic_string<FileNameChar>;
using FileNameView = std::basic_string_view<FileNameChar>;

// What tells one folder from every other while both exist: the volume and
// the folder's number on it (POSIX: st_dev and st_ino; Windows: the volume
// serial number and the file ID). Links lead to their target's identity.
struct FolderIdentity {
    std::uint64_t volume = 0;
    std::uint64_t file = 0;
    bool operator==(const FolderIdentity&) const = default;
};

// One entry of a folder.
struct FolderEntry {
    FileNameView name;  // without its folder; valid until the reader's next call
    // The entry is a folder. A link to a folder counts as a folder, so that
    // following it lists the folder it points to.
    bool isDirectory = false;
};

// Reads the entries of one folder in the order in which the file system
// enumerates them, hidden entries included, "." and ".." left out. Each
// entry costs one step of the enumeration; the entry's type comes from the
// directory entry itself where the file system records it there.
class CFolderReader {
  public:
    CFolderReader();
    ~CFolderReader();
    CFolderReader(const CFolderReader&) = delete;
    CFolderReader& operator=(const CFolderReader&) = delete;

    // Opens the folder `folderPath`, or the entry `name` of the folder that
    // `parent` has open (a link is followed), and learns its identity.
    // FALSE with LastError() set when it cannot be enumerated (missing, not
    // a folder, no access).
    BOOL Open(const std::wstring& folderPath);
    BOOL OpenEntry(const CFolderReader& parent, FileNameView name);

    // The open folder's identity; false when the platform could not tell it.
    bool Identity(FolderIdentity* identity) const;

    // The next entry. FALSE at the end (LastError() ERROR_NO_MORE_FILES) or
    // when the enumeration breaks off (another code).
    BOOL Next(FolderEntry* entry);

  private:
    struct State;
    std::unique_ptr<State> m_pState;
};

// Whether the platform reads `c` as a separator of folder paths.
bool IsPathSeparator(wchar_t c);

// The last component of a path: the text after the last separator ("/" on
// POSIX, "\" and "/" on Windows). Trailing separators are not part of it, so
// a folder path written with one still yields the folder's name. A path made
// only of separators, or with none, is returned unchanged.
std::wstring LastPathComponent(const std::wstring& path);

// Joins a folder path and a name with exactly one separator between them.
std::wstring JoinPath(const std::wstring& folderPath, const std::wstring& name);

}  // namespace plat
