// Requests however clients send them: in pieces, pipelined, with bodies, half-closed, never read, hostile.
#include "server/RequestFraming.h"
#include "server/ServerFixture.h"

using namespace server_test;

namespace {

using Lines = std::vector<std::wstring>;

// Each request the framer hands out, as "METHOD PATH" (with " close" when
// the connection must end after it); a head that never ended follows as "end: ...".
std::vector<std::string> Frame(const std::vector<std::string_view>& pieces) {
    CRequestFramer framer;
    std::vector<std::string> out;
    RequestHead head;
    auto describe = [](const RequestHead& h) {
        return WideToUtf8(h.line.method) + " " + WideToUtf8(h.line.path) + (h.closeAfterReply ? " close" : "");
    };
    for (std::string_view piece : pieces) {
        framer.Receive(piece);
        while (framer.Next(head) == CRequestFramer::Step::Head) out.push_back(describe(head));
    }
    if (framer.TakeUnfinishedHead(head)) out.push_back("end: " + describe(head));
    return out;
}

TEST(RequestFramer, HeadsBodiesAndWhatCannotBeFramed) {
    struct Case {
        std::string input;
        std::vector<std::string> requests;
    };
    const Case cases[] = {
        {"GET /a HTTP/1.1\r\nHost: x\r\n\r\n", {"GET /a"}},
        {"GET /a\n\nGET /b\r\n\nHEAD /c\n\r\n", {"GET /a", "GET /b", "HEAD /c"}},
        {"\r\n\r\n\nGET /a HTTP/1.1\r\n\r\n\r\n", {"GET /a"}},
        {"POST /a\r\nContent-Length: 5\r\n\r\nhelloGET /b\r\n\r\n", {"POST /a", "GET /b"}},
        {"POST /a\r\ncontent-LENGTH:\t 3 \r\nContent-Length: 3\r\n\r\nabcGET /b\r\n\r\n", {"POST /a", "GET /b"}},
        {"POST /a\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", {"POST /a close"}},
        {"POST /a\r\nContent-Length: 12x\r\n\r\n", {"POST /a close"}},
        {"POST /a\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\n", {"POST /a close"}},
        {"GET /a HTTP/1.1\r\nHost: x\r\n", {"end: GET /a"}},
        {"GET /a HTTP/1.1\r\n\r\nGET /b", {"GET /a", "end: GET /b"}},
        // The client asks for the close: nothing after its request is one.
        {"GET /a HTTP/1.0\r\n\r\nGET /b HTTP/1.1\r\n\r\n", {"GET /a close"}},
        {"GET /a HTTP/1.0  \r\nConnection: keep-alive\r\n\r\n", {"GET /a close"}},
        {"GET /a HTTP/1.1\r\nConnection: close\r\n\r\nGET /b\r\n\r\n", {"GET /a close"}},
        {"GET /a HTTP/1.1\r\nconnection:Keep-Alive , CLOSE\r\n\r\nGET /b\r\n\r\n", {"GET /a close"}},
        {"POST /a HTTP/1.1\r\nContent-Length: 3\r\nConnection: close\r\n\r\nabcGET /b\r\n\r\n", {"POST /a close"}},
        {"GET /a HTTP/1.1\r\nConnection: keep-alive\r\nX: close\r\n\r\nGET /b HTTP/1.0\r\n\r\n", {"GET /a", "GET /b close"}},
        {"GET /a HTTP/1.1\r\nConnection: closed, upgrade\r\n\r\nGET /b\r\n\r\n", {"GET /a", "GET /b"}},
        {"GET /a http/1.0\r\n\r\nGET HTTP/1.0\r\n\r\n", {"GET /a", "GET HTTP/1.0"}},
        {"GET /a HTTP/1.0\r\n", {"end: GET /a close"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Frame({c.input}), c.requests) << c.input;
        // The same bytes one at a time frame the same way.
        std::vector<std::string_view> bytes;
        for (std::size_t i = 0; i < c.input.size(); ++i) bytes.push_back(std::string_view(c.input).substr(i, 1));
        EXPECT_EQ(Frame(bytes), c.requests) << "byte by byte: " << c.input;
    }
}

// The part of a 10-byte file (and of an empty one) that a head's Range and
// If-Range lines select, as "first-last", "416" or "whole".
TEST(RequestFramer, RangeFieldsOfAHead) {
    const auto select = [](const RequestHead& head, std::uint64_t size) -> std::string {
        const ByteRangePart part = SelectByteRange(head.rangeFields.range, size);
        if (part.verdict == ByteRangePart::Verdict::NotSatisfiable) return "416";
        if (part.verdict == ByteRangePart::Verdict::Whole) return "whole";
        return std::to_string(part.first) + "-" + std::to_string(part.first + part.length - 1);
    };
    struct Case {
        std::string fields;
        std::string ofTen;
        std::string ofEmpty;
        bool ifRange;
    };
    const Case cases[] = {
        {"Range: bytes=2-3", "2-3", "416", false},
        {"RANGE:bytes=2-\r\nHost: x", "2-9", "416", false},
        {"Range: bytes= , 2-3 ,", "2-3", "416", false},
        {"Range: bytes=-4", "6-9", "whole", false},
        {"Range: bytes=-99999999999999999999", "0-9", "whole", false},
        {"Range: bytes=0-99999999999999999999", "0-9", "416", false},
        {"Range: bytes=99999999999999999999-", "416", "416", false},
        {"Range: bytes=99999999999999999999-99999999999999999998", "whole", "whole", false},
        {"Range: bytes=0002-03", "2-3", "416", false},
        {"Range: bytes =2-3", "whole", "whole", false},
        {"Range: bytes=2 - 3", "whole", "whole", false},
        {"Range: bytes=+2-3", "whole", "whole", false},
        {"Range: bytes=-", "whole", "whole", false},
        {"Range: bytes=", "whole", "whole", false},
        {"Range: bytes=2-3\r\nrange: bytes=2-3", "whole", "whole", false},
        {"If-Range: Wed, 21 Oct 2015 07:28:00 GMT\r\nRange: bytes=2-3", "2-3", "416", true},
        {"Host: x", "whole", "whole", false},
    };
    for (const Case& c : cases) {
        CRequestFramer framer;
        framer.Receive("GET /a HTTP/1.1\r\n" + c.fields + "\r\n\r\n");
        RequestHead head;
        ASSERT_EQ(framer.Next(head), CRequestFramer::Step::Head) << c.fields;
        EXPECT_EQ(select(head, 10), c.ofTen) << c.fields;
        EXPECT_EQ(select(head, 0), c.ofEmpty) << c.fields;
        EXPECT_EQ(head.rangeFields.hasIfRange, c.ifRange) << c.fields;
    }
}

class RequestFramingTest : public ServerFixture {
  protected:
    void SetUp() override {
        ServerFixture::SetUp();
        ASSERT_TRUE(MakePackage(L"a.zip", "A"));
        ASSERT_TRUE(MakePackage(L"b.zip", "BB"));
    }
    // The log lines of one GET of a package.
    Lines PackageLines(const std::wstring& name) const {
        return {L"Request for: '/packages/" + name + L"'", L"200_OK => '" + PackagePath(name) + L"'",
                L"Transmitting file  completed...", L"Transmitting file " + name + L" completed..."};
    }
    // Waits until the one connection holds part of a request.
    bool WaitUntilPartHeld() {
        return WaitOnLoop([&] {
            const auto live = Live();
            return live.size() == 1 && !live[0]->IsIdle();
        });
    }
};

TEST_F(RequestFramingTest, PipelinedRequestsAreAnsweredInOrder) {
    for (int count : {2, 100}) {
        CHttpClient client;
        Connect(client);
        std::string requests;
        for (int i = 0; i < count; ++i) requests += i % 2 ? "GET /packages/b.zip HTTP/1.1\r\n\r\n" : "GET /packages/a.zip HTTP/1.1\r\n\r\n";
        ASSERT_TRUE(client.Send(requests));
        for (int i = 0; i < count; ++i) {
            CHttpClient::Reply reply;
            ASSERT_TRUE(client.ReceiveReply(reply, 10000)) << i;
            EXPECT_EQ(reply.body, i % 2 ? "BB" : "A") << i;
        }
        Sync();
        EXPECT_EQ(m_pLog->New().size(), 4u * count);
    }
}

TEST_F(RequestFramingTest, HeadInPiecesGetsExactlyOneReply) {
    const std::string request = "GET /packages/a.zip HTTP/1.1\r\nHost: x\r\nAccept: */*\r\n\r\n";
    CHttpClient client;
    Connect(client);
    // Split at every position, on one keep-alive connection.
    for (std::size_t split = 1; split < request.size(); ++split) {
        ASSERT_TRUE(client.Send(request.substr(0, split)));
        ASSERT_TRUE(WaitUntilPartHeld()) << split;
        ASSERT_TRUE(client.Send(request.substr(split)));
        CHttpClient::Reply reply;
        ASSERT_TRUE(client.ReceiveReply(reply, 10000)) << split;
        EXPECT_EQ(reply.body, "A");
        Sync();
        EXPECT_EQ(m_pLog->New(), PackageLines(L"a.zip")) << split;
    }
    // Byte by byte.
    for (char c : request) {
        ASSERT_TRUE(client.Send(std::string(1, c)));
        if (c != '\n') {
            ASSERT_TRUE(WaitUntilPartHeld());
        }
    }
    CHttpClient::Reply reply;
    ASSERT_TRUE(client.ReceiveReply(reply, 10000));
    EXPECT_EQ(reply.body, "A");
    Sync();
    EXPECT_EQ(m_pLog->New(), PackageLines(L"a.zip"));
    EXPECT_EQ(client.ReceiveSome(200), "") << "a second reply";
}

TEST_F(RequestFramingTest, BodiesAreSkippedAndUnframableRequestsEndTheConnection) {
    // A declared body, in pieces: skipped, and the next request is answered.
    CHttpClient client;
    Connect(client);
    ASSERT_TRUE(client.Send("POST /packages/a.zip HTTP/1.1\r\nContent-Length: 10\r\n\r\n0123"));
    ASSERT_TRUE(client.Send("456789GET /packages/b.zip HTTP/1.1\r\n\r\n"));
    CHttpClient::Reply first, second;
    ASSERT_TRUE(client.ReceiveReply(first, 10000));
    ASSERT_TRUE(client.ReceiveReply(second, 10000));
    EXPECT_EQ(first.body + second.body, "ABB");

    // A body whose end cannot be known: the reply, then the close.
    CHttpClient chunked;
    Connect(chunked);
    ASSERT_TRUE(chunked.Send("POST /packages/a.zip HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n"
                             "GET /packages/b.zip HTTP/1.1\r\n\r\n"));
    std::string received;
    EXPECT_TRUE(chunked.ReceiveUntilClosed(received, 10000));
    EXPECT_EQ(received, OctetHead(1) + "A");

    // A head that never ends within 64 KiB: one 404, then the close.
    CHttpClient endless;
    Connect(endless);
    m_pLog->New();
    ASSERT_TRUE(endless.Send("GET /packages/a.zip HTTP/1.1\r\nX-Filler: " + std::string(CRequestFramer::kMaxHeadBytes, 'x')));
    received.clear();
    EXPECT_TRUE(endless.ReceiveUntilClosed(received, 10000));
    EXPECT_EQ(received, kNotFoundHead);
    Sync();
    EXPECT_EQ(m_pLog->New(), (Lines{L"Request for: '/packages/a.zip'", L"Transmitting file  completed...",
                                    L"404_NOT_FOUND => '/packages/a.zip'",
                                    L"Request head longer than 65536 bytes: connection closed"}));
}

// After the reply to a request whose client asked for the close (HTTP/1.0,
// or "close" in its Connection field), the replies queued before it and its
// own go out, then the connection closes: what follows is not answered and
// no reply changes. Any other request leaves the connection open.
TEST_F(RequestFramingTest, ConnectionClosesWhenItsClientAsks) {
    const std::string a = OctetHead(1) + "A";
    const std::string b = OctetHead(2) + "BB";
    const std::string getA = "GET /packages/a.zip HTTP/1.1\r\n\r\n";
    struct Case {
        std::string requests;
        std::string received;  // up to the close
        std::size_t answered;  // requests answered (their log lines)
    };
    const Case cases[] = {
        {"GET /packages/a.zip HTTP/1.0\r\n\r\n" + getA, a, 1},
        {"GET /packages/b.zip HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n" + getA, b, 1},
        {"GET /packages/b.zip HTTP/1.1\r\n\r\nGET /packages/a.zip HTTP/1.1\r\nConnection: close\r\n\r\n" + getA, b + a, 2},
        {"GET /packages/a.zip HTTP/1.1\r\nConnection: keep-alive, close\r\n\r\n" + getA, a, 1},
        {"GET /packages/none.zip HTTP/1.1\r\nConnection: Close\r\n\r\n" + getA, kNotFoundHead, 1},
        {"HEAD /packages/b.zip HTTP/1.0\r\n\r\n", OctetHead(0), 1},
    };
    for (const Case& c : cases) {
        CHttpClient client;
        Connect(client);
        m_pLog->New();
        ASSERT_TRUE(client.Send(c.requests));
        std::string received;
        EXPECT_TRUE(client.ReceiveUntilClosed(received, 10000)) << c.requests;
        EXPECT_EQ(received, c.received) << c.requests;
        // The server lingers until its client closes too.
        client.Close();
        EXPECT_TRUE(WaitOnLoop([&] { return Live().empty(); })) << c.requests;
        Sync();
        std::size_t requestLines = 0;
        for (const std::wstring& line : m_pLog->New()) requestLines += line.rfind(L"Request for: ", 0) == 0;
        EXPECT_EQ(requestLines, c.answered) << c.requests;
    }
    // An HTTP/1.1 request without it: the connection stays open.
    CHttpClient client;
    Connect(client);
    ASSERT_TRUE(client.Send("GET /packages/a.zip HTTP/1.1\r\nConnection: keep-alive\r\n\r\n"));
    CHttpClient::Reply reply;
    ASSERT_TRUE(client.ReceiveReply(reply, 10000));
    EXPECT_EQ(reply.head + reply.body, a);
    Sync();
    EXPECT_EQ(m_pLog->New(), PackageLines(L"a.zip"));
    EXPECT_EQ(client.ReceiveSome(200), "");
    EXPECT_FALSE(client.PeerClosed());
    ASSERT_TRUE(client.Send(getA));
    ASSERT_TRUE(client.ReceiveReply(reply, 10000));
    EXPECT_EQ(reply.head + reply.body, a);
    EXPECT_EQ(LiveConnectionCount(), 1u);
}

TEST_F(RequestFramingTest, HalfClosedClientGetsEveryReplyItAskedFor) {
    const std::string large = PatternBytes(20u << 20, 5);
    ASSERT_TRUE(MakePackage(L"large.bin", large));
    CHttpClient client;
    Connect(client, 16384);
    ASSERT_TRUE(client.Send("GET /packages/large.bin HTTP/1.1\r\n\r\nGET /packages/a.zip HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(client.ShutdownWrite());
    ASSERT_TRUE(WaitOnLoop([&] {
        const auto live = Live();
        return live.size() == 1 && live[0]->IsSendWaiting();
    }));
    // Read slowly: small pieces with pauses, so the server waits for room often.
    std::string received;
    for (int i = 0; i < 20; ++i) {
        received += client.ReceiveSome(10000, 4096);
        plat::SleepMilliseconds(10);
    }
    EXPECT_TRUE(client.ReceiveUntilClosed(received, 60000)) << "no orderly close after the replies";
    EXPECT_TRUE(received == OctetHead(large.size()) + large + OctetHead(1) + "A") << received.size() << " bytes";
    EXPECT_EQ(LiveConnectionCount(), 0u);

    // A last request that ends with the close instead of its empty line.
    CHttpClient terse;
    Connect(terse);
    ASSERT_TRUE(terse.Send("GET /packages/b.zip HTTP/1.1\r\n"));
    ASSERT_TRUE(terse.ShutdownWrite());
    received.clear();
    EXPECT_TRUE(terse.ReceiveUntilClosed(received, 10000));
    EXPECT_EQ(received, OctetHead(2) + "BB");
}

TEST_F(RequestFramingTest, ClientThatNeverReadsIsHeldToABoundedQueue) {
    ASSERT_TRUE(MakePackage(L"mib.bin", PatternBytes(1u << 20, 6)));
    CHttpClient hog;
    Connect(hog, 16384);
    std::string requests;
    for (int i = 0; i < 4000; ++i) requests += "GET /packages/mib.bin HTTP/1.1\r\n\r\n";
    ASSERT_TRUE(hog.Send(requests));
    ASSERT_TRUE(WaitOnLoop([&] {
        const auto live = Live();
        return live.size() == 1 && live[0]->State() == ConnectionState::ReadPaused;
    }));
    // A package reply is two entries; the last request read may add one past the limit.
    std::size_t queued = 0;
    RunOnLoop([&] { queued = Live()[0]->QueuedReplyEntries(); });
    EXPECT_LE(queued, CHTTPUpdateServiceSocket::kMaxQueuedEntries + 2);

    // Another client is served at once.
    CHttpClient other;
    Connect(other);
    ASSERT_TRUE(other.Send("GET /packages/a.zip HTTP/1.1\r\n\r\n"));
    CHttpClient::Reply reply;
    ASSERT_TRUE(other.ReceiveReply(reply, 10000));
    EXPECT_EQ(reply.body, "A");

    hog.Abort();
    EXPECT_TRUE(WaitOnLoop([&] { return Live().size() == 1; }));
}

TEST_F(RequestFramingTest, RequestTextCannotForgeOrGarbleLogLines) {
    CHttpClient client;
    Connect(client);
    // CR LF with a made-up line behind it, ESC, BEL and NUL.
    ASSERT_TRUE(client.Send("GET /x%0d%0a01/01/2026%2000:00:00:%201:%20forged%1b[2J%07%00 HTTP/1.1\r\n\r\n"));
    CHttpClient::Reply reply;
    ASSERT_TRUE(client.ReceiveReply(reply, 10000));
    const std::wstring shown = L"/x\\x0D\\x0A01/01/2026 00:00:00: 1: forged\\x1B[2J\\x07\\x00";
    Sync();
    EXPECT_EQ(m_pLog->New(), (Lines{L"Request for: '" + shown + L"'", L"Transmitting file  completed...",
                                    L"404_NOT_FOUND => '" + shown + L"'"}));

    // A long path is cut.
    const std::string longPath = "/" + std::string(60000, 'p');
    ASSERT_TRUE(client.Send("GET " + longPath + " HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(client.ReceiveReply(reply, 10000));
    Sync();
    const Lines lines = m_pLog->New();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], L"Request for: '" + Utf8ToWideLossy(longPath.substr(0, 1024)) + L"...'");
}

}  // namespace

// A head that does not end within the head time-out (counted from its first
// byte) ends its connection, with one log line; an idle keep-alive
// connection, and one whose head came whole, stay.
TEST_F(RequestFramingTest, HeadThatDoesNotEndInTimeEndsItsConnection) {
    const std::uint64_t start = 7000000000ull;
    SetTickCountForTests(start);
    const std::wstring line = L"Request head not complete after 60 seconds: connection closed";
    CHttpClient slow, idle, served;
    for (CHttpClient* client : {&slow, &idle, &served}) Connect(*client);
    ASSERT_TRUE(slow.Send("GET /packages/a.zip HTTP/1.1\r\nHost: x\r\n"));
    ASSERT_TRUE(served.Send("GET /packages/a.zip HTTP/1.1\r\n\r\n"));
    CHttpClient::Reply reply;
    ASSERT_TRUE(served.ReceiveReply(reply, 10000));
    ASSERT_TRUE(WaitOnLoop([&] { return Live().size() == 3 && Connections().Context().HeadBytes().Used() > 0; }));

    struct Step {
        std::uint64_t afterMs;
        std::size_t closed;
    };
    for (const Step& step : {Step{59999, 0}, Step{60000, 1}, Step{600000, 0}}) {
        SetTickCountForTests(start + step.afterMs);
        std::size_t closed = 99;
        RunOnLoop([&] { closed = Connections().CheckConnections(); });
        EXPECT_EQ(closed, step.closed) << step.afterMs << " ms";
    }
    EXPECT_TRUE(m_pLog->Contains(line));
    std::string received;
    EXPECT_TRUE(slow.ReceiveUntilClosed(received, 10000));
    EXPECT_EQ(received, "");
    EXPECT_EQ(LiveConnectionCount(), 2u);
    std::uint64_t headBytes = 99;
    RunOnLoop([&] { headBytes = Connections().Context().HeadBytes().Used(); });
    EXPECT_EQ(headBytes, 0u) << "the closed head's bytes are given back";
}
