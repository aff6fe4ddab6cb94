// Folder enumeration and last path components on this platform.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/FolderEnum.h"
#include "platform/Handles.h"
#include "platform/Win32Codes.h"
#include "support/TempDir.h"

TEST(FolderEnum, ReportsNamesFullPathsDotsAndFolders) {
    CTempDir dir;
    ASSERT_TRUE(dir.MakeFile(L"P/file.txt", "x"));
    ASSERT_TRUE(dir.MakeFolder(L"P/sub"));
    std::vector<plat::FolderEntry> entries;
    ASSERT_TRUE(plat::EnumerateFolder(dir.PathOf(L"P"), &entries));

    std::vector<plat::FolderEntry> real;
    for (const auto& entry : entries) {
        if (entry.isDots) {
            EXPECT_TRUE(entry.name == L"." || entry.name == L"..") << "marked as dots: " << entry.name.size();
            continue;
        }
        real.push_back(entry);
    }
    std::sort(real.begin(), real.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    ASSERT_EQ(real.size(), 2u);
    EXPECT_EQ(real[0].name, L"file.txt");
    EXPECT_EQ(real[0].fullPath, dir.PathOf(L"P/file.txt"));
    EXPECT_FALSE(real[0].isDirectory);
    EXPECT_EQ(real[1].name, L"sub");
    EXPECT_EQ(real[1].fullPath, dir.PathOf(L"P/sub"));
    EXPECT_TRUE(real[1].isDirectory);

    // A trailing separator on the folder does not double the one in the full path.
    ASSERT_TRUE(plat::EnumerateFolder(dir.PathOf(L"P/"), &entries));
    for (const auto& entry : entries) {
        if (entry.name == L"sub") {
            EXPECT_EQ(entry.fullPath, dir.PathOf(L"P/sub"));
        }
    }
}

TEST(FolderEnum, FailsWithAnErrorForMissingFoldersAndFiles) {
    CTempDir dir;
    ASSERT_TRUE(dir.MakeFile(L"file.txt", "x"));
    std::vector<plat::FolderEntry> entries;
    EXPECT_FALSE(plat::EnumerateFolder(dir.PathOf(L"missing"), &entries));
    EXPECT_TRUE(entries.empty());
    EXPECT_NE(plat::LastError(), 0u);
    EXPECT_FALSE(plat::EnumerateFolder(dir.PathOf(L"file.txt"), &entries));
    EXPECT_TRUE(entries.empty());
    EXPECT_FALSE(plat::EnumerateFolder(L"", &entries));
}

TEST(FolderEnum, FolderLinksCountAsFolders) {
    CTempDir dir;
    ASSERT_TRUE(dir.MakeFile(L"target/inside.txt"));
    ASSERT_TRUE(dir.MakeFolder(L"P"));
    if (!dir.MakeFolderLink(L"P/link", dir.PathOf(L"target")))
        GTEST_SKIP() << "folder links cannot be created here (error " << plat::LastError()
                     << "): Windows needs the symbolic-link privilege or developer mode, and Wine does not create them";
    std::vector<plat::FolderEntry> entries;
    ASSERT_TRUE(plat::EnumerateFolder(dir.PathOf(L"P"), &entries));
    auto link = std::find_if(entries.begin(), entries.end(), [](const auto& e) { return e.name == L"link"; });
    ASSERT_NE(link, entries.end());
    EXPECT_TRUE(link->isDirectory);
    // The entry's own path may be passed while the list it lives in is refilled.
    ASSERT_TRUE(plat::EnumerateFolder(link->fullPath, &entries));
    EXPECT_TRUE(std::any_of(entries.begin(), entries.end(), [](const auto& e) { return e.name == L"inside.txt"; }));
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
