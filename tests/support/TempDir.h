// A unique temporary folder for one test, removed with its whole tree when
// the object goes out of scope.
//
//   CTempDir dir;                          // <system temp>/velmora-test-<pid>-<n>-<random>
//   ASSERT_TRUE(dir.IsValid());
//   dir.MakeFolder(L"a/b");                // "/" works on every platform; parents are made
//   dir.MakeFile(L"a/b/c.bin", "bytes");   // parents are made too
//   dir.MakeFolderLink(L"a/up", dir.Path());  // may fail where links need a privilege
//   std::wstring full = dir.PathOf(L"a/b/c.bin");
//
// Links made with MakeFolderLink are removed first, as links, so that the
// removal never follows them out of the tree.
#pragma once

#include <string>
#include <string_view>
#include <vector>

class CTempDir {
  public:
    CTempDir();
    ~CTempDir();
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;

    // Whether the folder was created (all other calls fail when it was not).
    bool IsValid() const { return !m_strPath.empty(); }
    // Full path of the folder, without a trailing separator.
    const std::wstring& Path() const { return m_strPath; }
    // Full path of `relative` below the folder; "/" and the platform's own
    // separator both separate components, and come out as the platform's own.
    std::wstring PathOf(const std::wstring& relative) const;

    // Creates the folder `relative` and any missing parents. True when it exists afterwards.
    bool MakeFolder(const std::wstring& relative) const;
    // Creates (or replaces) the file `relative` holding exactly `bytes`, making missing parents.
    bool MakeFile(const std::wstring& relative, std::string_view bytes = {}) const;
    // Creates at `relative` a link to the folder `targetPath` (taken as given:
    // pass a full path). False when the platform refuses, e.g. Windows without
    // the symbolic-link privilege.
    bool MakeFolderLink(const std::wstring& relative, const std::wstring& targetPath);

  private:
    std::wstring m_strPath;
    std::vector<std::wstring> m_lstLinks;
};
