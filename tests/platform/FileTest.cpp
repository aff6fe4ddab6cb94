// Disk files for reading, with real files on disk.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/File.h"
#include "support/TempDir.h"

namespace {

constexpr DWORD kFileNotFound = 2;
constexpr DWORD kPathNotFound = 3;
constexpr DWORD kAccessDenied = 5;
constexpr UINT kChunk = 1048576;

std::string Pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 4093) & 0xFF);
    return bytes;
}

TEST(DiskFile, ReadsAPackageInChunksUntilAnEmptyRead) {
    CTempDir dir;
    ASSERT_TRUE(dir.IsValid());
    const std::string content = Pattern(3000000);
    ASSERT_TRUE(dir.MakeFile(L"sub/package.bin", content));

    CDiskFile file;
    DWORD error = 1234;
    ASSERT_TRUE(file.Open(dir.PathOf(L"sub/package.bin"), &error));
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(file.GetLength(), 3000000u);
    EXPECT_EQ(file.GetFileName(), L"package.bin");

    std::vector<char> buffer(kChunk);
    std::string read;
    std::vector<UINT> counts;
    for (;;) {
        const UINT count = file.Read(buffer.data(), kChunk);
        counts.push_back(count);
        EXPECT_FALSE(file.Failed());
        read.append(buffer.data(), count);
        if (count == 0) break;
    }
    EXPECT_EQ(counts, (std::vector<UINT>{1048576, 1048576, 902848, 0}));
    EXPECT_TRUE(read == content);

    // Back to the start: the same first chunk again.
    file.SeekToBegin();
    ASSERT_EQ(file.Read(buffer.data(), 16), 16u);
    EXPECT_EQ(std::string(buffer.data(), 16), content.substr(0, 16));

    file.Close();
    file.Close();
    EXPECT_EQ(file.Read(buffer.data(), 16), 0u);
    EXPECT_TRUE(file.Failed());
}

TEST(DiskFile, EmptyFileAndExactChunkEndWithAnEmptyRead) {
    CTempDir dir;
    ASSERT_TRUE(dir.MakeFile(L"empty.bin", ""));
    ASSERT_TRUE(dir.MakeFile(L"exact.bin", Pattern(kChunk)));
    std::vector<char> buffer(kChunk);

    CDiskFile empty;
    ASSERT_TRUE(empty.Open(dir.PathOf(L"empty.bin")));
    EXPECT_EQ(empty.GetLength(), 0u);
    EXPECT_EQ(empty.Read(buffer.data(), kChunk), 0u);
    EXPECT_FALSE(empty.Failed());

    CDiskFile exact;
    ASSERT_TRUE(exact.Open(dir.PathOf(L"exact.bin")));
    EXPECT_EQ(exact.Read(buffer.data(), kChunk), kChunk);
    EXPECT_EQ(exact.Read(buffer.data(), kChunk), 0u);
    EXPECT_FALSE(exact.Failed());
}

TEST(DiskFile, OpenRefusesFoldersAndReportsMissingFiles) {
    CTempDir dir;
    ASSERT_TRUE(dir.MakeFolder(L"folder"));
    CDiskFile file;
    DWORD error = 0;
    EXPECT_FALSE(file.Open(dir.PathOf(L"folder"), &error));
    EXPECT_EQ(error, kAccessDenied);
    EXPECT_FALSE(file.IsOpen());
    EXPECT_FALSE(file.Open(dir.Path(), &error));
    EXPECT_EQ(error, kAccessDenied);

    EXPECT_FALSE(file.Open(dir.PathOf(L"missing.zip"), &error));
    EXPECT_EQ(error, kFileNotFound);
    EXPECT_FALSE(file.Open(dir.PathOf(L"nowhere/missing.zip"), &error));
    EXPECT_EQ(error, kPathNotFound);
    EXPECT_FALSE(file.Open(L"", &error));
    EXPECT_NE(error, 0u);
}

TEST(DiskFile, LengthAboveFourGibibytesIsReportedWhole) {
    CTempDir dir;
    ASSERT_TRUE(dir.MakeFile(L"big.bin", "x"));
    const std::uintmax_t size = (5ull << 30) + 3;
    std::error_code failure;
    std::filesystem::resize_file(std::filesystem::path(dir.PathOf(L"big.bin")), size, failure);
    if (failure) GTEST_SKIP() << "the file system refuses a sparse file of 5 GiB: " << failure.message();
    CDiskFile file;
    ASSERT_TRUE(file.Open(dir.PathOf(L"big.bin")));
    EXPECT_EQ(file.GetLength(), size);
    EXPECT_EQ(file.Seek(-1, CFile::end), size - 1);
    char last = 'x';
    EXPECT_EQ(file.Read(&last, 1), 1u);
    EXPECT_EQ(last, '\0');
}

TEST(DiskFile, SeekBeforeTheStartKeepsThePosition) {
    CTempDir dir;
    ASSERT_TRUE(dir.MakeFile(L"a.bin", "abcdef"));
    CDiskFile file;
    ASSERT_TRUE(file.Open(dir.PathOf(L"a.bin")));
    EXPECT_EQ(file.Seek(2, CFile::begin), 2u);
    EXPECT_EQ(file.Seek(-5, CFile::current), 2u);
    char c = 0;
    EXPECT_EQ(file.Read(&c, 1), 1u);
    EXPECT_EQ(c, 'c');
}

}  // namespace
