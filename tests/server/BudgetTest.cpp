// The budgets across connections: heads, reply memory and package descriptors, each reached and released.
#include "server/ServerFixture.h"

using namespace server_test;

namespace {

using Lines = std::vector<std::wstring>;

// A server whose budgets are scaled down so that a few clients reach them.
class BudgetTest : public ServerFixture {
  protected:
    static constexpr std::uint64_t kHeadBudget = 100000;
    void SetUp() override {
        m_pConfig->limits.nHeadBytes = kHeadBudget;
        m_pConfig->limits.nReplyMemoryBytes = 20000;
        m_pConfig->limits.nPackageDescriptors = 1;
        ServerFixture::SetUp();
    }
    CHttpClient::Reply Ask(CHttpClient& client, std::string_view request) {
        CHttpClient::Reply reply;
        EXPECT_TRUE(client.Send(request));
        EXPECT_TRUE(client.ReceiveReply(reply, 10000)) << request;
        return reply;
    }
    template <typename Read>
    auto OnLoop(Read read) {
        decltype(read()) value{};
        RunOnLoop([&] { value = read(); });
        return value;
    }
    std::uint64_t HeadBytes() { return OnLoop([&] { return Connections().Context().HeadBytes().Used(); }); }
};

// Past the heads budget the connection holding the largest head goes; the others stay, and room is given back.
TEST_F(BudgetTest, HeadsBudget) {
    const std::string start = "GET /packages/a.zip HTTP/1.1\r\nX-Filler: ";
    struct Client {
        std::size_t headBytes;
        bool closed;
    };
    const Client clients[] = {{30000, false}, {50000, true}, {40000, false}, {25000, false}};
    CHttpClient sockets[4];
    std::uint64_t expectedKept = 0;
    for (int i = 0; i < 4; ++i) {
        Connect(sockets[i]);
        ASSERT_TRUE(sockets[i].Send(start + std::string(clients[i].headBytes - start.size(), 'x')));
        expectedKept += clients[i].headBytes;
        if (expectedKept > kHeadBudget) expectedKept -= 50000;  // the largest head goes
        ASSERT_TRUE(WaitOnLoop([&] { return Connections().Context().HeadBytes().Used() == expectedKept; }))
            << "client " << i << ": " << HeadBytes() << " bytes kept";
    }
    for (int i = 0; i < 4; ++i) {
        std::string received;
        EXPECT_EQ(sockets[i].ReceiveUntilClosed(received, clients[i].closed ? 10000 : 100), clients[i].closed) << i;
    }
    EXPECT_TRUE(WaitForLog(L"Connection closed: the request heads kept for all clients pass the server's budget"));
    // A head that ends is answered and gives its bytes back.
    ASSERT_TRUE(sockets[0].Send("\r\n\r\n"));
    CHttpClient::Reply reply;
    ASSERT_TRUE(sockets[0].ReceiveReply(reply, 10000));
    EXPECT_EQ(reply.status, 404);
    EXPECT_EQ(HeadBytes(), 65000u);
}

// Listings are held in memory: while unread ones pass the budget, a listing
// is answered 503; once they are gone, it is served again.
TEST_F(BudgetTest, ReplyMemoryBudget) {
    for (int i = 0; i < 1000; ++i)
        ASSERT_TRUE(MakePackage(L"tree/package-with-a-rather-long-name-" + std::to_wstring(i) + L".msi", ""));
    ASSERT_TRUE(MakePackage(L"big.bin", PatternBytes(16u << 20, 9)));
    const std::string listing = "GET /packages/tree/ListFolderContents.asp HTTP/1.1\r\n\r\n";
    CHttpClient hog, other;
    Connect(hog, 4096);
    ASSERT_TRUE(WaitOnLoop([&] { return Live().size() == 1; }));
    FixServerSendBuffer();
    // The listing's document waits in the queue behind a package that waits
    // for a client that does not read.
    ASSERT_TRUE(hog.Send("GET /packages/big.bin HTTP/1.1\r\n\r\n" + listing));
    ASSERT_TRUE(WaitOnLoop([&] { return Connections().Context().ReplyMemory().Used() > 20000; }));
    Connect(other);
    m_pLog->New();
    EXPECT_EQ(Ask(other, listing).status, 503);
    Sync();
    const Lines lines = m_pLog->New();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), L"503_SERVICE_UNAVAILABLE => '" + PackagePath(L"tree") + L"' (error 8)");

    hog.Abort();
    ASSERT_TRUE(WaitOnLoop([&] { return Connections().Context().ReplyMemory().Used() == 0; }));
    EXPECT_EQ(Ask(other, listing).status, 200);
}

// Package files held open by replies: past the budget a large package is
// answered 503 and a small one is read whole; once the holder is gone, the
// large one is served.
TEST_F(BudgetTest, PackageDescriptorBudget) {
    const std::string large = PatternBytes(3u << 20, 7);
    ASSERT_TRUE(MakePackage(L"one.bin", large));
    ASSERT_TRUE(MakePackage(L"two.bin", large));
    ASSERT_TRUE(MakePackage(L"small.bin", PatternBytes(10000, 8)));
    CHttpClient holder, other;
    Connect(holder, 16384);
    ASSERT_TRUE(WaitOnLoop([&] { return Live().size() == 1; }));
    FixServerSendBuffer();
    ASSERT_TRUE(holder.Send("GET /packages/one.bin HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(WaitUntilSendBlocked());
    Connect(other);

    struct Case {
        const char* request;
        int status;
        std::size_t bodyBytes;
    };
    for (const Case& c : {Case{"GET /packages/two.bin HTTP/1.1\r\n\r\n", 503, 0},
                          Case{"GET /packages/small.bin HTTP/1.1\r\n\r\n", 200, 10000}}) {
        const auto reply = Ask(other, c.request);
        EXPECT_EQ(reply.status, c.status) << c.request;
        EXPECT_EQ(reply.body.size(), c.bodyBytes) << c.request;
    }
    EXPECT_TRUE(m_pLog->Contains(L"503_SERVICE_UNAVAILABLE => '" + PackagePath(L"two.bin") + L"' (error 4)"));

    holder.Abort();
    ASSERT_TRUE(WaitOnLoop([&] { return Connections().Context().PackageDescriptors().Used() == 0; }));
    EXPECT_TRUE(Ask(other, "GET /packages/two.bin HTTP/1.1\r\n\r\n").body == large);
}

}  // namespace
