// Streaming over real loopback TCP when the client's socket fills up: slow readers, early closes, stalls, queued replies.
// The system socket headers come before the platform layer's stand-ins.
#include "support/TestSocketApi.h"

#include "server/ServerFixture.h"

using namespace server_test;

namespace {

// Large enough that the loopback socket buffers cannot hold it, so the
// server's sends block while the client does not read.
constexpr std::size_t kLargeSize = 16u << 20;
constexpr int kSmallReceiveBuffer = 16384;

class TransferTest : public ServerFixture {
  protected:
    void SetUp() override {
        ServerFixture::SetUp();
        m_strLarge = PatternBytes(kLargeSize, 7);
        ASSERT_TRUE(MakePackage(L"large.bin", m_strLarge));
        ASSERT_TRUE(MakePackage(L"small.txt", "small reply"));
    }

    // Whether this process still has `path` open (POSIX: listed in
    // /proc/self/fd, where there is one; Windows: it refuses to be renamed).
    static bool FileStillOpen(const std::wstring& path) {
        const std::filesystem::path fds("/proc/self/fd");
        std::error_code error;
        if (plat::PathSeparator() == L'/') {
            if (!std::filesystem::is_directory(fds, error)) return false;
            const auto wanted = std::filesystem::weakly_canonical(FsPath(path), error);
            for (const auto& entry : std::filesystem::directory_iterator(fds, error)) {
                std::error_code linkError;
                if (std::filesystem::read_symlink(entry.path(), linkError) == wanted) return true;
            }
            return false;
        }
        // A file open without delete sharing cannot be renamed.
        const std::filesystem::path original = FsPath(path), moved = FsPath(path + L".moved");
        std::filesystem::rename(original, moved, error);
        if (error) return true;
        std::filesystem::rename(moved, original, error);
        return false;
    }


