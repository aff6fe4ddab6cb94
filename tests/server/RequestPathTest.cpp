#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/Handles.h"
#include "platform/RequestPathRules.h"
#include "server/RequestPath.h"
#include "support/FolderLink.h"

namespace fs = std::filesystem;

namespace {

std::wstring Sep() { return std::wstring(1, plat::PathSeparator()); }

std::wstring Map(std::wstring_view folder, std::wstring_view request) {
    std::wstring full;
    if (MapRequestPath(folder, request, full) == RequestPathVerdict::Refused) return L"<refused>";
    return full;
}

}  // namespace

TEST(RequestPath, JoinsBelowThePackagesFolderWithOneSeparator) {
    const std::wstring root = Sep() + L"srv" + Sep() + L"packages";
    EXPECT_EQ(Map(root + Sep(), L"\\sub\\a.zip"), root + Sep() + L"sub" + Sep() + L"a.zip");
    EXPECT_EQ(Map(root, L"/sub/a.zip"), root + Sep() + L"sub" + Sep() + L"a.zip");
    EXPECT_EQ(Map(root + Sep(), L""), root);
    EXPECT_EQ(Map(root + Sep(), L"\\"), root);
    EXPECT_EQ(Map(root, L"//sub///./a.zip"), root + Sep() + L"sub" + Sep() + L"a.zip");
    // ".." that stays inside the folder is resolved like a path join.
    EXPECT_EQ(Map(root, L"/sub/../a.zip"), root + Sep() + L"a.zip");

}

TEST(RequestPath, RefusesEveryWayOutOfTheFolder) {
    const std::wstring root = Sep() + L"srv" + Sep() + L"packages";
    for (const wchar_t* attempt :
         {L"/..", L"/../secret.txt", L"\\..\\secret.txt", L"/sub/../../secret.txt", L"/./../secret.txt",
          L"..", L"/sub\\..\\..\\secret.txt", L"/a/b/c/../../../../secret.txt"}) {
        EXPECT_EQ(Map(root, attempt), L"<refused>") << attempt;
    }
    EXPECT_EQ(Map(root, std::wstring(L"/a.zip\0.txt", 11)), L"<refused>");
    EXPECT_EQ(Map(root, L"/" + std::wstring(300, L'a')), L"<refused>");
    // The limit counts the joined path: one character below it still maps.
    const std::wstring fits(259 - root.size() - 1, L'b');
    EXPECT_EQ(Map(root, L"/" + fits), root + Sep() + fits);
    EXPECT_EQ(Map(root, L"/" + fits + L"c"), L"<refused>");
}

#ifdef _WIN32
TEST(RequestPath, WindowsRefusesDevicesStreamsAndAmbiguousNames) {
    const std::wstring root = L"C:\\Packages";
    for (const wchar_t* attempt :
         {L"/CON", L"/con.txt", L"/sub/NUL", L"/aux.zip", L"/COM1", L"/lpt9.log", L"/CONIN$", L"/conout$",
          L"/a.zip:stream", L"/C:/Windows/win.ini", L"/a.zip.", L"/a.zip ", L"/sub./a.zip", L"/a*.zip",
          L"/a?.zip", L"/a<b", L"/a|b", L"/a\"b", L"/NUL .txt"}) {
        EXPECT_EQ(Map(root, attempt), L"<refused>") << attempt;
    }
    EXPECT_EQ(Map(root, L"/CONSOLE.zip"), L"C:\\Packages\\CONSOLE.zip");
    EXPECT_EQ(Map(root, L"/COM10"), L"C:\\Packages\\COM10");
}

TEST(RequestPath, WindowsRefusesShortNamesOfExistingFiles) {
    const fs::path dir = fs::temp_directory_path() / ("velmora-short-" + std::to_string(plat::CurrentProcessId()));
    fs::create_directories(dir);
    { std::ofstream(dir / "LongPackageName.zip") << "x"; }
    std::wstring full;
    EXPECT_EQ(MapRequestPath(dir.wstring(), L"/LongPackageName.zip", full), RequestPathVerdict::Mapped);
    EXPECT_EQ(MapRequestPath(dir.wstring(), L"/longpackagename.ZIP", full), RequestPathVerdict::Mapped);
    const std::wstring shortName = testsupport::ShortName((dir / "LongPackageName.zip").wstring());
    if (!shortName.empty() && shortName != L"LongPackageName.zip" && fs::exists(dir / shortName)) {
        EXPECT_EQ(MapRequestPath(dir.wstring(), L"/" + shortName, full), RequestPathVerdict::Refused) << shortName;
    } else {
        std::cout << "this file system makes no 8.3 names; short-name refusal not exercised\n";
    }
    fs::remove_all(dir);
}
#endif

TEST(RequestPath, ExistenceAndReadabilityChecks) {
    const fs::path dir = fs::temp_directory_path() / ("velmora-checks-" + std::to_string(plat::CurrentProcessId()));
    fs::create_directories(dir / "sub");
    { std::ofstream(dir / "a.zip") << "x"; }
    EXPECT_TRUE(plat::PathExists((dir / "a.zip").wstring()));
    EXPECT_TRUE(plat::PathExists((dir / "sub").wstring()));
    EXPECT_TRUE(plat::PathReadable((dir / "a.zip").wstring()));
    EXPECT_TRUE(plat::PathReadable((dir / "sub").wstring()));
    EXPECT_FALSE(plat::PathExists((dir / "missing.zip").wstring()));
    EXPECT_FALSE(plat::PathReadable((dir / "missing.zip").wstring()));
    fs::remove_all(dir);
}
