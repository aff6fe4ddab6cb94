// Windows disk files for reading: regular files only, shared for reading and never for writing.
#include <windows.h>

#include "platform/File.h"
#include "platform/win32/DeviceNames.h"

namespace {

BOOL Fail(DWORD code, DWORD* error) {
    if (error) *error = code;
    return FALSE;
}

// True for a name the system would take as a device (CON, NUL, COM1, LPT1.txt,
// "nul  ", ...) and for the device and raw namespaces (\\.\, \\?\, \??\).
bool NamesDevice(const std::wstring& path) {
    if (path.rfind(L"\\\\.\\", 0) == 0 || path.rfind(L"\\\\?\\", 0) == 0 || path.rfind(L"\\??\\", 0) == 0 ||
        path.rfind(L"//./", 0) == 0 || path.rfind(L"//?/", 0) == 0)
        return true;
    const std::size_t slash = path.find_last_of(L"\\/:");
    return plat::win32::IsReservedDeviceName(slash == std::wstring::npos ? path : path.substr(slash + 1));
}

}  // namespace

CDiskFile::~CDiskFile() { Close(); }

BOOL CDiskFile::Open(const std::wstring& path, DWORD* error) {
    Close();
    if (path.empty() || path.find(L'\0') != std::wstring::npos) return Fail(ERROR_INVALID_NAME, error);
    if (NamesDevice(path)) return Fail(ERROR_ACCESS_DENIED, error);
    // Share-read only: readers may join, writers are refused while the file is
    // open, and the open fails while another process has it open for writing.
    // The quality-of-service flags keep a named pipe server from impersonating us.
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN | SECURITY_SQOS_PRESENT |
                                    SECURITY_ANONYMOUS,
                                nullptr);
    if (file == INVALID_HANDLE_VALUE) return Fail(::GetLastError(), error);
    BY_HANDLE_FILE_INFORMATION information{};
    if (::GetFileType(file) != FILE_TYPE_DISK || !::GetFileInformationByHandle(file, &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        ::CloseHandle(file);
        return Fail(ERROR_ACCESS_DENIED, error);
    }
    m_hFile = reinterpret_cast<std::intptr_t>(file);
    m_nLengthAtOpen = (static_cast<ULONGLONG>(information.nFileSizeHigh) << 32) | information.nFileSizeLow;
    m_strPath = path;
    m_dwError = 0;
    if (error) *error = NO_ERROR;
    return TRUE;
}

bool CDiskFile::IsOpen() const { return m_hFile != -1; }

UINT CDiskFile::Read(void* buffer, UINT count) {
    m_dwError = 0;
    if (m_hFile == -1) {
        m_dwError = ERROR_INVALID_HANDLE;
        return 0;
    }
    char* bytes = static_cast<char*>(buffer);
    UINT total = 0;
    while (total < count) {
        DWORD got = 0;
        if (!::ReadFile(reinterpret_cast<HANDLE>(m_hFile), bytes + total, count - total, &got, nullptr)) {
            const DWORD failure = ::GetLastError();
            if (failure != ERROR_HANDLE_EOF) m_dwError = failure;
            break;
        }
        if (got == 0) break;
        total += got;
    }
    return total;
}

ULONGLONG CDiskFile::Seek(LONGLONG offset, UINT from) {
    if (m_hFile == -1) return 0;
    const DWORD method = from == begin ? FILE_BEGIN : from == current ? FILE_CURRENT : FILE_END;
    LARGE_INTEGER distance;
    distance.QuadPart = offset;
    LARGE_INTEGER position{};
    if (!::SetFilePointerEx(reinterpret_cast<HANDLE>(m_hFile), distance, &position, method)) {
        distance.QuadPart = 0;
        if (!::SetFilePointerEx(reinterpret_cast<HANDLE>(m_hFile), distance, &position, FILE_CURRENT)) return 0;
    }
    return static_cast<ULONGLONG>(position.QuadPart);
}

ULONGLONG CDiskFile::GetLength() const {
    LARGE_INTEGER size{};
    if (m_hFile == -1 || !::GetFileSizeEx(reinterpret_cast<HANDLE>(m_hFile), &size)) return 0;
    return static_cast<ULONGLONG>(size.QuadPart);
}

std::wstring CDiskFile::GetFileName() const {
    const std::size_t separator = m_strPath.find_last_of(L"\\/:");
    return separator == std::wstring::npos ? m_strPath : m_strPath.substr(separator + 1);
}

void CDiskFile::AppendFileName(std::wstring& out) const {
    const std::size_t separator = m_strPath.find_last_of(L"\\/:");
    out.append(m_strPath, separator == std::wstring::npos ? 0 : separator + 1);
}

void CDiskFile::Close() {
    if (m_hFile == -1) return;
    ::CloseHandle(reinterpret_cast<HANDLE>(m_hFile));
    m_hFile = -1;
}

// Windows keeps no change time that programs cannot set through the usual
// calls, so no stamp is offered: callers open the file every time.
bool CDiskFile::GetStamp(FileStamp& /*stamp*/) const { return false; }

namespace plat {
bool QueryRegularFileStamp(const std::wstring& /*path*/, FileStamp& /*stamp*/) { return false; }
}  // namespace plat
