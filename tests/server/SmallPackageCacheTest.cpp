// Small packages answered from memory: kept only while the file on disk is unchanged.
#include <filesystem>

#include "server/ServerFixture.h"
#include "server/SmallPackageCache.h"

using namespace server_test;

namespace {

std::string ReadWhole(CFile& file) {
    std::string bytes(static_cast<std::size_t>(file.GetLength()), '\0');
    bytes.resize(file.Read(bytes.data(), static_cast<UINT>(bytes.size())));
    return bytes;
}

// A disk file opened as the server opens a package.
std::unique_ptr<CDiskFile> OpenPackage(const std::wstring& path) {
    auto file = std::make_unique<CDiskFile>();
    return file->Open(path) ? std::move(file) : nullptr;
}

// Where the platform has no file stamps nothing may ever be kept.
bool PlatformHasStamps(const CTempDir& dir) {
    FileStamp stamp;
    return dir.MakeFile(L"probe", "x") && plat::QueryRegularFileStamp(dir.PathOf(L"probe"), stamp);
}

// Lets the clock move past the file system's time-stamp granularity, so
// that a change made now cannot carry the stamp of the kept content.
void NextStampTick() { plat::SleepMilliseconds(30); }

class SmallPackageCacheTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.IsValid());
        if (!PlatformHasStamps(m_dir)) GTEST_SKIP() << "this platform offers no file stamps: every request opens the file";
    }
    void TearDown() override { SetTickCountForTests(std::nullopt); }

    // Opens `relative` and offers it to `cache`; the bytes it returned, or
    // nullopt when the cache did not keep it (the disk file must then still
    // read whole from its start).
    std::optional<std::string> OpenAndKeep(CSmallPackageCache& cache, const std::wstring& relative) {
        auto disk = OpenPackage(m_dir.PathOf(relative));
        EXPECT_NE(disk, nullptr);
        if (!disk) return std::nullopt;
        std::unique_ptr<CFile> kept = cache.Keep(m_dir.PathOf(relative), *disk);
        if (!kept) {
            EXPECT_TRUE(disk->IsOpen());
            EXPECT_EQ(disk->GetLengthAtOpen(), ReadWhole(*disk).size()) << "the refused file was not left at its start";
            return std::nullopt;
        }
        EXPECT_FALSE(disk->IsOpen()) << "the disk file stays open although its bytes are kept";
        EXPECT_EQ(kept->GetFileName(), disk->GetFileName());
        return ReadWhole(*kept);
    }
    std::optional<std::string> Found(CSmallPackageCache& cache, const std::wstring& relative) {
        std::unique_ptr<CFile> found = cache.Find(m_dir.PathOf(relative));
        if (!found) return std::nullopt;
        return ReadWhole(*found);
    }

    CTempDir m_dir;
};

TEST_F(SmallPackageCacheTest, KeptBytesAnswerUntilTheFileIsChangedReplacedOrRemoved) {
    CSmallPackageCache cache(0);  // everything counts as settled
    const std::string first = PatternBytes(4096, 1);
    const std::string second = PatternBytes(4096, 2);  // same size: only the stamp's times tell
    ASSERT_TRUE(m_dir.MakeFile(L"a.bin", first));

    EXPECT_EQ(Found(cache, L"a.bin"), std::nullopt) << "nothing kept yet";
    EXPECT_EQ(OpenAndKeep(cache, L"a.bin"), first);
    EXPECT_EQ(Found(cache, L"a.bin"), first);
    EXPECT_EQ(Found(cache, L"a.bin"), first);

    // Rewritten in place.
    NextStampTick();
    ASSERT_TRUE(m_dir.MakeFile(L"a.bin", second));
    EXPECT_EQ(Found(cache, L"a.bin"), std::nullopt);
    EXPECT_EQ(cache.Count(), 0u) << "a changed package must be forgotten";
    EXPECT_EQ(OpenAndKeep(cache, L"a.bin"), second);

    // Replaced by another file under the same name.
    NextStampTick();
    ASSERT_TRUE(m_dir.MakeFile(L"new.bin", first));
    std::filesystem::rename(FsPath(m_dir.PathOf(L"new.bin")), FsPath(m_dir.PathOf(L"a.bin")));
    EXPECT_EQ(Found(cache, L"a.bin"), std::nullopt);
    EXPECT_EQ(OpenAndKeep(cache, L"a.bin"), first);

    // Removed.
    std::filesystem::remove(FsPath(m_dir.PathOf(L"a.bin")));
    EXPECT_EQ(Found(cache, L"a.bin"), std::nullopt);
    EXPECT_EQ(cache.Count(), 0u);
}

TEST_F(SmallPackageCacheTest, TheServersCacheLooksAtTheDiskOncePerClockTick) {
    CSmallPackageCache cache(0, true);
    ASSERT_TRUE(m_dir.MakeFile(L"a.bin", PatternBytes(4096, 1)));
    EXPECT_EQ(OpenAndKeep(cache, L"a.bin"), PatternBytes(4096, 1));
    SetTickCountForTests(1000);
    EXPECT_EQ(Found(cache, L"a.bin"), PatternBytes(4096, 1)) << "a kept package is looked at once in a tick";
    NextStampTick();
    ASSERT_TRUE(m_dir.MakeFile(L"a.bin", PatternBytes(4096, 2)));
    EXPECT_EQ(Found(cache, L"a.bin"), PatternBytes(4096, 1)) << "requests within that tick are answered as of it";
    SetTickCountForTests(1001);
    EXPECT_EQ(Found(cache, L"a.bin"), std::nullopt) << "the next tick looks again and sees the change";
}

