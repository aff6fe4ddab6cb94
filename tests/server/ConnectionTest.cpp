// A connection over real loopback TCP: replies byte for byte, log lines, routes and decoding.
#include "server/ConnectionState.h"
#include "server/ListingService.h"
#include "server/ServerFixture.h"

using namespace server_test;

namespace {

using Lines = std::vector<std::wstring>;

class ConnectionTest : public ServerFixture {
  protected:
    // Sends `request` and reads one reply (head only when `headOnly`).
    CHttpClient::Reply Ask(CHttpClient& client, std::string_view request, bool headOnly = false) {
        CHttpClient::Reply reply;
        EXPECT_TRUE(client.Send(request));
        EXPECT_TRUE(client.ReceiveReply(reply, 10000, headOnly)) << request;
        return reply;
    }
    // The log lines of the requests answered so far.
    Lines NewLog() {
        Sync();
        return m_pLog->New();
    }
    // A request on the same connection is answered next: nothing else was
    // sent in between, and the connection still works.
    void ExpectAnsweredNext(CHttpClient& client) {
        const auto reply = Ask(client, "GET /index.html HTTP/1.1\r\n\r\n");
        EXPECT_EQ(reply.head, kNotFoundHead);
        EXPECT_EQ(NewLog(), (Lines{L"Request for: '/index.html'", L"Transmitting file  completed...",
                                   L"404_NOT_FOUND => '/index.html'"}));
    }
};

TEST_F(ConnectionTest, GetAndHeadRepliesAndTheirLogLines) {
    ASSERT_TRUE(MakePackage(L"sub/a.zip", "hello, package"));
    const std::wstring full = PackagePath(L"sub/a.zip");
    CHttpClient client;
    Connect(client);

    auto reply = Ask(client, "GET /packages/sub/a.zip HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(reply.head, OctetHead(14));
    EXPECT_EQ(reply.body, "hello, package");
    EXPECT_EQ(NewLog(), (Lines{L"Request for: '/packages/sub/a.zip'", L"200_OK => '" + full + L"'",
                               L"Transmitting file  completed...", L"Transmitting file a.zip completed..."}));

    reply = Ask(client, "hEaD /packages/sub/a.zip HTTP/1.1\r\n\r\n", true);
    EXPECT_EQ(reply.head, OctetHead(0));
    EXPECT_EQ(NewLog(), (Lines{L"Request for: '/packages/sub/a.zip'", L"200_OK_HEAD => '" + full + L"'",
                               L"Transmitting file  completed..."}));

    // The prefix ignores case; the rest is the file system's business.
    reply = Ask(client, "GET /PACKAGES/sub/a.zip HTTP/1.1\r\n\r\n");
    EXPECT_EQ(reply.body, "hello, package");
    reply = Ask(client, "GET /Packages/SUB/A.ZIP HTTP/1.1\r\n\r\n");
    const Lines log = NewLog();
    ASSERT_GE(log.size(), 2u);
    EXPECT_TRUE(log[1].rfind(L"200_OK => '", 0) == 0 ||
                log[1] == L"UpdateAndCheckFilePath file not found => '" + PackagePath(L"SUB/A.ZIP") + L"'")
        << log[1];

    // A POST, or any other word, is served like a GET on the file route.
    reply = Ask(client, "POST /packages/sub/a.zip HTTP/1.1\r\n\r\n");
    EXPECT_EQ(reply.body, "hello, package");
    NewLog();
    ExpectAnsweredNext(client);
}

TEST_F(ConnectionTest, ListingRoutes) {
    ASSERT_TRUE(MakePackage(L"a.zip", "a"));
    ASSERT_TRUE(MakePackage(L"sub/b\u00e9.msi", "b"));
    CHttpClient client;
    Connect(client);

    const std::wstring subXml = L"<FileIndex><Folder Name=\"sub\"><File Name=\"b\u00e9.msi\" /></Folder></FileIndex>";
    const std::string subBody = plat::XmlDocumentToAnsi(subXml);
    const std::string subHead =
        "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(subBody.size()) + "\r\n\r\n";
    for (const char* request : {"GET /packages/sub/ListFolderContents.asp HTTP/1.1\r\n\r\n",
                                "PUT /sub/listfoldercontents.ASP HTTP/1.1\r\n\r\n"}) {
        const auto reply = Ask(client, request);
        EXPECT_EQ(reply.head, subHead);
        EXPECT_EQ(reply.body, subBody);
        const Lines log = NewLog();
        ASSERT_EQ(log.size(), 2u);
        EXPECT_EQ(log[1], L"Transmitting file  completed...");
    }

    // The packages folder itself carries its own name.
    const auto reply = Ask(client, "GET /packages/ListFolderContents.asp HTTP/1.1\r\n\r\n");
    const std::wstring file = L"<File Name=\"a.zip\" />";
    const std::wstring sub = L"<Folder Name=\"sub\"><File Name=\"b\u00e9.msi\" /></Folder>";
    const auto document = [](const std::wstring& entries) {
        return plat::XmlDocumentToAnsi(L"<FileIndex><Folder Name=\"packages\">" + entries + L"</Folder></FileIndex>");
    };
    EXPECT_TRUE(reply.body == document(file + sub) || reply.body == document(sub + file)) << reply.body;
    NewLog();

    // A missing folder: the 404 reply; the log names the path without the prefix.
    EXPECT_EQ(Ask(client, "GET /packages/nosuch/ListFolderContents.asp HTTP/1.1\r\n\r\n").head, kNotFoundHead);
    EXPECT_EQ(NewLog(), (Lines{L"Request for: '/packages/nosuch/ListFolderContents.asp'",
                               L"UpdateAndCheckFilePath Folder not found => '" + PackagePath(L"nosuch") + L"'",
                               L"Transmitting file  completed...",
                               L"404_NOT_FOUND => '/nosuch/ListFolderContents.asp'"}));
}

TEST_F(ConnectionTest, PathDecoding) {
    ASSERT_TRUE(MakePackage(L"a b.zip", "space"));
    ASSERT_TRUE(MakePackage(L"\u00e9.zip", "accent"));
    ASSERT_TRUE(MakePackage(L"x4", "four"));
    ASSERT_TRUE(MakePackage(L"a.zip", "plain"));
    CHttpClient client;
    Connect(client);

    EXPECT_EQ(Ask(client, "GET /packages/a%20b.zip HTTP/1.1\r\n\r\n").body, "space");
    EXPECT_EQ(Ask(client, "GET /packages/a+b.zip HTTP/1.1\r\n\r\n").body, "space");
    EXPECT_EQ(Ask(client, "GET /packages/%C3%A9.zip HTTP/1.1\r\n\r\n").body, "accent");
    EXPECT_EQ(Ask(client, "GET /packages/\xC3\xA9.zip HTTP/1.1\r\n\r\n").body, "accent");
    EXPECT_EQ(Ask(client, "GET /packages/x%4 HTTP/1.1\r\n\r\n").body, "four");
    Lines log = NewLog();
    EXPECT_EQ(log[0], L"Request for: '/packages/a b.zip'");
    EXPECT_EQ(log[8], L"Request for: '/packages/\u00e9.zip'");
    EXPECT_EQ(log[16], L"Request for: '/packages/x4'");

    // A query string, when the whole path names nothing, is left out.
    EXPECT_EQ(Ask(client, "GET /packages/a.zip?x=1 HTTP/1.1\r\n\r\n").body, "plain");
    EXPECT_EQ(NewLog(), (Lines{L"Request for: '/packages/a.zip'", L"200_OK => '" + PackagePath(L"a.zip") + L"'",
                               L"Transmitting file  completed...", L"Transmitting file a.zip completed..."}));

    // Bytes that are not UTF-8 name no file, even where a lossy reading
    // would; where the ANSI code page reads them (Windows), they name the
    // file it reads, as the listing writes its name.
    ASSERT_TRUE(MakePackage(L"\ufffd.zip", "replacement"));
    std::wstring ansi;
    if (plat::ReadNonUtf8RequestBytes("\xFF", ansi)) {
        ASSERT_TRUE(MakePackage(ansi + L".zip", "ansi"));
        EXPECT_EQ(Ask(client, "GET /packages/%FF.zip HTTP/1.1\r\n\r\n").body, "ansi");
        EXPECT_EQ(NewLog().front(), L"Request for: '/packages/" + ansi + L".zip'");
    } else {
        EXPECT_EQ(Ask(client, "GET /packages/%FF.zip HTTP/1.1\r\n\r\n").head, kNotFoundHead);
        EXPECT_EQ(NewLog(), (Lines{L"Request for: '/packages/\ufffd.zip'",
                                   L"Transmitting file  completed...",
                                   L"404_NOT_FOUND => '/packages/\ufffd.zip'"}));
    }
}

// The targets standard clients send: a "+" that belongs to the name, a
// query string, the absolute form; and "-headsizes" for their HEAD.
TEST_F(ConnectionTest, StandardClientTargetsAndHeadSizes) {
    ASSERT_TRUE(MakePackage(L"plus+sign.bin", "plus sign"));
    const std::wstring full = PackagePath(L"plus+sign.bin");
    CHttpClient client;
    Connect(client);
    const Lines served = {L"Request for: '/packages/plus+sign.bin'", L"200_OK => '" + full + L"'",
                          L"Transmitting file  completed...", L"Transmitting file plus+sign.bin completed..."};
    for (const char* target : {"/packages/plus+sign.bin", "/packages/plus+sign.bin?v=2",
                               "http://localhost:1/packages/plus%2Bsign.bin"}) {
        const auto reply = Ask(client, std::string("GET ") + target + " HTTP/1.1\r\nHost: localhost\r\n\r\n");
        EXPECT_EQ(reply.head + reply.body, OctetHead(9) + "plus sign") << target;
        EXPECT_EQ(NewLog(), served) << target;
    }
    for (const bool headSizes : {false, true, false}) {
        RunOnLoop([&] { m_pConfig->m_bHeadSizes = headSizes; });
        EXPECT_EQ(Ask(client, "HEAD /packages/plus+sign.bin HTTP/1.1\r\n\r\n", true).head, OctetHead(headSizes ? 9 : 0));
        EXPECT_EQ(NewLog(), (Lines{L"Request for: '/packages/plus+sign.bin'", L"200_OK_HEAD => '" + full + L"'",
                                   L"Transmitting file  completed..."}));
        // A GET is the same either way, and no body followed the head.
        const auto reply = Ask(client, "GET /packages/plus+sign.bin HTTP/1.1\r\n\r\n");
        EXPECT_EQ(reply.head + reply.body, OctetHead(9) + "plus sign");
        EXPECT_EQ(NewLog(), served);
    }
}

TEST_F(ConnectionTest, PathsOutsideTheFileRoute) {
    CHttpClient client;
    Connect(client);

    EXPECT_EQ(Ask(client, "GET /index.html HTTP/1.1\r\n\r\n").head, kNotFoundHead);
    EXPECT_EQ(NewLog(), (Lines{L"Request for: '/index.html'", L"Transmitting file  completed...",
                               L"404_NOT_FOUND => '/index.html'"}));

    // The packages folder exists and is readable, but is no file.
    const std::wstring folder = PackagesFolderNoSeparator();
    for (const char* request : {"GET /packages HTTP/1.1\r\n\r\n", "GET /packages/ HTTP/1.1\r\n\r\n"}) {
        EXPECT_EQ(Ask(client, request).head, kNotFoundHead);
        const Lines log = NewLog();
        ASSERT_EQ(log.size(), 4u);
        EXPECT_EQ(log[1], L"200_OK => '" + folder + L"'");
        EXPECT_EQ(log[2], L"SendFile file not found => '" + folder + L"'");
        EXPECT_EQ(log[3], L"Transmitting file  completed...");
    }

    EXPECT_EQ(Ask(client, "GET\r\n\r\n").head, kNotFoundHead);
    EXPECT_EQ(NewLog(), (Lines{L"Request for: ''", L"Transmitting file  completed...", L"404_NOT_FOUND => ''"}));
}

TEST_F(ConnectionTest, BlankRequestIsNotAnswered) {
    CHttpClient client;
    Connect(client);
    ASSERT_TRUE(client.Send("\r\n   \r\n\n  "));
    ASSERT_TRUE(client.ShutdownWrite());
    // The server reads the blank request, then sees the close and releases
    // the connection: the client gets its end of stream and no byte before it.
    std::string received;
    EXPECT_TRUE(client.ReceiveUntilClosed(received, 10000));
    EXPECT_EQ(received, "");
    EXPECT_EQ(NewLog(), Lines{});
    EXPECT_EQ(LiveConnectionCount(), 0u);
}

TEST_F(ConnectionTest, ChunkBoundariesAndEmptyPackage) {
    const std::string big = PatternBytes(3000000, 3);
    const std::string exact = PatternBytes(1048576, 4);
    ASSERT_TRUE(MakePackage(L"big.bin", big));
    ASSERT_TRUE(MakePackage(L"exact.bin", exact));
    ASSERT_TRUE(MakePackage(L"empty.bin", ""));

    for (const auto& [name, bytes] : {std::pair<std::wstring, std::string>{L"big.bin", big},
                                      {L"exact.bin", exact},
                                      {L"empty.bin", std::string()}}) {
        CHttpClient client;
        Connect(client);
        const auto reply = Ask(client, "GET /packages/" + WideToUtf8(name) + " HTTP/1.1\r\n\r\n");
        EXPECT_EQ(reply.head, OctetHead(static_cast<long long>(bytes.size())));
        EXPECT_TRUE(reply.body == bytes) << "body of " << WideToUtf8(name) << " differs";
        EXPECT_EQ(NewLog().back(), L"Transmitting file " + name + L" completed...");
        ExpectAnsweredNext(client);
    }
}

TEST_F(ConnectionTest, ConnectionsAreServedApartAndClosedByTheListenerThread) {
    ASSERT_TRUE(MakePackage(L"a.zip", "A"));
    CHttpClient first, second;
    Connect(first);
    Connect(second);
    EXPECT_EQ(Ask(first, "GET /packages/a.zip HTTP/1.1\r\n\r\n").body, "A");
    EXPECT_EQ(Ask(second, "GET /packages/a.zip HTTP/1.1\r\n\r\n").body, "A");
    EXPECT_EQ(LiveConnectionCount(), 2u);

    std::size_t closed = 0;
    RunOnLoop([&] { closed = Connections().CloseAll(); });
    EXPECT_EQ(closed, 2u);
    std::string rest;
    EXPECT_TRUE(first.ReceiveUntilClosed(rest, 10000));
    EXPECT_TRUE(second.ReceiveUntilClosed(rest, 10000));
    EXPECT_EQ(rest, "");
    EXPECT_EQ(LiveConnectionCount(), 0u);
}

std::string PartHead(std::uint64_t first, std::uint64_t last, std::uint64_t size) {
    return "HTTP/1.1 206 PARTIAL CONTENT\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
           std::to_string(last - first + 1) + "\r\nContent-Range: bytes " + std::to_string(first) + "-" +
           std::to_string(last) + "/" + std::to_string(size) + "\r\n\r\n";
}
std::string NotSatisfiableHead(std::uint64_t size) {
    return "HTTP/1.1 416 RANGE NOT SATISFIABLE\r\nContent-Type: application/octet-stream\r\nContent-Length: 0\r\n"
           "Content-Range: bytes */" + std::to_string(size) + "\r\n\r\n";
}

// One range of a package's bytes is served; every other use of the fields
// gets exactly the reply it got without them.
TEST_F(ConnectionTest, ByteRangeForms) {
    const std::string big = PatternBytes(3000000, 5);
    ASSERT_TRUE(MakePackage(L"r.bin", "0123456789"));
    ASSERT_TRUE(MakePackage(L"big.bin", big));
    ASSERT_TRUE(MakePackage(L"sub/one.txt", "1"));
    const std::wstring r = PackagePath(L"r.bin");
    const std::wstring part = L"206_PARTIAL_CONTENT => '" + r + L"' (bytes ";
    const std::wstring whole = L"200_OK => '" + r + L"'";
    const std::wstring none = L"416_RANGE_NOT_SATISFIABLE => '" + r + L"' (bytes */10)";
    // The log of a request for r.bin whose reply carries file bytes.
    const auto sent = [](const std::wstring& status, const std::wstring& name = L"r.bin") {
        return Lines{L"Request for: '/packages/" + name + L"'", status, L"Transmitting file  completed...",
                     L"Transmitting file " + name + L" completed..."};
    };
    const Lines refused{L"Request for: '/packages/r.bin'", none, L"Transmitting file  completed..."};
    const std::string listing = "<FileIndex><Folder Name=\"sub\"><File Name=\"one.txt\" /></Folder></FileIndex>";
    struct Case {
        std::string request;  // the request line and header lines, without the empty line
        std::string head;
        std::string body;
        Lines log;
    };
    const Case cases[] = {
        {"GET /packages/r.bin HTTP/1.1\r\nRange: bytes=0-0", PartHead(0, 0, 10), "0", sent(part + L"0-0/10)")},
        {"GET /packages/r.bin HTTP/1.1\r\nRange: bytes=0-", PartHead(0, 9, 10), "0123456789", sent(part + L"0-9/10)")},
        {"GET /packages/r.bin HTTP/1.1\r\nrange:\t bytes=-1 ", PartHead(9, 9, 10), "9", sent(part + L"9-9/10)")},
        {"GET /packages/r.bin HTTP/1.1\r\nRange: BYTES=3-100", PartHead(3, 9, 10), "3456789", sent(part + L"3-9/10)")},
        {"GET /packages/r.bin HTTP/1.1\r\nRange: bytes=-0", NotSatisfiableHead(10), "", refused},
        {"GET /packages/r.bin HTTP/1.1\r\nRange: bytes=10-", NotSatisfiableHead(10), "", refused},
        {"GET /packages/r.bin HTTP/1.1\r\nRange: bytes=10-5", OctetHead(10), "0123456789", sent(whole)},
        {"GET /packages/r.bin HTTP/1.1\r\nRange: bytes=0-1,5-6", OctetHead(10), "0123456789", sent(whole)},
        {"GET /packages/r.bin HTTP/1.1\r\nRange: bytes=junk", OctetHead(10), "0123456789", sent(whole)},
        {"GET /packages/r.bin HTTP/1.1\r\nRange: items=0-1", OctetHead(10), "0123456789", sent(whole)},
        {"GET /packages/r.bin HTTP/1.1\r\nRange: bytes=2-3\r\nRange: bytes=4-5", OctetHead(10), "0123456789",
         sent(whole)},
        {"GET /packages/r.bin HTTP/1.1\r\nRange: bytes=2-3\r\nIf-Range: \"x\"", OctetHead(10), "0123456789",
         sent(whole)},
        {"POST /packages/r.bin HTTP/1.1\r\nRange: bytes=2-3", OctetHead(10), "0123456789", sent(whole)},
        {"HEAD /packages/r.bin HTTP/1.1\r\nRange: bytes=0-0", OctetHead(0), "",
         Lines{L"Request for: '/packages/r.bin'", L"200_OK_HEAD => '" + r + L"'", L"Transmitting file  completed..."}},
        {"GET /packages/sub/ListFolderContents.asp HTTP/1.1\r\nRange: bytes=0-0",
         "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(listing.size()) + "\r\n\r\n",
         listing, Lines{L"Request for: '/packages/sub/ListFolderContents.asp'", L"Transmitting file  completed..."}},
        {"GET /packages/nosuch.bin HTTP/1.1\r\nRange: bytes=0-0", kNotFoundHead, "",
         Lines{L"Request for: '/packages/nosuch.bin'",
               L"UpdateAndCheckFilePath file not found => '" + PackagePath(L"nosuch.bin") + L"'",
               L"Transmitting file  completed...", L"404_NOT_FOUND => '/packages/nosuch.bin'"}},
        // A part across whole 1 MiB pieces of the send queue.
        {"GET /packages/big.bin HTTP/1.1\r\nRange: bytes=1000000-2500000", PartHead(1000000, 2500000, 3000000),
         big.substr(1000000, 1500001),
         sent(L"206_PARTIAL_CONTENT => '" + PackagePath(L"big.bin") + L"' (bytes 1000000-2500000/3000000)", L"big.bin")},
    };
    CHttpClient client;
    Connect(client);
    for (const Case& c : cases) {
        const auto reply = Ask(client, c.request + "\r\n\r\n");
        EXPECT_EQ(reply.head, c.head) << c.request;
        EXPECT_TRUE(reply.body == c.body) << c.request;
        EXPECT_EQ(NewLog(), c.log) << c.request;
    }
    ExpectAnsweredNext(client);
}

// A pipelined request waits for its package's open with its range; the
// file's size at that open decides the part, however it changed since.
TEST_F(ConnectionTest, PartOfAPipelinedRequestIsChosenAtItsOpen) {
    const std::string big = PatternBytes(3000000, 6);
    ASSERT_TRUE(MakePackage(L"big.bin", big));
    ASSERT_TRUE(MakePackage(L"a.bin", "abcdefgh"));
    ASSERT_TRUE(MakePackage(L"b.bin", "0123456789"));
    CHttpClient client;
    Connect(client, 4096);
    ASSERT_TRUE(WaitOnLoop([&] { return Live().size() == 1; }));
    FixServerSendBuffer();
    ASSERT_TRUE(client.Send("GET /packages/big.bin HTTP/1.1\r\n\r\n"
                            "GET /packages/a.bin HTTP/1.1\r\nRange: bytes=2-4\r\n\r\n"
                            "GET /packages/b.bin HTTP/1.1\r\nRange: bytes=5-\r\n\r\n"));
    ASSERT_TRUE(WaitUntilSendBlocked());
    std::size_t open = 0;
    RunOnLoop([&] { open = Live()[0]->OpenPackageFiles(); });
    EXPECT_EQ(open, 1u);
    std::error_code error;
    std::filesystem::resize_file(FsPath(PackagePath(L"b.bin")), 3, error);
    ASSERT_FALSE(error) << error.message();

    CHttpClient::Reply reply;
    ASSERT_TRUE(client.ReceiveReply(reply, 10000));
    EXPECT_TRUE(reply.body == big);
    ASSERT_TRUE(client.ReceiveReply(reply, 10000));
    EXPECT_EQ(reply.head + reply.body, PartHead(2, 4, 8) + "cde");
    ASSERT_TRUE(client.ReceiveReply(reply, 10000));
    EXPECT_EQ(reply.head, NotSatisfiableHead(3));
    EXPECT_EQ(NewLog(), (Lines{L"Request for: '/packages/big.bin'", L"200_OK => '" + PackagePath(L"big.bin") + L"'",
                               L"Transmitting file  completed...", L"Request for: '/packages/a.bin'",
                               L"Request for: '/packages/b.bin'", L"Transmitting file big.bin completed...",
                               L"206_PARTIAL_CONTENT => '" + PackagePath(L"a.bin") + L"' (bytes 2-4/8)",
                               L"Transmitting file  completed...", L"Transmitting file a.bin completed...",
                               L"416_RANGE_NOT_SATISFIABLE => '" + PackagePath(L"b.bin") + L"' (bytes */3)",
                               L"Transmitting file  completed..."}));
    ExpectAnsweredNext(client);
}

TEST_F(ConnectionTest, LengthOfTwoGigabytesAndMoreIsSentWhole) {
    const std::wstring path = PackagePath(L"huge.bin");
    ASSERT_TRUE(MakePackage(L"huge.bin", ""));
    std::error_code error;
    std::filesystem::resize_file(FsPath(path), 3221225472ull, error);  // sparse
    if (error) GTEST_SKIP() << "no sparse 3 GiB file here: " << error.message();

    CHttpClient client;
    Connect(client);
    EXPECT_EQ(Ask(client, "GET /packages/huge.bin HTTP/1.1\r\n\r\n", true).head, OctetHead(3221225472ll));
    client.Abort();
    EXPECT_TRUE(WaitOnLoop([&] { return Live().empty(); }));
}

}  // namespace

namespace {

// A listing is built away from the listener: while its build waits, another
// client's package is answered at once. "head" of a listing gets the head
// the GET carries, without the body, and the GET behind it on the same
// connection gets its own reply.
TEST_F(ConnectionTest, ListingBuiltWhileOthersAreServedAndItsHead) {
    ASSERT_TRUE(MakePackage(L"a.zip", "A"));
    ASSERT_TRUE(MakePackage(L"sub/b.msi", "b"));
    const std::string body = "<FileIndex><Folder Name=\"sub\"><File Name=\"b.msi\" /></Folder></FileIndex>";
    const std::string head =
        "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    std::shared_ptr<void> held = HoldListingBuilds();

    CHttpClient lister, other, sharer;
    Connect(lister);
    Connect(other);
    Connect(sharer);
    ASSERT_TRUE(lister.Send("HEAD /packages/sub/ListFolderContents.asp HTTP/1.1\r\n\r\n"
                            "GET /packages/sub/ListFolderContents.asp HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(WaitOnLoop([&] {
        const auto live = Live();
        return live.size() == 3 && (!live[0]->IsIdle() || !live[1]->IsIdle() || !live[2]->IsIdle());
    }));
    // A request for the same folder while its build runs shares it.
    ASSERT_TRUE(sharer.Send("GET /packages/sub/ListFolderContents.asp HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(WaitOnLoop([&] {
        std::size_t waiting = 0;
        for (CHTTPUpdateServiceSocket* connection : Live()) waiting += connection->IsIdle() ? 0 : 1;
        return waiting == 2;
    }));
    EXPECT_EQ(Ask(other, "GET /packages/a.zip HTTP/1.1\r\n\r\n").body, "A");
    EXPECT_EQ(lister.ReceiveSome(100), "") << "a listing arrived while its build was held";

