// Windows device names: the request path rules and the file opener refuse the same names.
#include <gtest/gtest.h>

#include <string>

#include "platform/File.h"
#include "server/RequestPath.h"
#include "support/TempDir.h"

TEST(WindowsDeviceNames, RequestPathsAndFileOpensRefuseTheSameNames) {
    const struct {
        const wchar_t* name;
        bool device;
    } cases[] = {
        {L"CON", true},        {L"con.txt", true},     {L"Nul", true},         {L"nul  .zip", true},
        {L"aux.tar.gz", true}, {L"PRN", true},         {L"CONIN$", true},      {L"conout$.log", true},
        {L"Clock$", true},     {L"COM0", true},        {L"lpt0.zip", true},    {L"com1", true},
        {L"LPT9.txt", true},   {L"Com\u00B9", true},   {L"lpt\u00B3.x", true}, {L"CONSOLE.zip", false},
        {L"COM10", false},     {L"LPT", false},        {L"com\u00B4", false},  {L"xnul", false},
        {L"CON\u0131N$", false},  // a dotless i is not an ASCII letter
    };
    CTempDir dir;
    for (const auto& c : cases) {
        std::wstring full;
        const bool refused = MapRequestPath(dir.Path(), std::wstring(L"/") + c.name, full) ==
                             RequestPathVerdict::Refused;
        EXPECT_EQ(refused, c.device) << L"request path " << c.name;
        // A device is refused before it is opened; another name is a missing file.
        CDiskFile file;
        DWORD error = 0;
        EXPECT_FALSE(file.Open(dir.PathOf(c.name), &error));
        EXPECT_EQ(error, c.device ? 5u : 2u) << L"file " << c.name;
    }
}
