// POSIX registry: open keys over the file-backed tree of RegistryFile.h, with
// the Win32 registry's results.
#include "platform/Registry.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_set>

#include "common/Utf8.h"
#include "platform/Handles.h"
#include "platform/RegistryCodes.h"
#include "platform/Win32Codes.h"
#include "platform/posix/registry/RegistryFile.h"

namespace plat {
namespace {

using posix::RegistryHive;
using posix::RegistryNode;

// An open key names its key by id: a key deleted while open is gone for good,
// even when another of the same name is created later.
struct OpenKey {
    std::uint64_t id = 0;
    DWORD access = 0;
};

OpenKey g_localMachine{RegistryHive::kRootId, KEY_ALL_ACCESS};

std::mutex g_openKeysMutex;
std::unordered_set<const OpenKey*> g_openKeys;

// Copies what the handle names; false for something that is no open key.
bool Resolve(RegistryKey key, OpenKey* out) {
    if (key == &g_localMachine) {
        *out = g_localMachine;
        return true;
    }
    std::lock_guard lock(g_openKeysMutex);
    const auto found = g_openKeys.find(static_cast<const OpenKey*>(key));
    if (found == g_openKeys.end()) return false;
    *out = **found;
    return true;
}

RegistryKey NewKey(std::uint64_t id, DWORD access) {
    auto* key = new OpenKey{id, access};
    std::lock_guard lock(g_openKeysMutex);
    g_openKeys.insert(key);
    return key;
}

std::wstring NameOf(const wchar_t* name) { return name ? std::wstring(name) : std::wstring(); }

// Runs `change` on the current tree under the write lock and saves the tree
// when `change` reports a change.
template <typename Change>
LONG ChangeHive(Change&& change) {
    posix::RegistryWriteLock lock;
    if (const LONG status = lock.Acquire(); status != ERROR_SUCCESS) return status;
    RegistryHive hive;
    if (const LONG status = posix::LoadRegistryHive(&hive); status != ERROR_SUCCESS) return status;
    bool changed = false;
    const LONG status = change(hive, changed);
    if (status != ERROR_SUCCESS || !changed) return status;
    return posix::SaveRegistryHive(hive);
}

// The key at `parts` below `from`, or null where the path ends early.
RegistryNode* Walk(RegistryHive& hive, RegistryNode& from, const std::vector<std::wstring>& parts) {
    RegistryNode* node = &from;
    for (const std::wstring& part : parts) {
        node = hive.FindChild(*node, part);
        if (node == nullptr) return nullptr;
    }
    return node;
}

}  // namespace

RegistryKey LocalMachineKey() { return &g_localMachine; }

LONG RegistryOpenKey(RegistryKey parent, const wchar_t* subKey, DWORD access, RegistryKey* key) {
    if (key == nullptr) return ERROR_INVALID_PARAMETER;
    *key = nullptr;
    OpenKey from;
    if (!Resolve(parent, &from)) return ERROR_INVALID_HANDLE;
    std::vector<std::wstring> parts;
    if (!posix::SplitRegistryPath(subKey, &parts)) return ERROR_BAD_PATHNAME;
    RegistryHive hive;
    if (const LONG status = posix::LoadRegistryHive(&hive); status != ERROR_SUCCESS) return status;
    RegistryNode* start = hive.Find(from.id);
    if (start == nullptr) return ERROR_KEY_DELETED;
    RegistryNode* node = Walk(hive, *start, parts);
    if (node == nullptr) return ERROR_FILE_NOT_FOUND;
    *key = NewKey(node->id, access);
    return ERROR_SUCCESS;
}

LONG RegistryCreateKey(RegistryKey parent, const wchar_t* subKey, DWORD access, RegistryKey* key, bool* created) {
    if (key == nullptr) return ERROR_INVALID_PARAMETER;
    *key = nullptr;
    if (created) *created = false;
    OpenKey from;
    if (!Resolve(parent, &from)) return ERROR_INVALID_HANDLE;
    std::vector<std::wstring> parts;
    if (!posix::SplitRegistryPath(subKey, &parts)) return ERROR_BAD_PATHNAME;

    // Opening an existing key needs no lock and writes nothing.
    if (const LONG opened = RegistryOpenKey(parent, subKey, access, key); opened != ERROR_FILE_NOT_FOUND) return opened;

    std::uint64_t id = 0;
    bool lastIsNew = false;
    const LONG status = ChangeHive([&](RegistryHive& hive, bool& changed) -> LONG {
        RegistryNode* node = hive.Find(from.id);
        if (node == nullptr) return ERROR_KEY_DELETED;
        for (const std::wstring& part : parts) {
            RegistryNode* child = hive.FindChild(*node, part);
            lastIsNew = child == nullptr;
            if (child == nullptr) {
                child = &hive.AddChild(*node, part);
                changed = true;
            }
            node = child;
        }
        id = node->id;
        return ERROR_SUCCESS;
    });
    if (status != ERROR_SUCCESS) return status;
    if (created) *created = lastIsNew;
    *key = NewKey(id, access);
    return ERROR_SUCCESS;
}

LONG RegistrySetValue(RegistryKey key, const wchar_t* name, DWORD type, const void* data, DWORD size) {
    OpenKey target;
    if (!Resolve(key, &target)) return ERROR_INVALID_HANDLE;
    if ((target.access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
    if (data == nullptr && size != 0) return ERROR_NOACCESS;
    std::vector<std::uint8_t> bytes(size);
    if (size != 0) std::memcpy(bytes.data(), data, size);
    return ChangeHive([&](RegistryHive& hive, bool& changed) -> LONG {
        RegistryNode* node = hive.Find(target.id);
        if (node == nullptr) return ERROR_KEY_DELETED;
        RegistryHive::SetValue(*node, NameOf(name), type, std::move(bytes));
        changed = true;
        return ERROR_SUCCESS;
    });
}

LONG RegistryQueryValue(RegistryKey key, const wchar_t* name, DWORD* type, void* data, DWORD* size) {
    OpenKey target;
    if (!Resolve(key, &target)) return ERROR_INVALID_HANDLE;
    if ((target.access & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;
    if (data != nullptr && size == nullptr) return ERROR_INVALID_PARAMETER;
    RegistryHive hive;
    if (const LONG status = posix::LoadRegistryHive(&hive); status != ERROR_SUCCESS) return status;
    RegistryNode* node = hive.Find(target.id);
    if (node == nullptr) return ERROR_KEY_DELETED;
    const posix::RegistryValue* value = RegistryHive::FindValue(*node, NameOf(name));
    if (value == nullptr) return ERROR_FILE_NOT_FOUND;
    if (type) *type = value->type;
    const auto needed = static_cast<DWORD>(value->data.size());
    if (data != nullptr) {
        if (*size < needed) {
            *size = needed;
            return ERROR_MORE_DATA;
        }
        if (needed != 0) std::memcpy(data, value->data.data(), needed);
    }
    if (size) *size = needed;
    return ERROR_SUCCESS;
}

LONG RegistryDeleteValue(RegistryKey key, const wchar_t* name) {
    OpenKey target;
    if (!Resolve(key, &target)) return ERROR_INVALID_HANDLE;
    if ((target.access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
    return ChangeHive([&](RegistryHive& hive, bool& changed) -> LONG {
        RegistryNode* node = hive.Find(target.id);
        if (node == nullptr) return ERROR_KEY_DELETED;
        if (!RegistryHive::DeleteValue(*node, NameOf(name))) return ERROR_FILE_NOT_FOUND;
        changed = true;
        return ERROR_SUCCESS;
    });
}

LONG RegistryDeleteKey(RegistryKey parent, const wchar_t* subKey) {
    OpenKey from;
    if (!Resolve(parent, &from)) return ERROR_INVALID_HANDLE;
    if (subKey == nullptr) return ERROR_INVALID_PARAMETER;
    std::vector<std::wstring> parts;
    if (!posix::SplitRegistryPath(subKey, &parts)) return ERROR_BAD_PATHNAME;
    return ChangeHive([&](RegistryHive& hive, bool& changed) -> LONG {
        RegistryNode* start = hive.Find(from.id);
        if (start == nullptr) return ERROR_KEY_DELETED;
        RegistryNode* node = Walk(hive, *start, parts);
        if (node == nullptr) return ERROR_FILE_NOT_FOUND;
        // As on Windows: the root cannot go, nor a key that still has sub-keys.
        if (node->parent == nullptr || !node->children.empty()) return ERROR_ACCESS_DENIED;
        hive.RemoveChild(*node->parent, node);
        changed = true;
        return ERROR_SUCCESS;
    });
}

LONG RegistryEnumKeyName(RegistryKey key, DWORD index, std::wstring* name) {
    OpenKey target;
    if (!Resolve(key, &target)) return ERROR_INVALID_HANDLE;
    if ((target.access & KEY_ENUMERATE_SUB_KEYS) == 0) return ERROR_ACCESS_DENIED;
    if (name == nullptr) return ERROR_INVALID_PARAMETER;
    RegistryHive hive;
    if (const LONG status = posix::LoadRegistryHive(&hive); status != ERROR_SUCCESS) return status;
    RegistryNode* node = hive.Find(target.id);
    if (node == nullptr) return ERROR_KEY_DELETED;
    if (index >= node->children.size()) return ERROR_NO_MORE_ITEMS;
    *name = node->children[index]->name;
    return ERROR_SUCCESS;
}

LONG RegistryFlushKey(RegistryKey key) {
    OpenKey target;
    if (!Resolve(key, &target)) return ERROR_INVALID_HANDLE;
    return posix::SyncRegistryFolder();
}

LONG RegistryCloseKey(RegistryKey key) {
    if (key == &g_localMachine) return ERROR_SUCCESS;
    OpenKey* open = static_cast<OpenKey*>(key);
    {
        std::lock_guard lock(g_openKeysMutex);
        if (g_openKeys.erase(open) == 0) return ERROR_INVALID_HANDLE;
    }
    delete open;
    return ERROR_SUCCESS;
}

std::wstring RegistryRootFolder() { return Utf8ToWideLossy(posix::RegistryFolderPath()); }

BOOL SetRegistryRootFolder(const std::wstring& folder) {
    const int rc = folder.empty() ? ::unsetenv("VELMORA_REGISTRY_ROOT")
                                  : ::setenv("VELMORA_REGISTRY_ROOT", WideToUtf8(folder).c_str(), 1);
    if (rc != 0) {
        SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

}  // namespace plat
