// A registry for one test: a private registry folder on POSIX, listed keys
// removed from the system's registry on Windows.
#include "support/RegistrySandbox.h"

#include <atomic>
#include <cstdlib>

#include "common/Utf8.h"
#include "platform/Handles.h"
#include "platform/RegistryCodes.h"
#include "platform/Win32Codes.h"

namespace {
std::atomic<unsigned> g_nextName{0};
}

CRegistrySandbox::CRegistrySandbox() {
    if (const char* previous = std::getenv("VELMORA_REGISTRY_ROOT")) {
        m_bHadRoot = true;
        m_strPreviousRoot = Utf8ToWideLossy(previous);
    }
    auto folder = std::make_unique<CTempDir>();
    if (folder->IsValid() && plat::SetRegistryRootFolder(folder->Path())) m_pFolder = std::move(folder);
}

CRegistrySandbox::~CRegistrySandbox() {
    for (auto key = m_lstRemove.rbegin(); key != m_lstRemove.rend(); ++key)
        DeleteRegistryTree(plat::LocalMachineKey(), *key);
    if (m_pFolder) plat::SetRegistryRootFolder(m_bHadRoot ? m_strPreviousRoot : std::wstring());
}

std::wstring CRegistrySandbox::UniqueName(const std::wstring& prefix) const {
    return prefix + std::to_wstring(plat::CurrentProcessId()) + L"-" + std::to_wstring(g_nextName.fetch_add(1));
}

LONG DeleteRegistryTree(plat::RegistryKey parent, const std::wstring& subKey) {
    {
        plat::RegistryKeyOwner key;
        LONG status = plat::RegistryOpenKey(parent, subKey.c_str(), KEY_READ, key.Receive());
        if (status != ERROR_SUCCESS) return status;
        std::wstring child;
        while (plat::RegistryEnumKeyName(key.Get(), 0, &child) == ERROR_SUCCESS) {
            status = DeleteRegistryTree(key.Get(), child);
            if (status != ERROR_SUCCESS) return status;
        }
    }
    return plat::RegistryDeleteKey(parent, subKey.c_str());
}
