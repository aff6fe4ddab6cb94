// Windows request path rules: devices, streams, ambiguous names and 8.3 short names are refused.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "platform/Handles.h"
#include "server/MappedRequestPath.h"
#include "server/RequestPath.h"
#include "support/FolderLink.h"

namespace fs = std::filesystem;

TEST(RequestPath, WindowsRefusesDevicesStreamsAndAmbiguousNames) {
    const std::wstring root = L"C:\\Packages";
    for (const wchar_t* attempt :
         {L"/CON", L"/con.txt", L"/sub/NUL", L"/aux.zip", L"/COM1", L"/lpt9.log", L"/CONIN$", L"/conout$",
          L"/a.zip:stream", L"/C:/Windows/win.ini", L"/a.zip.", L"/a.zip ", L"/sub./a.zip", L"/a*.zip",
          L"/a?.zip", L"/a<b", L"/a|b", L"/a\"b", L"/NUL .txt"}) {
        EXPECT_EQ(MappedRequestPath(root, attempt), L"<refused>") << attempt;
    }
    EXPECT_EQ(MappedRequestPath(root, L"/CONSOLE.zip"), L"C:\\Packages\\CONSOLE.zip");
    EXPECT_EQ(MappedRequestPath(root, L"/COM10"), L"C:\\Packages\\COM10");
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
