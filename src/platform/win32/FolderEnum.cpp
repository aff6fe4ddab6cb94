// Windows folder enumeration: FindFirstFileW/FindNextFileW on "<folder>\*.*".
#include <windows.h>

#include "platform/FolderEnum.h"

namespace plat {

namespace {

bool IsDotsName(const wchar_t* name) {
    return (name[0] == L'.' && name[1] == L'\0') || (name[0] == L'.' && name[1] == L'.' && name[2] == L'\0');
}

}  // namespace

BOOL EnumerateFolder(const std::wstring& folderPath, std::vector<FolderEntry>* entries) {
    // Collected apart and handed over at the end, so that `folderPath` may
    // belong to one of the entries being replaced.
    std::vector<FolderEntry> found;
    auto fail = [&](DWORD error) {
        entries->clear();
        ::SetLastError(error);
        return FALSE;
    };
    if (folderPath.empty()) return fail(ERROR_PATH_NOT_FOUND);
    if (folderPath.find(L'\0') != std::wstring::npos) return fail(ERROR_INVALID_NAME);
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW(JoinPath(folderPath, L"*.*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        // An existing folder with nothing to match (a drive root) is empty, not an error.
        const DWORD attributes = ::GetFileAttributesW(folderPath.c_str());
        const bool isFolder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (error != ERROR_FILE_NOT_FOUND || !isFolder) return fail(error);
        entries->clear();
        return TRUE;
    }
    do {
        FolderEntry item;
        item.name = data.cFileName;
        item.fullPath = JoinPath(folderPath, item.name);
        item.isDots = IsDotsName(data.cFileName);
        // Junctions and folder symbolic links carry the directory attribute too.
        item.isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        found.push_back(std::move(item));
    } while (::FindNextFileW(find, &data));
    const DWORD error = ::GetLastError();
    ::FindClose(find);
    if (error != ERROR_NO_MORE_FILES) return fail(error);
    *entries = std::move(found);
    return TRUE;
}

bool IsPathSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

}  // namespace plat
