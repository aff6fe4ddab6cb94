// The registry below HKEY_LOCAL_MACHINE: keys, typed values, and the Win32
// rules the service framework relies on.
//
// Windows: the system's registry (RegOpenKeyExW, RegCreateKeyExW ...), one to one.
// POSIX: a registry of our own with the same contract, kept in one file per
// root key inside one folder (RegistryRootFolder): every change rewrites that
// file through a temporary file, fsync and rename under an exclusive lock on
// a lock file, so a writer killed at any moment leaves the old contents or
// the new ones, and writers in several processes are serialised. A new folder
// holds what a fresh Windows system offers the program:
// SYSTEM\CurrentControlSet\Services\EventLog\Application with an empty
// "Sources" list (REG_MULTI_SZ).
//
// The contract on both platforms:
// - key and value names compare without regard to letter case and keep the
//   case they were created with; "\" separates the keys of a path;
// - values keep their type number (any number, stored as given) and their
//   bytes exactly; string data is UTF-16LE (see RegistryStringBytes);
// - results are Win32 status codes: 0 (ERROR_SUCCESS), 2 for a missing key
//   or value, 5 for a write through a key opened for reading or for the
//   deletion of a key that has sub-keys, 234 (ERROR_MORE_DATA) for a buffer
//   that is too small, 1018 (ERROR_KEY_DELETED) for a key deleted while open;
//   the POSIX registry also gives 1015 (ERROR_REGISTRY_CORRUPT) for a file it
//   cannot read, which it never overwrites.
// Value types, access masks and the registry's error codes are named in
// RegistryCodes.h.
//
// Safe to include together with <windows.h>.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Types.h"

namespace plat {

// An open key (an HKEY on Windows). Null is never a valid key.
typedef void* RegistryKey;

// The predefined root HKEY_LOCAL_MACHINE; closing it does nothing.
RegistryKey LocalMachineKey();

// Opens the existing key `subKey` below `parent` (null or empty: `parent`
// itself, as a new key) with the access mask `access` (KEY_READ,
// KEY_READ | KEY_WRITE ...). On failure `*key` is null.
LONG RegistryOpenKey(RegistryKey parent, const wchar_t* subKey, DWORD access, RegistryKey* key);

// Opens `subKey`, creating it and every missing key on its path first
// (non-volatile). `created`, when given, tells whether the last key was new.
LONG RegistryCreateKey(RegistryKey parent, const wchar_t* subKey, DWORD access, RegistryKey* key,
                       bool* created = nullptr);

// Stores `size` bytes of `data` as the value `name` (null: the key's default
// value) with the type `type`, replacing a value of that name.
LONG RegistrySetValue(RegistryKey key, const wchar_t* name, DWORD type, const void* data, DWORD size);

// Reads the value `name`: its type into `*type` and its size into `*size`
// (each when given); with `data`, `*size` is the buffer's size on entry and
// the bytes are copied when they fit, otherwise the result is 234 and
// `*size` the size needed.
LONG RegistryQueryValue(RegistryKey key, const wchar_t* name, DWORD* type, void* data, DWORD* size);

LONG RegistryDeleteValue(RegistryKey key, const wchar_t* name);

// Deletes the key `subKey` below `parent`; fails with 5 while it has sub-keys.
LONG RegistryDeleteKey(RegistryKey parent, const wchar_t* subKey);

// The name of the sub-key number `index` (from 0); 259 (ERROR_NO_MORE_ITEMS) past the last.
LONG RegistryEnumKeyName(RegistryKey key, DWORD index, std::wstring* name);

// Makes the changes written so far durable on disk.
LONG RegistryFlushKey(RegistryKey key);

LONG RegistryCloseKey(RegistryKey key);

// Closes its key when it goes out of scope.
class RegistryKeyOwner {
  public:
    RegistryKeyOwner() = default;
    explicit RegistryKeyOwner(RegistryKey key) : m_hKey(key) {}
    ~RegistryKeyOwner() { Close(); }
    RegistryKeyOwner(const RegistryKeyOwner&) = delete;
    RegistryKeyOwner& operator=(const RegistryKeyOwner&) = delete;

    RegistryKey Get() const { return m_hKey; }
    // For the open and create calls: the key's slot, emptied first.
    RegistryKey* Receive() {
        Close();
        return &m_hKey;
    }
    RegistryKey Release() {
        RegistryKey key = m_hKey;
        m_hKey = nullptr;
        return key;
    }
    void Close() {
        if (m_hKey != nullptr) RegistryCloseKey(m_hKey);
        m_hKey = nullptr;
    }

  private:
    RegistryKey m_hKey = nullptr;
};

// String data as the registry keeps it on every platform: UTF-16LE, two bytes
// per unit, without a terminator (append two zero bytes for one).
std::vector<std::uint8_t> RegistryStringBytes(std::wstring_view text);
// The text of UTF-16LE data, all of it (NUL units included); an odd last
// byte is ignored. Unpaired surrogates become U+FFFD where wide text is UTF-32.
std::wstring RegistryStringFromBytes(const std::uint8_t* data, std::size_t size);

// POSIX: the folder that holds the registry, the value of the environment
// variable VELMORA_REGISTRY_ROOT when it is set and not empty, otherwise
// /var/lib/velmora/registry. Windows: empty (the system's registry).
std::wstring RegistryRootFolder();
// Moves the registry of this process and of the processes it starts to
// `folder` by setting VELMORA_REGISTRY_ROOT (empty: back to the default).
// Changes the environment, so call it while no other thread uses the registry.
// FALSE with ERROR_NOT_SUPPORTED on Windows, where the registry is the system's.
BOOL SetRegistryRootFolder(const std::wstring& folder);

}  // namespace plat