    std::string m_strLarge;
};

TEST_F(TransferTest, SlowReaderGetsEveryByteOnceInOrder) {
    CHttpClient client;
    Connect(client, kSmallReceiveBuffer);
    ASSERT_TRUE(client.Send("GET /packages/large.bin HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(WaitUntilSendBlocked());

    std::string received;
    const std::string expected = OctetHead(kLargeSize) + m_strLarge;
    while (received.size() < expected.size()) {
        const std::string piece = client.ReceiveSome(10000, 4096);
        if (piece.empty()) break;
        received += piece;
    }
    ASSERT_EQ(received.size(), expected.size());
    EXPECT_TRUE(received == expected) << "bytes lost, repeated or reordered";
    EXPECT_TRUE(WaitForLog(L"Transmitting file large.bin completed..."));
}

TEST_F(TransferTest, ClientClosingMidTransferReleasesConnectionAndFile) {
    CHttpClient client;
    Connect(client, kSmallReceiveBuffer);
    ASSERT_TRUE(client.Send("GET /packages/large.bin HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(WaitUntilSendBlocked());
    EXPECT_TRUE(FileStillOpen(PackagePath(L"large.bin")));

    client.Close();
    EXPECT_TRUE(WaitOnLoop([&] { return Live().empty(); }));
    EXPECT_FALSE(FileStillOpen(PackagePath(L"large.bin")));
    EXPECT_FALSE(m_pLog->Contains(L"Transmitting file large.bin completed..."));
    // The package can be replaced at once.
    EXPECT_TRUE(MakePackage(L"large.bin", "replaced"));
}

TEST_F(TransferTest, RequestWhileReplyWaitsForTheSocket) {
    CHttpClient client;
    Connect(client, kSmallReceiveBuffer);
    ASSERT_TRUE(client.Send("GET /packages/large.bin HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(WaitUntilSendBlocked());
    ASSERT_TRUE(client.Send("GET /packages/small.txt HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(WaitForLog(L"200_OK => '" + PackagePath(L"small.txt") + L"'"));

    CHttpClient::Reply first, second;
    ASSERT_TRUE(client.ReceiveReply(first, 30000));
    ASSERT_TRUE(client.ReceiveReply(second, 10000));
    EXPECT_EQ(first.head, OctetHead(kLargeSize));
    EXPECT_TRUE(first.body == m_strLarge) << "the waiting bytes were disturbed";
    EXPECT_EQ(second.head, OctetHead(11));
    EXPECT_EQ(second.body, "small reply");
}

// A client that reads 1 kB a second takes hours for a package of
// megabytes, and gets all of it: progress is any byte the socket takes.
// The reply pipelined behind it follows whole.
TEST_F(TransferTest, SlowSteadyReaderFinishesAndThePipelinedReplyFollows) {
    const std::uint64_t start = 5000000000ull;
    SetTickCountForTests(start);
    CHttpClient client;
    Connect(client, kSmallReceiveBuffer);
    ASSERT_TRUE(WaitOnLoop([&] { return Live().size() == 1; }));
    FixServerSendBuffer();
    ASSERT_TRUE(client.Send("GET /packages/large.bin HTTP/1.1\r\n\r\nGET /packages/small.txt HTTP/1.1\r\n\r\n"));

    // 50 kB every 50 seconds of the test clock.
    const std::string expected = OctetHead(kLargeSize) + m_strLarge + OctetHead(11) + "small reply";
    std::string received;
    std::uint64_t now = start;
    for (int idle = 0; received.size() < expected.size() && idle < 20;) {
        now += 50000;
        SetTickCountForTests(now);
        RunOnLoop([&] { Connections().CheckConnections(); });
        const std::string piece = client.ReceiveSome(1000, 50000);
        idle = piece.empty() ? idle + 1 : 0;
        received += piece;
    }
    EXPECT_TRUE(received == expected) << received.size() << " of " << expected.size() << " bytes";
    EXPECT_GT(now - start, 3600000u) << "not a slow reader";
    EXPECT_FALSE(m_pLog->Contains(L"Transmitting file large.bin failed ... aborting sending"));
}

// The client stops reading and never reads again, so no refill ever comes:
// the periodic check applies the rule, closes that connection, releases its
// package file, and leaves other connections alone.
TEST_F(TransferTest, StallCheckClosesConnectionWhoseClientStoppedReading) {
    const std::uint64_t start = 6000000000ull;
    SetTickCountForTests(start);
    CHttpClient client;
    Connect(client, kSmallReceiveBuffer);
    ASSERT_TRUE(WaitOnLoop([&] { return Live().size() == 1; }));
    FixServerSendBuffer();
    ASSERT_TRUE(client.Send("GET /packages/large.bin HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(WaitUntilSendBlocked());
    CHttpClient other;
    Connect(other);
    ASSERT_TRUE(WaitOnLoop([&] { return Live().size() == 2; }));

    const std::wstring failed = L"Transmitting file large.bin failed ... aborting sending";
    std::size_t closed = 99;
    SetTickCountForTests(start + 359999);
    RunOnLoop([&] { closed = Connections().CheckConnections(); });
    EXPECT_EQ(closed, 0u);
    EXPECT_EQ(LiveConnectionCount(), 2u);
    EXPECT_TRUE(FileStillOpen(PackagePath(L"large.bin")));
    EXPECT_FALSE(m_pLog->Contains(failed));

    SetTickCountForTests(start + 360000);
    RunOnLoop([&] { closed = Connections().CheckConnections(); });
    EXPECT_EQ(closed, 1u);
    EXPECT_TRUE(m_pLog->Contains(failed));
    EXPECT_EQ(LiveConnectionCount(), 1u);
    EXPECT_FALSE(FileStillOpen(PackagePath(L"large.bin")));
    EXPECT_TRUE(MakePackage(L"large.bin", "replaced at once"));

    // What the sockets already held still arrives, then the close.
    std::string received;
    ASSERT_TRUE(client.ReceiveUntilClosed(received, 30000));
    const std::string head = OctetHead(kLargeSize);
    ASSERT_EQ(received.compare(0, head.size(), head), 0);
    EXPECT_LT(received.size() - head.size(), kLargeSize);
    EXPECT_TRUE(received.compare(head.size(), std::string::npos, m_strLarge, 0, received.size() - head.size()) == 0);

    ASSERT_TRUE(other.Send("GET /packages/small.txt HTTP/1.1\r\n\r\n"));
    CHttpClient::Reply reply;
    ASSERT_TRUE(other.ReceiveReply(reply, 10000));
    EXPECT_EQ(reply.body, "small reply");
}

}  // namespace

namespace {

// Pipelined package requests: each file is opened when the reply before it
// has left the queue, so the connection holds one package file at a time.
TEST_F(TransferTest, PipelinedPackagesAreOpenedOneAtATime) {
    CHttpClient client;
    Connect(client, kSmallReceiveBuffer);
    std::string requests;
    for (int i = 0; i < 3; ++i) requests += "GET /packages/large.bin HTTP/1.1\r\n\r\n";
    ASSERT_TRUE(client.Send(requests + "GET /packages/small.txt HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(WaitUntilSendBlocked());
    ASSERT_TRUE(WaitForLog(L"Request for: '/packages/small.txt'"));
    std::size_t open = 0;
    std::uint64_t counted = 0;
    RunOnLoop([&] {
        open = Live()[0]->OpenPackageFiles();
        counted = Connections().Context().PackageDescriptors().Used();
    });
    EXPECT_EQ(open, 1u);
    EXPECT_EQ(counted, 1u);

    for (int i = 0; i < 3; ++i) {
        CHttpClient::Reply reply;
        ASSERT_TRUE(client.ReceiveReply(reply, 30000)) << i;
        EXPECT_TRUE(reply.body == m_strLarge) << "reply " << i << " differs";
    }
    CHttpClient::Reply last;
    ASSERT_TRUE(client.ReceiveReply(last, 10000));
    EXPECT_EQ(last.body, "small reply");
}

}  // namespace
