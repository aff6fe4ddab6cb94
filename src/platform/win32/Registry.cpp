// Windows registry: the system's own calls, one to one.
#include <windows.h>

#include "platform/Registry.h"

namespace plat {
namespace {

HKEY AsKey(RegistryKey key) { return static_cast<HKEY>(key); }

}  // namespace

RegistryKey LocalMachineKey() { return HKEY_LOCAL_MACHINE; }

LONG RegistryOpenKey(RegistryKey parent, const wchar_t* subKey, DWORD access, RegistryKey* key) {
    if (key == nullptr) return ERROR_INVALID_PARAMETER;
    HKEY opened = nullptr;
    const LONG status = ::RegOpenKeyExW(AsKey(parent), subKey, 0, access, &opened);
    *key = status == ERROR_SUCCESS ? opened : nullptr;
    return status;
}

LONG RegistryCreateKey(RegistryKey parent, const wchar_t* subKey, DWORD access, RegistryKey* key, bool* created) {
    if (key == nullptr) return ERROR_INVALID_PARAMETER;
    HKEY opened = nullptr;
    DWORD disposition = 0;
    const LONG status = ::RegCreateKeyExW(AsKey(parent), subKey ? subKey : L"", 0, nullptr, REG_OPTION_NON_VOLATILE,
                                          access, nullptr, &opened, &disposition);
    *key = status == ERROR_SUCCESS ? opened : nullptr;
    if (created) *created = status == ERROR_SUCCESS && disposition == REG_CREATED_NEW_KEY;
    return status;
}

LONG RegistrySetValue(RegistryKey key, const wchar_t* name, DWORD type, const void* data, DWORD size) {
    return ::RegSetValueExW(AsKey(key), name, 0, type, static_cast<const BYTE*>(data), size);
}

LONG RegistryQueryValue(RegistryKey key, const wchar_t* name, DWORD* type, void* data, DWORD* size) {
    return ::RegQueryValueExW(AsKey(key), name, nullptr, type, static_cast<BYTE*>(data), size);
}

LONG RegistryDeleteValue(RegistryKey key, const wchar_t* name) { return ::RegDeleteValueW(AsKey(key), name); }

LONG RegistryDeleteKey(RegistryKey parent, const wchar_t* subKey) {
    if (subKey == nullptr) return ERROR_INVALID_PARAMETER;
    return ::RegDeleteKeyW(AsKey(parent), subKey);
}

LONG RegistryEnumKeyName(RegistryKey key, DWORD index, std::wstring* name) {
    if (name == nullptr) return ERROR_INVALID_PARAMETER;
    wchar_t buffer[256];  // key names have at most 255 characters
    DWORD length = 256;
    const LONG status = ::RegEnumKeyExW(AsKey(key), index, buffer, &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_SUCCESS) name->assign(buffer, length);
    return status;
}

LONG RegistryFlushKey(RegistryKey key) { return ::RegFlushKey(AsKey(key)); }

LONG RegistryCloseKey(RegistryKey key) {
    if (key == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
    return ::RegCloseKey(AsKey(key));
}

std::wstring RegistryRootFolder() { return std::wstring(); }

BOOL SetRegistryRootFolder(const std::wstring&) {
    ::SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

}  // namespace plat
