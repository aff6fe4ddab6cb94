// Windows folder enumeration: FindFirstFileW/FindNextFileW on "<folder>\*.*";
// the folder's identity from GetFileInformationByHandle on the folder itself.
#include <windows.h>

#include "platform/FolderEnum.h"

namespace plat {

namespace {

bool IsDotsName(const wchar_t* name) {
    return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

BOOL Fail(DWORD error) {
    ::SetLastError(error);
    return FALSE;
}

}  // namespace

struct CFolderReader::State {
    std::wstring path;
    HANDLE find = INVALID_HANDLE_VALUE;
    WIN32_FIND_DATAW data;
    bool pending = false;  // `data` holds the first entry, not yet handed out
    FolderIdentity identity;
    bool identityKnown = false;

    ~State() {
        if (find != INVALID_HANDLE_VALUE) ::FindClose(find);
    }

    BOOL Open() {
        if (path.empty()) return Fail(ERROR_PATH_NOT_FOUND);
        if (path.find(L'\0') != std::wstring::npos) return Fail(ERROR_INVALID_NAME);
        find = ::FindFirstFileW(JoinPath(path, L"*.*").c_str(), &data);
        if (find == INVALID_HANDLE_VALUE) {
            const DWORD error = ::GetLastError();
            // An existing folder with nothing to match (a drive root) is empty, not an error.
            const DWORD attributes = ::GetFileAttributesW(path.c_str());
            const bool isFolder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            if (error != ERROR_FILE_NOT_FOUND || !isFolder) return Fail(error);
        } else {
            pending = true;
        }
        // The folder itself (through any link or junction), opened only to be
        // identified: folders need the backup-semantics flag to be opened at all.
        HANDLE folder = ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (folder != INVALID_HANDLE_VALUE) {
            BY_HANDLE_FILE_INFORMATION info;
            if (::GetFileInformationByHandle(folder, &info)) {
                identity = {info.dwVolumeSerialNumber,
                            (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
                identityKnown = true;
            }
            ::CloseHandle(folder);
        }
        return TRUE;
    }
};

CFolderReader::CFolderReader() = default;
CFolderReader::~CFolderReader() = default;

BOOL CFolderReader::Open(const std::wstring& folderPath) {
    m_pState.reset();
    auto state = std::make_unique<State>();
    state->path = folderPath;
    if (!state->Open()) return FALSE;
    m_pState = std::move(state);
    return TRUE;
}

BOOL CFolderReader::OpenEntry(const CFolderReader& parent, FileNameView name) {
    m_pState.reset();
    if (!parent.m_pState) return Fail(ERROR_INVALID_HANDLE);
    if (name.empty()) return Fail(ERROR_INVALID_NAME);
    auto state = std::make_unique<State>();
    state->path = JoinPath(parent.m_pState->path, std::wstring(name));
    if (!state->Open()) return FALSE;
    m_pState = std::move(state);
    return TRUE;
}

bool CFolderReader::Identity(FolderIdentity* identity) const {
    if (!m_pState || !m_pState->identityKnown) return false;
    *identity = m_pState->identity;
    return true;
}

BOOL CFolderReader::Next(FolderEntry* entry) {
    if (!m_pState) return Fail(ERROR_INVALID_HANDLE);
    State& state = *m_pState;
    for (;;) {
        if (state.find == INVALID_HANDLE_VALUE) return Fail(ERROR_NO_MORE_FILES);
        if (!state.pending && !::FindNextFileW(state.find, &state.data)) {
            const DWORD error = ::GetLastError();
            ::FindClose(state.find);
            state.find = INVALID_HANDLE_VALUE;
            return Fail(error);
        }
        state.pending = false;
        if (IsDotsName(state.data.cFileName)) continue;
        entry->name = FileNameView(state.data.cFileName);
        // Junctions and folder symbolic links carry the directory attribute too.
        entry->isDirectory = (state.data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        return TRUE;
    }
}

bool IsPathSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

}  // namespace plat
