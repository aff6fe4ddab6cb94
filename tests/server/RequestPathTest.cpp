// Request paths mapped onto the packages folder: one separator, refusals, and the existence and readability checks.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/Handles.h"
#include "platform/RequestPathRules.h"
#include "server/MappedRequestPath.h"
#include "server/RequestPath.h"

namespace fs = std::filesystem;

namespace {

std::wstring Sep() { return std::wstring(1, plat::PathSeparator()); }

}  // namespace

TEST(RequestPath, JoinsBelowThePackagesFolderWithOneSeparator) {
    const std::wstring root = Sep() + L"srv" + Sep() + L"packages";
    EXPECT_EQ(MappedRequestPath(root + Sep(), L"\\sub\\a.zip"), root + Sep() + L"sub" + Sep() + L"a.zip");
    EXPECT_EQ(MappedRequestPath(root, L"/sub/a.zip"), root + Sep() + L"sub" + Sep() + L"a.zip");
    EXPECT_EQ(MappedRequestPath(root + Sep(), L""), root);
    EXPECT_EQ(MappedRequestPath(root + Sep(), L"\\"), root);
    EXPECT_EQ(MappedRequestPath(root, L"//sub///./a.zip"), root + Sep() + L"sub" + Sep() + L"a.zip");
    // ".." that stays inside the folder is resolved like a path join.
    EXPECT_EQ(MappedRequestPath(root, L"/sub/../a.zip"), root + Sep() + L"a.zip");

}

TEST(RequestPath, RefusesEveryWayOutOfTheFolder) {
    const std::wstring root = Sep() + L"srv" + Sep() + L"packages";
    for (const wchar_t* attempt :
         {L"/..", L"/../secret.txt", L"\\..\\secret.txt", L"/sub/../../secret.txt", L"/./../secret.txt",
          L"..", L"/sub\\..\\..\\secret.txt", L"/a/b/c/../../../../secret.txt"}) {
        EXPECT_EQ(MappedRequestPath(root, attempt), L"<refused>") << attempt;
    }
    EXPECT_EQ(MappedRequestPath(root, std::wstring(L"/a.zip\0.txt", 11)), L"<refused>");
    EXPECT_EQ(MappedRequestPath(root, L"/" + std::wstring(300, L'a')), L"<refused>");
    // The limit counts the joined path: one character below it still maps.
    const std::wstring fits(259 - root.size() - 1, L'b');
    EXPECT_EQ(MappedRequestPath(root, L"/" + fits), root + Sep() + fits);
    EXPECT_EQ(MappedRequestPath(root, L"/" + fits + L"c"), L"<refused>");
}

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
