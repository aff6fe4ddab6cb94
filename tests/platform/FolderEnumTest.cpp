// Folder enumeration, folder identity and last path components on this platform.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "platform/FolderEnum.h"
#include "platform/Handles.h"
#include "support/TempDir.h"

namespace {

// The entries of an open folder as "name" or "name/" (a folder), sorted;
// the names used here are ASCII.
std::vector<std::wstring> ReadAll(plat::CFolderReader& reader) {
    std::vector<std::wstring> names;
    for (plat::FolderEntry entry; reader.Next(&entry);)
        names.push_back(std::wstring(entry.name.begin(), entry.name.end()) + (entry.isDirectory ? L"/" : L""));
    std::sort(names.begin(), names.end());
    return names;
}

plat::FolderIdentity IdentityOf(const std::wstring& path) {
    plat::CFolderReader reader;
    plat::FolderIdentity identity;
    EXPECT_TRUE(reader.Open(path)) << plat::LastError();
    EXPECT_TRUE(reader.Identity(&identity));
    return identity;
}

plat::FileNameString Native(std::wstring_view ascii) { return plat::FileNameString(ascii.begin(), ascii.end()); }

}  // namespace

TEST(FolderEnum, ReportsNamesAndFoldersWithoutDots) {
    CTempDir dir;
    ASSERT_TRUE(dir.MakeFile(L"P/file.txt", "x"));
    ASSERT_TRUE(dir.MakeFile(L"P/.hidden"));
    ASSERT_TRUE(dir.MakeFolder(L"P/sub"));
    const std::vector<std::wstring> expected{L".hidden", L"file.txt", L"sub/"};
    for (const wchar_t* path : {L"P", L"P/"}) {
        plat::CFolderReader reader;
        ASSERT_TRUE(reader.Open(dir.PathOf(path)));
        EXPECT_EQ(ReadAll(reader), expected) << path;
        plat::FolderEntry entry;
        EXPECT_FALSE(reader.Next(&entry));
        EXPECT_EQ(plat::LastError(), 18u);  // ERROR_NO_MORE_FILES
    }
    // An entry opened through its folder.
    plat::CFolderReader parent, child;
    ASSERT_TRUE(parent.Open(dir.PathOf(L"P")));
    ASSERT_TRUE(child.OpenEntry(parent, Native(L"sub")));
    EXPECT_TRUE(ReadAll(child).empty());
    EXPECT_FALSE(child.OpenEntry(parent, Native(L"file.txt")));
    EXPECT_FALSE(child.OpenEntry(parent, Native(L"missing")));
}

TEST(FolderEnum, FailsWithAnErrorForMissingFoldersAndFiles) {
    CTempDir dir;
    ASSERT_TRUE(dir.MakeFile(L"file.txt", "x"));
    plat::CFolderReader reader;
    plat::FolderEntry entry;
    for (const std::wstring& path : {dir.PathOf(L"missing"), dir.PathOf(L"file.txt"), std::wstring()}) {
        plat::SetLastErrorCode(0);
        EXPECT_FALSE(reader.Open(path));
        EXPECT_NE(plat::LastError(), 0u);
        EXPECT_FALSE(reader.Next(&entry));
        plat::FolderIdentity identity;
        EXPECT_FALSE(reader.Identity(&identity));
    }
}

TEST(FolderEnum, IdentityTellsFoldersApart) {
    CTempDir dir;
    ASSERT_TRUE(dir.MakeFolder(L"P/sub"));
    ASSERT_TRUE(dir.MakeFolder(L"P/other"));
    const plat::FolderIdentity folder = IdentityOf(dir.PathOf(L"P"));
    EXPECT_EQ(IdentityOf(dir.PathOf(L"P/.")), folder);
    EXPECT_EQ(IdentityOf(dir.PathOf(L"P/sub/..")), folder);
    EXPECT_NE(IdentityOf(dir.PathOf(L"P/sub")), folder);
    EXPECT_NE(IdentityOf(dir.PathOf(L"P/sub")), IdentityOf(dir.PathOf(L"P/other")));

    plat::CFolderReader parent, child;
    ASSERT_TRUE(parent.Open(dir.PathOf(L"P")));
    ASSERT_TRUE(child.OpenEntry(parent, Native(L"sub")));
    plat::FolderIdentity sub;
    ASSERT_TRUE(child.Identity(&sub));
    EXPECT_EQ(sub, IdentityOf(dir.PathOf(L"P/sub")));
}

TEST(FolderEnum, FolderLinksCountAsFoldersAndLeadToTheirTarget) {
    CTempDir dir;
    ASSERT_TRUE(dir.MakeFile(L"target/inside.txt"));
    ASSERT_TRUE(dir.MakeFolder(L"P"));
    if (!dir.MakeFolderLink(L"P/link", dir.PathOf(L"target")))
        GTEST_SKIP() << "folder links cannot be created here (error " << plat::LastError()
                     << "): Windows needs the symbolic-link privilege or developer mode, and Wine does not create them";
    plat::CFolderReader parent, child;
    ASSERT_TRUE(parent.Open(dir.PathOf(L"P")));
    EXPECT_EQ(ReadAll(parent), std::vector<std::wstring>{L"link/"});
    ASSERT_TRUE(parent.Open(dir.PathOf(L"P")));
    ASSERT_TRUE(child.OpenEntry(parent, Native(L"link")));
    EXPECT_EQ(ReadAll(child), std::vector<std::wstring>{L"inside.txt"});
    plat::FolderIdentity identity;
    ASSERT_TRUE(child.Identity(&identity));
    EXPECT_EQ(identity, IdentityOf(dir.PathOf(L"target")));
}

TEST(FolderEnum, LastComponentIgnoresTrailingSeparators) {
    EXPECT_EQ(plat::LastPathComponent(L"/srv/packages/sub"), L"sub");
    EXPECT_EQ(plat::LastPathComponent(L"/srv/packages/"), L"packages");
    EXPECT_EQ(plat::LastPathComponent(L"/srv/packages//"), L"packages");
    EXPECT_EQ(plat::LastPathComponent(L"name.zip"), L"name.zip");
    EXPECT_EQ(plat::LastPathComponent(L"/"), L"/");
    EXPECT_EQ(plat::LastPathComponent(L""), L"");
#ifdef _WIN32
    EXPECT_EQ(plat::LastPathComponent(L"C:\\Packages\\sub"), L"sub");
    EXPECT_EQ(plat::LastPathComponent(L"C:\\Packages\\"), L"Packages");
    EXPECT_EQ(plat::LastPathComponent(L"C:\\Packages/sub"), L"sub");
    EXPECT_EQ(plat::JoinPath(L"C:\\Packages", L"a.zip"), L"C:\\Packages\\a.zip");
    EXPECT_EQ(plat::JoinPath(L"C:\\Packages\\", L"a.zip"), L"C:\\Packages\\a.zip");
#else
    // A backslash is an ordinary character in a POSIX file name.
    EXPECT_EQ(plat::LastPathComponent(L"/srv/a\\b"), L"a\\b");
    EXPECT_EQ(plat::JoinPath(L"/srv/packages", L"a.zip"), L"/srv/packages/a.zip");
    EXPECT_EQ(plat::JoinPath(L"/srv/packages/", L"a.zip"), L"/srv/packages/a.zip");
#endif
}
