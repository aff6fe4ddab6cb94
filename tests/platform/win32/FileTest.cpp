// Windows disk files: sharing with writers and device names, with real files on disk.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/File.h"
#include "support/TempDir.h"

namespace {

constexpr DWORD kAccessDenied = 5;

HANDLE OpenForWriting(const std::wstring& path) {
    return ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

TEST(DiskFileWindows, OpenFileRefusesWritersUntilClosed) {
    CTempDir dir;
    ASSERT_TRUE(dir.MakeFile(L"locked.zip", "content"));
    const std::wstring path = dir.PathOf(L"locked.zip");
    CDiskFile file;
    ASSERT_TRUE(file.Open(path));

    HANDLE writer = OpenForWriting(path);
    EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(::GetLastError(), 32u);  // ERROR_SHARING_VIOLATION
    // Readers are welcome.
    CDiskFile reader;
    EXPECT_TRUE(reader.Open(path));
    reader.Close();

    file.Close();
    writer = OpenForWriting(path);
    EXPECT_NE(writer, INVALID_HANDLE_VALUE);
    // And while someone writes, the file cannot be opened for serving.
    DWORD error = 0;
    EXPECT_FALSE(file.Open(path, &error));
    EXPECT_EQ(error, 32u);
    if (writer != INVALID_HANDLE_VALUE) ::CloseHandle(writer);
}

TEST(DiskFileWindows, DeviceNamesAreRefusedWithoutOpening) {
    CTempDir dir;
    CDiskFile file;
    for (const std::wstring& name : {std::wstring(L"NUL"), std::wstring(L"con"), dir.PathOf(L"aux.zip"),
                                     dir.PathOf(L"COM1"), dir.PathOf(L"lpt9.txt"), dir.PathOf(L"nul  .zip"),
                                     std::wstring(L"CONIN$"), std::wstring(L"\\\\.\\pipe\\velmora-test"),
                                     std::wstring(L"\\\\?\\GLOBALROOT\\Device\\Null")}) {
        DWORD error = 0;
        EXPECT_FALSE(file.Open(name, &error)) << std::string(name.begin(), name.end());
        EXPECT_EQ(error, kAccessDenied);
    }
    // A name that only begins like a device is an ordinary file.
    ASSERT_TRUE(dir.MakeFile(L"console.zip", "x"));
    EXPECT_TRUE(file.Open(dir.PathOf(L"console.zip")));
    EXPECT_EQ(file.GetFileName(), L"console.zip");
}

}  // namespace