    held.reset();
    CHttpClient::Reply reply;
    ASSERT_TRUE(lister.ReceiveReply(reply, 10000, true));
    EXPECT_EQ(reply.head, head);
    ASSERT_TRUE(lister.ReceiveReply(reply, 10000));
    EXPECT_EQ(reply.head, head);
    EXPECT_EQ(reply.body, body);
    ASSERT_TRUE(sharer.ReceiveReply(reply, 10000));
    EXPECT_EQ(reply.body, body);
    // Two builds (the GET behind the HEAD came after the first had finished), one of them shared.
    RunOnLoop([&] {
        EXPECT_EQ(Connections().Context().Figures().nListingsBuilt, 2u);
        EXPECT_EQ(Connections().Context().Figures().nListingsShared, 1u);
    });
    NewLog();
    ExpectAnsweredNext(lister);
}

// Every (state, event) pair against the table, then real connections driven
// through the main paths: each is seen in the state the table leads it to,
// and ends counted under its cause.
TEST_F(ConnectionTest, StatesFollowTheTableOnTheMainPaths) {
    using S = ConnectionState;
    // Where Pause, Resume, ServeLast, RepliesSent, Break and Finish lead ("-": not legal).
    const std::pair<S, std::array<std::string, connection_state::kEvents>> table[] = {
        {S::Reading, {"ReadPaused", "-", "SendingThenClose", "-", "Broken", "Closed"}},
        {S::ReadPaused, {"ReadPaused", "Reading", "SendingThenClose", "-", "Broken", "Closed"}},
        {S::SendingThenClose, {"-", "-", "SendingThenClose", "Lingering", "Broken", "Closed"}},
        {S::Lingering, {"-", "-", "-", "-", "Broken", "Closed"}},
        {S::Broken, {"-", "-", "-", "-", "Broken", "Closed"}},
        {S::Closed, {"-", "-", "-", "-", "-", "-"}},
    };
    ASSERT_EQ(std::size(table), connection_state::kStates);
    for (const auto& [state, row] : table) {
        for (std::size_t e = 0; e < connection_state::kEvents; ++e) {
            const auto event = static_cast<ConnectionEvent>(e);
            const std::optional<S> next = connection_state::Next(state, event);
            EXPECT_EQ(next ? connection_state::NameOf(*next) : "-", row[e])
                << connection_state::NameOf(state) << " + " << connection_state::NameOf(event);
        }
    }

    ASSERT_TRUE(MakePackage(L"a.zip", "A"));
    ASSERT_TRUE(MakePackage(L"sub/b.msi", "b"));
    enum class End { Close, Abort, ShutDownWithRequest };
    const struct {
        const char* request;
        bool answered;
        bool holdListing;  // the listing's build is held until the state is seen
        S seen;            // once the reply is received (or while the build is held)
        End end;
        CloseCause cause;
    } paths[] = {
        {"GET /packages/a.zip HTTP/1.1\r\n\r\n", true, false, S::Reading, End::Close, CloseCause::Client},
        {"GET /packages/sub/ListFolderContents.asp HTTP/1.1\r\n\r\n", true, true, S::ReadPaused, End::Close,
         CloseCause::Client},
        {"GET /packages/a.zip HTTP/1.0\r\n\r\n", true, false, S::Lingering, End::Close, CloseCause::AfterReply},
        {"GET /packages/a.zip HTTP/1.1\r\nHost: x\r\n", false, false, S::Reading, End::Abort, CloseCause::Client},
        // A last request that ends with the close instead of its empty line: answered, then closed at once.
        {"GET /packages/a.zip HTTP/1.1\r\n", true, false, S::Closed, End::ShutDownWithRequest, CloseCause::Client},
    };
    for (const auto& path : paths) {
        SCOPED_TRACE(path.request);
        std::uint64_t closedBefore = 0;
        const auto closed = [&] {
            return Connections().Context().Figures().nClosed[static_cast<std::size_t>(path.cause)];
        };
        RunOnLoop([&] { closedBefore = closed(); });
        std::shared_ptr<void> held = path.holdListing ? HoldListingBuilds() : nullptr;
        CHttpClient client;
        Connect(client);
        ASSERT_TRUE(client.Send(path.request));
        if (path.end == End::ShutDownWithRequest) {
            ASSERT_TRUE(client.ShutdownWrite());
        }
        CHttpClient::Reply reply;
        if (path.answered && !path.holdListing) {
            ASSERT_TRUE(client.ReceiveReply(reply, 10000));
            EXPECT_EQ(reply.body, "A");
        }
        ASSERT_TRUE(WaitOnLoop([&] {
            const auto live = Live();
            return path.seen == S::Closed ? live.empty() : live.size() == 1 && live[0]->State() == path.seen;
        })) << connection_state::NameOf(path.seen);
        if (path.holdListing) {
            held.reset();
            ASSERT_TRUE(client.ReceiveReply(reply, 10000));
            ASSERT_TRUE(WaitOnLoop([&] { return Live().size() == 1 && Live()[0]->State() == S::Reading; }));
        }
        if (path.end == End::Close) client.Close();
        if (path.end == End::Abort) client.Abort();
        ASSERT_TRUE(WaitOnLoop([&] { return Live().empty(); }));
        RunOnLoop([&] { EXPECT_EQ(closed(), closedBefore + 1); });
    }
}

}  // namespace
