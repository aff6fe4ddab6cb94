// Windows request path rules: devices, streams, ambiguous names and 8.3 short names are refused.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "common/Utf8.h"
#include "platform/Handles.h"
#include "platform/RequestPathRules.h"
#include "platform/Text.h"
#include "server/MappedRequestPath.h"
#include "server/RequestPath.h"
#include "server/RequestRouting.h"
#include "support/FolderLink.h"
#include "support/MemoryLogSink.h"
#include "support/TempDir.h"

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

// A client that sends a name back in the listing's own bytes (the ANSI code
// page) names that file; a path that is valid UTF-8 keeps its UTF-8 meaning.
TEST(RequestPath, WindowsReadsRequestBytesThatAreNotUtf8InTheAnsiCodePage) {
    std::wstring accented;
    ASSERT_TRUE(plat::ReadNonUtf8RequestBytes("\xE9", accented)) << "this code page does not hold 0xE9";
    const std::wstring utf8AsAnsi = plat::AnsiToWide("\xC3\xA9");  // what the UTF-8 bytes of U+00E9 read as in ANSI
    CTempDir dir;
    ASSERT_TRUE(dir.MakeFile(L"packages/caf" + accented + L".txt", "ansi"));
    ASSERT_TRUE(dir.MakeFile(L"packages/caf\u00e9.zip", "utf8"));
    ASSERT_TRUE(dir.MakeFile(L"packages/caf" + utf8AsAnsi + L".zip", "ansi reading of utf8"));
    const std::wstring packages = dir.PathOf(L"packages") + plat::PathSeparator();
    const struct {
        const wchar_t* target;
        std::wstring served;  // the name below the packages folder
    } cases[] = {
        {L"/packages/caf%E9.txt", L"caf" + accented + L".txt"},
        {L"/packages/caf\u00e9.txt", L"caf" + accented + L".txt"},  // the raw byte 0xE9 on the wire
        {L"/packages/caf%C3%A9.zip", L"caf\u00e9.zip"},
        {L"/packages/caf\u00c3\u00a9.zip", L"caf\u00e9.zip"},
    };
    for (const auto& c : cases) {
        CMemoryLogSink log;
        RoutedReply reply = RouteRequest(L"GET", c.target, RangeFields{}, packages, RoutingPolicy{});
        ASSERT_TRUE(std::holds_alternative<RoutedFile>(reply)) << WideToUtf8(c.target);
        std::get<RoutedFile>(reply).file->Close();
        EXPECT_EQ(log.All(), (std::vector<std::wstring>{L"Request for: '/packages/" + c.served + L"'",
                                                        L"200_OK => '" + dir.PathOf(L"packages/" + c.served) + L"'"}))
            << WideToUtf8(c.target);
    }
}
