// The listener thread on its own: its stall checks cut off a client that stops reading, and a stop lets replies in flight finish.
#include <thread>

#include "platform/Win32Codes.h"
#include "server/HTTPUpdateServiceThread.h"
#include "server/ServerFixture.h"
#include "threading/WinThread.h"

using namespace server_test;

namespace {

// A port that nothing listens on right now.
UINT FreePort() {
    CAsyncSocket probe;
    std::wstring address;
    UINT port = 0;
    if (!probe.Create(0, SOCK_STREAM, 0) || !probe.GetSockName(address, port)) return 0;
    probe.Close();
    return port;
}

bool WaitForLogLine(const TestLog& log, const std::wstring& message, int waitMs = 10000) {
    for (int i = 0; i < waitMs / 5; ++i) {
        if (log.Contains(message)) return true;
        plat::SleepMilliseconds(5);
    }
    return false;
}

// A listener for the packages of `dir`, checking every 20 ms (and finishing
// replies for `stopFinishMs` at a stop), resumed and listening on `port`; null
// when it could not start.
CHTTPUpdateServiceThread* StartListener(CTempDir& dir, const TestLog& log, UINT port, DWORD stopFinishMs = 10000) {
    auto* thread = dynamic_cast<CHTTPUpdateServiceThread*>(
        AfxBeginThread(RUNTIME_CLASS(CHTTPUpdateServiceThread), 0, 0, CREATE_SUSPENDED));
    if (thread == nullptr) return nullptr;
    auto config = std::make_shared<CServerConfig>();
    config->m_nPort = static_cast<int>(port);
    config->m_strPackagePath = dir.PathOf(L"packages") + plat::PathSeparator();
    config->limits.nCheckIntervalMs = 20;
    config->limits.nStopFinishMs = stopFinishMs;
    thread->m_pConfig = config;
    thread->ResumeThread();
    return WaitForLogLine(log, L"CHTTPUpdateServiceThread Initialized!") ? thread : nullptr;
}

TEST(ListenerStallCheckTest, ClientThatStopsReadingIsCutOffByTheListenersOwnChecks) {
    CTempDir dir;
    ASSERT_TRUE(dir.MakeFolder(L"packages"));
    const std::string large = PatternBytes(16u << 20, 3);
    ASSERT_TRUE(dir.MakeFile(L"packages/large.bin", large));
    ASSERT_TRUE(dir.MakeFile(L"packages/small.bin", "small"));
    TestLog log;
    ASSERT_TRUE(plat::InitSockets());
    const UINT port = FreePort();
    ASSERT_NE(port, 0u);
    const std::uint64_t start = 8000000000ull;
    SetTickCountForTests(start);

    CHTTPUpdateServiceThread* thread = StartListener(dir, log, port);
    ASSERT_NE(thread, nullptr);

    CHttpClient stalled, other;
    stalled.SetReceiveBufferSize(16384);
    ASSERT_TRUE(stalled.Connect(port));
    ASSERT_TRUE(stalled.Send("GET /packages/large.bin HTTP/1.1\r\n\r\n"));
    // Once the other connection's reply arrives, the listener has finished
    // the first request and the large reply waits for its reader.
    ASSERT_TRUE(other.Connect(port));
    ASSERT_TRUE(other.Send("GET /missing HTTP/1.1\r\n\r\n"));
    CHttpClient::Reply reply;
    ASSERT_TRUE(other.ReceiveReply(reply, 10000));
    EXPECT_EQ(reply.status, 404);

    // The client reads only after the listener's check has acted on its own.
    // The system may still take a few bytes early on (it grows its buffer),
    // which is progress: the clock moves on by six minutes until the check acts.
    bool failed = false;
    for (std::uint64_t step = 1; step <= 4 && !failed; ++step) {
        SetTickCountForTests(start + step * 360000);
        failed = WaitForLogLine(log, L"Transmitting file large.bin failed ... aborting sending", 3000);
    }
    EXPECT_TRUE(failed);
    std::string received;
    EXPECT_TRUE(stalled.ReceiveUntilClosed(received, 30000)) << "the stalled connection stayed open";
    EXPECT_LT(received.size(), OctetHead(large.size()).size() + large.size());
    EXPECT_FALSE(log.Contains(L"Transmitting file large.bin completed..."));

    // The check passed over the connection that had nothing waiting.
    ASSERT_TRUE(other.Send("GET /packages/ HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(other.ReceiveReply(reply, 10000));
    EXPECT_EQ(reply.status, 404);

    EXPECT_TRUE(thread->StopThread());
    SetTickCountForTests(std::nullopt);
}

}  // namespace

namespace {

// A stop with a reply in flight: a client that reads gets the whole reply
// before the listener ends; one that does not read within the server's time
// for replies in flight is cut. A client that connected before the stop and
// sends its request a moment later is answered; one that sends nothing is
// closed after that moment, and no new client is taken meanwhile.
struct StopCase {
    const char* name;
    DWORD finishMs;     // the limits' nStopFinishMs
    bool readsAtOnce;   // the client reads its reply while the server stops
    bool getsWholeReply;
};

class StopWithReplyInFlightTest : public ::testing::TestWithParam<StopCase> {};

TEST_P(StopWithReplyInFlightTest, QueuedRepliesFinishWithinTheLimitThenTheRestIsCut) {
    const StopCase& c = GetParam();
    CTempDir dir;
    ASSERT_TRUE(dir.MakeFolder(L"packages"));
    const std::string large = PatternBytes(c.readsAtOnce ? 4u << 20 : 32u << 20, 5);
    ASSERT_TRUE(dir.MakeFile(L"packages/large.bin", large));
    ASSERT_TRUE(dir.MakeFile(L"packages/small.bin", "small"));
    TestLog log;
    ASSERT_TRUE(plat::InitSockets());
    const UINT port = FreePort();
    ASSERT_NE(port, 0u);

    CHTTPUpdateServiceThread* thread = StartListener(dir, log, port, c.finishMs);
    ASSERT_NE(thread, nullptr);

    CHttpClient reader, idle, newcomer;
    reader.SetReceiveBufferSize(16384);
    ASSERT_TRUE(reader.Connect(port));
    ASSERT_TRUE(idle.Connect(port));
    ASSERT_TRUE(newcomer.Connect(port));
    ASSERT_TRUE(reader.Send("GET /packages/large.bin HTTP/1.1\r\n\r\n"));
    // The reply has begun: its first bytes are here.
    std::string received;
    ASSERT_TRUE(reader.ReceiveExactly(1, received, 10000));

    CHttpClient::Reply reply;
    bool readWhole = false;
    std::thread readAtOnce;
    if (c.readsAtOnce) readAtOnce = std::thread([&] { readWhole = reader.ReceiveReply(reply, 60000); });
    CHttpClient::Reply newcomerReply;
    bool newcomerServed = false;
    std::thread requestLate([&] {
        plat::SleepMilliseconds(200);
        newcomerServed = newcomer.Send("GET /packages/small.bin HTTP/1.1\r\n\r\n") &&
                         newcomer.ReceiveReply(newcomerReply, 10000);
    });
    int waits = 0;
    thread->FinishRepliesInFlight([&] { ++waits; });
    if (readAtOnce.joinable()) readAtOnce.join();
    requestLate.join();
    EXPECT_TRUE(newcomerServed);
    EXPECT_EQ(newcomerReply.body, "small");
    std::string afterReply;
    EXPECT_TRUE(newcomer.ReceiveUntilClosed(afterReply, 10000));  // its reply was the last

    // Stopping: no new client is taken, and the idle one is gone.
    CHttpClient late;
    EXPECT_FALSE(late.Connect(port, 2000));
    std::string idleBytes;
    EXPECT_TRUE(idle.ReceiveUntilClosed(idleBytes, 10000));
    EXPECT_EQ(idleBytes, "");
    EXPECT_TRUE(thread->StopThread());

    if (c.getsWholeReply) {
        EXPECT_TRUE(readWhole);
        EXPECT_EQ(received + reply.head, OctetHead(large.size()));
        EXPECT_TRUE(reply.body == large) << "the reply's bytes differ";
        EXPECT_FALSE(log.Contains(L"did not finish in time"));
    } else {
        // The stop waited about the limit (reported about every second), then cut the reply.
        EXPECT_GE(waits, 1);
        EXPECT_TRUE(reader.ReceiveUntilClosed(received, 30000));
        EXPECT_LT(received.size(), OctetHead(large.size()).size() + large.size());
        EXPECT_TRUE(log.Contains(L"Stopping: the replies to 1 clients did not finish in time and are cut"));
    }
}

INSTANTIATE_TEST_SUITE_P(Stop, StopWithReplyInFlightTest,
                         ::testing::Values(StopCase{"FastReaderFinishes", 60000, true, true},
                                           StopCase{"SlowReaderIsCutAfterTheLimit", 1500, false, false}),
                         [](const ::testing::TestParamInfo<StopCase>& info) { return std::string(info.param.name); });

}  // namespace
