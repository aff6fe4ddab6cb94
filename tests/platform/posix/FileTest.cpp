// POSIX disk files: what has no counterpart on Windows (FIFOs, devices, failed
// reads, no mandatory sharing).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/File.h"
#include "support/TempDir.h"

namespace {

constexpr DWORD kAccessDenied = 5;

TEST(DiskFilePosix, PipesAndDevicesAreRefusedWithoutBlocking) {
    CTempDir dir;
    const std::wstring fifo = dir.PathOf(L"fifo");
    ASSERT_EQ(::mkfifo(std::filesystem::path(fifo).string().c_str(), 0600), 0);
    CDiskFile file;
    DWORD error = 0;
    // Opening a FIFO for reading would wait for a writer.
    EXPECT_FALSE(file.Open(fifo, &error));
    EXPECT_EQ(error, kAccessDenied);
    EXPECT_FALSE(file.Open(L"/dev/null", &error));
    EXPECT_EQ(error, kAccessDenied);
}

TEST(DiskFilePosix, FailedReadIsReportedApartFromTheEnd) {
    // /proc/self/mem is a regular file whose first page is never mapped: reading it fails.
    CDiskFile file;
    if (!file.Open(L"/proc/self/mem")) GTEST_SKIP() << "/proc/self/mem cannot be opened here";
    char buffer[64];
    EXPECT_EQ(file.Read(buffer, sizeof buffer), 0u);
    EXPECT_TRUE(file.Failed());
    EXPECT_NE(file.ErrorCode(), 0u);
}

TEST(DiskFilePosix, NoMandatorySharingOtherWritersStillWrite) {
    CTempDir dir;
    ASSERT_TRUE(dir.MakeFile(L"shared.bin", "old"));
    CDiskFile file;
    ASSERT_TRUE(file.Open(dir.PathOf(L"shared.bin")));
    const int writer = ::open(std::filesystem::path(dir.PathOf(L"shared.bin")).string().c_str(), O_WRONLY);
    EXPECT_GE(writer, 0);
    if (writer >= 0) ::close(writer);
}

}  // namespace
