// A registry for one test.
//
//   CRegistrySandbox registry;                     // POSIX: a new, empty registry folder
//   const std::wstring name = registry.UniqueName(L"VelmoraTest");
//   registry.RemoveAtEnd(L"SOFTWARE\\" + name);     // removed with its sub-keys at the end
//
// On POSIX the registry of the process (and of the processes it starts) is
// moved to a temporary folder for the lifetime of the object, so every test
// starts from a new registry. On Windows the test works in the system's
// registry (under Wine: the test prefix's), so it uses unique names and lists
// the keys it makes for removal; the same lists run on POSIX too.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/Registry.h"
#include "support/TempDir.h"

class CRegistrySandbox {
  public:
    CRegistrySandbox();
    ~CRegistrySandbox();
    CRegistrySandbox(const CRegistrySandbox&) = delete;
    CRegistrySandbox& operator=(const CRegistrySandbox&) = delete;

    // True when the registry is a new one of this test (POSIX).
    bool IsPrivate() const { return m_pFolder != nullptr; }
    // The registry folder while it is private.
    std::wstring Folder() const { return m_pFolder ? m_pFolder->Path() : std::wstring(); }
    // `prefix`, the process id and a counter: unique within the machine's registry.
    std::wstring UniqueName(const std::wstring& prefix) const;
    // Deletes the key below HKEY_LOCAL_MACHINE, with all its sub-keys, when the sandbox ends.
    void RemoveAtEnd(const std::wstring& keyPath) { m_lstRemove.push_back(keyPath); }

  private:
    std::unique_ptr<CTempDir> m_pFolder;
    std::wstring m_strPreviousRoot;
    bool m_bHadRoot = false;
    std::vector<std::wstring> m_lstRemove;
};

// Deletes `subKey` below `parent` and everything below it; 0 on success.
LONG DeleteRegistryTree(plat::RegistryKey parent, const std::wstring& subKey);
