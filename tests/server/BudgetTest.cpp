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
    EXPECT_EQ(OnLoop([&] { return Connections().Context().Figures().nClosed[std::size_t(CloseCause::Budget)]; }), 1u);
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

// The value of the sample `name` (with its labels, as the page spells them) on a figures page; -1 when absent.
long long FigureOn(const std::string& page, const std::string& name) {
    const std::string start = "\n" + name + " ";
    const std::size_t at = ("\n" + page).find(start);
    if (at == std::string::npos) return -1;
    return std::stoll(page.substr(at + start.size() - 1));
}

// After a known sequence of requests (two packages, a head, a part, a range
// past the end, a 404, a listing, a 503 from the listings budget) every
// figure has the value the sequence gives it; the bytes sent are those the
// clients read, and a page counts the scrapes before it.
TEST_F(BudgetTest, FiguresAfterAKnownSequence) {
    for (int i = 0; i < 500; ++i)
        ASSERT_TRUE(MakePackage(L"tree/package-with-a-rather-long-name-" + std::to_wstring(i) + L".msi", ""));
    ASSERT_TRUE(MakePackage(L"big.bin", PatternBytes(1u << 20, 3)));
    ASSERT_TRUE(MakePackage(L"a.zip", "package-a"));
    const std::string listing = "GET /packages/tree/ListFolderContents.asp HTTP/1.1\r\n\r\n";
    CHttpClient hog, other, scraper;
    Connect(hog, 4096);
    ASSERT_TRUE(WaitOnLoop([&] { return Live().size() == 1; }));
    FixServerSendBuffer();
    // The hog's listing waits behind its package and holds the listings budget.
    ASSERT_TRUE(hog.Send("GET /packages/big.bin HTTP/1.1\r\n\r\n" + listing));
    ASSERT_TRUE(WaitOnLoop([&] { return Connections().Context().ReplyMemory().Used() > 20000; }));
    Connect(other);
    std::uint64_t received = 0;
    struct Case {
        std::string request;
        int status;
    };
    for (const Case& c : {Case{listing, 503}, Case{"GET /packages/a.zip HTTP/1.1\r\n\r\n", 200},
                          Case{"HEAD /packages/a.zip HTTP/1.1\r\n\r\n", 200},
                          Case{"GET /packages/a.zip HTTP/1.1\r\nRange: bytes=0-3\r\n\r\n", 206},
                          Case{"GET /packages/a.zip HTTP/1.1\r\nRange: bytes=100-\r\n\r\n", 416},
                          Case{"GET /nothing HTTP/1.1\r\n\r\n", 404}}) {
        const CHttpClient::Reply reply = Ask(other, c.request);
        EXPECT_EQ(reply.status, c.status) << c.request;
        received += reply.head.size() + reply.body.size();
    }
    for (int i = 0; i < 2; ++i) {
        CHttpClient::Reply reply;
        ASSERT_TRUE(hog.ReceiveReply(reply, 30000));
        EXPECT_EQ(reply.status, 200);
        received += reply.head.size() + reply.body.size();
    }
    other.Close();
    ASSERT_TRUE(WaitOnLoop([&] {
        return Live().size() == 1 && Connections().Context().ReplyMemory().Used() == 0;
    }));

    Connect(scraper);
    const std::string scrape = "GET /metrics HTTP/1.1\r\n\r\n";
    const CHttpClient::Reply first = Ask(scraper, scrape);
    ASSERT_EQ(first.status, 200);
    EXPECT_NE(first.head.find("\r\nContent-Type: text/plain; version=0.0.4\r\n"), std::string::npos) << first.head;
    const std::pair<std::string, long long> expected[] = {
        {"velmora_requests_total{reply=\"200\"}", 2},
        {"velmora_requests_total{reply=\"head\"}", 1},
        {"velmora_requests_total{reply=\"206\"}", 1},
        {"velmora_requests_total{reply=\"404\"}", 1},
        {"velmora_requests_total{reply=\"416\"}", 1},
        {"velmora_requests_total{reply=\"503\"}", 1},
        {"velmora_requests_total{reply=\"listing\"}", 1},
        {"velmora_requests_total{reply=\"metrics\"}", 0},
        {"velmora_sent_bytes_total", static_cast<long long>(received)},
        {"velmora_connections_accepted_total", 3},
        {"velmora_connections_closed_total{cause=\"client\"}", 1},
        {"velmora_connections_closed_total{cause=\"idle_eviction\"}", 0},
        {"velmora_connections_closed_total{cause=\"budget\"}", 0},
        {"velmora_connections_open", 2},
        {"velmora_package_files_open", 0},
        // The scrape's own head is kept while it is answered.
        {"velmora_budget_used{budget=\"head_bytes\"}", static_cast<long long>(scrape.size())},
        {"velmora_budget_used{budget=\"listing_bytes\"}", 0},
        {"velmora_budget_used{budget=\"package_descriptors\"}", 0},
        {"velmora_budget_size{budget=\"head_bytes\"}", static_cast<long long>(kHeadBudget)},
        {"velmora_budget_size{budget=\"listing_bytes\"}", 20000},
        {"velmora_budget_size{budget=\"package_descriptors\"}", 1},
        {"velmora_listings_built_total", 1},
        {"velmora_listings_shared_total", 0},
        {"velmora_log_lines_dropped_total", 0},
    };
    for (const auto& [name, value] : expected) EXPECT_EQ(FigureOn(first.body, name), value) << name;
    EXPECT_GE(FigureOn(first.body, "velmora_uptime_seconds"), 0);

    const CHttpClient::Reply second = Ask(scraper, scrape);
    EXPECT_EQ(FigureOn(second.body, "velmora_requests_total{reply=\"metrics\"}"), 1);
    EXPECT_EQ(FigureOn(second.body, "velmora_sent_bytes_total"),
              static_cast<long long>(received + first.head.size() + first.body.size()));
    EXPECT_TRUE(m_pLog->Contains(L"200_OK_METRICS => '/metrics'"));
}

// Without the figures (-metrics:off) the path is one like any other: 404, also from this machine.
class FiguresOffTest : public ServerFixture {
  protected:
    void SetUp() override {
        m_pConfig->m_bMetrics = false;
        ServerFixture::SetUp();
    }
};

TEST_F(FiguresOffTest, MetricsPathIsNotFound) {
    CHttpClient client;
    Connect(client);
    ASSERT_TRUE(client.Send("GET /metrics HTTP/1.1\r\n\r\n"));
    CHttpClient::Reply reply;
    ASSERT_TRUE(client.ReceiveReply(reply, 10000));
    EXPECT_EQ(reply.head, kNotFoundHead);
    EXPECT_TRUE(WaitForLog(L"404_NOT_FOUND => '/metrics'"));
}

}  // namespace