TEST_F(SmallPackageCacheTest, OnlySmallFilesThatHaveSettledAreKept) {
    ASSERT_TRUE(m_dir.MakeFile(L"fresh.bin", PatternBytes(100)));
    CSmallPackageCache settling;  // the server's rule: unchanged for two seconds
    EXPECT_EQ(OpenAndKeep(settling, L"fresh.bin"), std::nullopt) << "a file written just now may still be written";
    EXPECT_EQ(settling.Count(), 0u);

    CSmallPackageCache cache(0);
    const auto largest = static_cast<std::size_t>(CSmallPackageCache::kLargestPackage);
    ASSERT_TRUE(m_dir.MakeFile(L"largest.bin", PatternBytes(largest)));
    ASSERT_TRUE(m_dir.MakeFile(L"larger.bin", PatternBytes(largest + 1)));
    ASSERT_TRUE(m_dir.MakeFile(L"empty.bin", ""));
    EXPECT_EQ(OpenAndKeep(cache, L"largest.bin"), PatternBytes(largest));
    EXPECT_EQ(OpenAndKeep(cache, L"larger.bin"), std::nullopt);
    EXPECT_EQ(OpenAndKeep(cache, L"empty.bin"), std::string());
    EXPECT_EQ(Found(cache, L"empty.bin"), std::string());
    EXPECT_EQ(cache.Count(), 2u);
}

TEST_F(SmallPackageCacheTest, TheLeastRecentlyRequestedPackageMakesRoom) {
    CSmallPackageCache cache(0);
    const std::size_t limit = CSmallPackageCache::kMaxPackages;
    auto name = [](std::size_t i) { return L"p" + std::to_wstring(i) + L".bin"; };
    for (std::size_t i = 0; i < limit; ++i) {
        ASSERT_TRUE(m_dir.MakeFile(name(i), PatternBytes(10, static_cast<unsigned>(i))));
        ASSERT_TRUE(OpenAndKeep(cache, name(i)).has_value());
    }
    // Asking for the first again makes the second the least recent one.
    EXPECT_EQ(Found(cache, name(0)), PatternBytes(10, 0));
    ASSERT_TRUE(m_dir.MakeFile(name(limit), PatternBytes(10, 99)));
    ASSERT_TRUE(OpenAndKeep(cache, name(limit)).has_value());
    EXPECT_EQ(cache.Count(), limit);
    EXPECT_EQ(Found(cache, name(1)), std::nullopt);
    EXPECT_EQ(Found(cache, name(0)), PatternBytes(10, 0));
    EXPECT_EQ(Found(cache, name(limit)), PatternBytes(10, 99));
}

TEST(SmallPackageCacheWithoutStamps, NothingIsKeptWhereFilesHaveNoStamps) {
    CTempDir dir;
    ASSERT_TRUE(dir.IsValid());
    if (PlatformHasStamps(dir)) GTEST_SKIP() << "this platform has file stamps (see SmallPackageCacheTest)";
    ASSERT_TRUE(dir.MakeFile(L"a.bin", "abc"));
    CSmallPackageCache cache(0);
    auto disk = OpenPackage(dir.PathOf(L"a.bin"));
    ASSERT_NE(disk, nullptr);
    EXPECT_EQ(cache.Keep(dir.PathOf(L"a.bin"), *disk), nullptr);
    EXPECT_TRUE(disk->IsOpen()) << "the reply must go out on the open file (and its sharing rules)";
    EXPECT_EQ(ReadWhole(*disk), "abc");
}

// Through a real connection: a settled package answered from memory gives
// the same reply and log lines as one read from disk, and a change on disk
// shows in the very next reply.
class SmallPackageRepliesTest : public ServerFixture {};

TEST_F(SmallPackageRepliesTest, RepeatedRequestsSeeEveryChangeOnDisk) {
    const std::string first = PatternBytes(4096, 5);
    const std::string second = PatternBytes(4096, 6);
    ASSERT_TRUE(MakePackage(L"settled.bin", first));
    // The server keeps packages that stayed unchanged for two seconds.
    plat::SleepMilliseconds(static_cast<DWORD>(CSmallPackageCache::kSettledNs / 1000000) + 200);
    const std::wstring full = PackagePath(L"settled.bin");
    const std::vector<std::wstring> expectedLog{L"Request for: '/packages/settled.bin'", L"200_OK => '" + full + L"'",
                                                L"Transmitting file  completed...",
                                                L"Transmitting file settled.bin completed..."};
    CHttpClient client;
    Connect(client);
    for (int round = 0; round < 3; ++round) {
        CHttpClient::Reply reply;
        ASSERT_TRUE(client.Send("GET /packages/settled.bin HTTP/1.1\r\n\r\n"));
        ASSERT_TRUE(client.ReceiveReply(reply, 10000));
        EXPECT_EQ(reply.head, OctetHead(4096));
        EXPECT_EQ(reply.body, first) << "round " << round;
        Sync();
        EXPECT_EQ(m_pLog->New(), expectedLog) << "round " << round;
    }

    if (PlatformHasStamps(m_dir)) {
        EXPECT_NE(CSmallPackageCache::Shared().Find(full), nullptr) << "the settled package was not kept";
    }

    NextStampTick();
    ASSERT_TRUE(MakePackage(L"settled.bin", second));
    CHttpClient::Reply reply;
    ASSERT_TRUE(client.Send("GET /packages/settled.bin HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(client.ReceiveReply(reply, 10000));
    EXPECT_EQ(reply.body, second) << "the kept bytes outlived the file's change";

    ASSERT_TRUE(std::filesystem::remove(FsPath(full)));
    ASSERT_TRUE(client.Send("GET /packages/settled.bin HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(client.ReceiveReply(reply, 10000));
    EXPECT_EQ(reply.head, kNotFoundHead) << "a removed package was answered from memory";
}

}  // namespace
