// Windows append: open share-read only (other writers are refused), seek to the end, write, close.
#include <windows.h>

#include "platform/AppendFile.h"

namespace plat {

BOOL AppendToFile(const std::wstring& path, std::string_view bytes, DWORD* error) {
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        if (error) *error = ::GetLastError();
        return FALSE;
    }
    LARGE_INTEGER zero{};
    BOOL ok = ::SetFilePointerEx(file, zero, nullptr, FILE_END);
    DWORD written = 0;
    if (ok) ok = ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                 written == bytes.size();
    if (!ok && error) *error = ::GetLastError();
    ::CloseHandle(file);
    return ok;
}

}  // namespace plat
