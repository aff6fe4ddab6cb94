// Notification-driven sockets over loopback: the Winsock notification rules on every backend.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/Utf8.h"
#include "platform/AsyncSocket.h"
#include "platform/Handles.h"
#include "platform/ListenBacklog.h"
#include "platform/MessageQueue.h"
#include "platform/Win32Codes.h"
#include "support/HttpClient.h"

namespace {

constexpr unsigned kWaitMs = 10000;
// How long "nothing more happens" is watched for.
constexpr unsigned kQuietMs = 150;

// What the sockets of one test noticed, in order, shared with the test thread.
class CEventLog {
  public:
    void Add(const std::string& event) {
        std::lock_guard lock(m_mutex);
        m_events.push_back(event);
        m_threads.insert(plat::CurrentThreadId());
        m_changed.notify_all();
    }
    void AddData(const char* bytes, int count) {
        std::lock_guard lock(m_mutex);
        m_data.append(bytes, static_cast<std::size_t>(count));
        m_changed.notify_all();
    }
    // `condition` runs with the log locked: it reads the members directly.
    bool WaitUntil(const std::function<bool()>& condition, unsigned ms = kWaitMs) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(ms), condition);
    }
    bool WaitCount(const std::string& event, std::size_t count) {
        return WaitUntil([&] { return CountLocked(event) >= count; });
    }
    bool WaitLastStartsWith(const std::string& prefix) {
        return WaitUntil([&] { return !m_events.empty() && m_events.back().rfind(prefix, 0) == 0; });
    }
    // The first event that starts with `prefix`, once there is one; empty on time-out.
    std::string WaitFirstStartingWith(const std::string& prefix) {
        std::unique_lock lock(m_mutex);
        std::string found;
        m_changed.wait_for(lock, std::chrono::milliseconds(kWaitMs), [&] {
            for (const auto& e : m_events)
                if (e.rfind(prefix, 0) == 0) return found = e, true;
            return false;
        });
        return found;
    }
    bool WaitDataContains(const std::string& text) {
        return WaitUntil([&] { return m_data.find(text) != std::string::npos; });
    }
    bool WaitData(const std::string& expected) {
        return WaitUntil([&] { return m_data.size() >= expected.size(); }) && Data() == expected;
    }
    std::size_t Count(const std::string& event) {
        std::lock_guard lock(m_mutex);
        return CountLocked(event);
    }
    std::vector<std::string> Events() {
        std::lock_guard lock(m_mutex);
        return m_events;
    }
    std::string Data() {
        std::lock_guard lock(m_mutex);
        return m_data;
    }
    std::set<DWORD> Threads() {
        std::lock_guard lock(m_mutex);
        return m_threads;
    }

  private:
    std::size_t CountLocked(const std::string& event) const {
        std::size_t n = 0;
        for (const auto& e : m_events) n += e == event ? 1 : 0;
        return n;
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_events;
    std::string m_data;
    std::set<DWORD> m_threads;
};

// A socket that records its notifications and reacts as the test configures it.
class CProbeSocket : public CAsyncSocket {
  public:
    CProbeSocket(CEventLog& log, std::set<CProbeSocket*>& live, std::string name)
        : m_log(log), m_live(live), m_name(std::move(name)) {
        m_live.insert(this);
    }
    ~CProbeSocket() override { m_live.erase(this); }

    // Bytes taken by each read notification; 0 leaves the data waiting.
    int receiveChunk = 65536;
    bool deleteOnClose = false;
    bool deleteOnWrite = false;
    bool throwOnRead = false;
    // For a listener: how accepted connections are configured.
    int childReceiveChunk = 65536;
    bool childDeleteOnClose = false;
    bool childDeleteOnWrite = false;
    CProbeSocket* lastChild = nullptr;

    // Outgoing bytes, sent as SendPending does: as much as the socket takes,
    // the rest at the next write notification.
    std::string outgoing;
    std::size_t sentPos = 0;
    int shortSends = 0;  // sends that did not take every byte offered
    int otherErrors = 0;
    bool gathered = false;  // each send offers its bytes as three pieces

    void Pump() {
        while (sentPos < outgoing.size()) {
            const std::size_t piece = std::min<std::size_t>(outgoing.size() - sentPos, 1 << 20);
            const char* at = outgoing.data() + sentPos;
            const int third = static_cast<int>(piece / 3);
            const plat::SendPiece pieces[] = {
                {at, third}, {at + third, 0}, {at + third, static_cast<int>(piece) - third}};
            const int n = gathered ? SendPieces(pieces, 3) : Send(at, static_cast<int>(piece));
            if (n > 0) sentPos += static_cast<std::size_t>(n);
            if (n == static_cast<int>(piece)) continue;
            if (n == SOCKET_ERROR && GetLastError() != static_cast<int>(WSAEWOULDBLOCK)) ++otherErrors;
            else ++shortSends;
            return;
        }
    }

    void OnAccept(int error) override {
        m_log.Add(m_name + ":accept");
        auto* child = new CProbeSocket(m_log, m_live, "conn");
        child->receiveChunk = childReceiveChunk;
        child->deleteOnClose = childDeleteOnClose;
        child->deleteOnWrite = childDeleteOnWrite;
        if (Accept(*child)) {
            lastChild = child;
        } else {
            m_log.Add(m_name + ":accept-failed:" + std::to_string(GetLastError()));
            delete child;
        }
    }
    void OnReceive(int error) override {
        m_log.Add(m_name + ":read");
        if (throwOnRead) throw std::runtime_error("notification failed");
        if (receiveChunk <= 0) return;
        std::vector<char> buffer(static_cast<std::size_t>(receiveChunk));
        const int n = Receive(buffer.data(), receiveChunk);
        if (n > 0) m_log.AddData(buffer.data(), n);
        else m_log.Add(m_name + ":received:" + std::to_string(n == 0 ? 0 : GetLastError()));
    }
    void OnSend(int error) override {
        m_log.Add(m_name + ":write");
        if (deleteOnWrite) {
            delete this;
            return;
        }
        Pump();
    }
    void OnClose(int error) override {
        m_log.Add(m_name + ":close:" + std::to_string(error));
        if (deleteOnClose) delete this;
    }
    void OnConnect(int error) override { m_log.Add(m_name + ":connect:" + std::to_string(error)); }
    void OnOutOfBandData(int error) override { m_log.Add(m_name + ":oob:" + std::to_string(error)); }

  private:
    CEventLog& m_log;
    std::set<CProbeSocket*>& m_live;
    std::string m_name;
};

// A thread running the message loop that delivers socket notifications, with
// a way to run test code on it (sockets are created and used on their thread).
class CLoopThread {
  public:
    CLoopThread() {
        m_hReady = plat::CreateEventObject(true, false);
        m_hThread = plat::StartThread(&CLoopThread::Main, this, false, &m_dwThreadId);
        if (m_hThread) plat::WaitForObject(m_hReady, kWaitMs);
    }
    ~CLoopThread() {
        if (m_hThread) {
            plat::PostToThread(m_dwThreadId, WM_QUIT, 0, 0);
            plat::WaitForObject(m_hThread, kWaitMs);
            plat::CloseHandleObject(m_hThread);
        }
        plat::CloseHandleObject(m_hReady);
    }
    bool IsRunning() const { return m_hThread != nullptr; }
    DWORD ThreadId() const { return m_dwThreadId; }

    // Runs `work` on the loop thread and waits until it has run.
    bool Run(std::function<void()> work) {
        auto job = std::make_shared<Job>();
        job->work = std::move(work);
        job->done = plat::CreateEventObject(true, false);
        auto* posted = new std::shared_ptr<Job>(job);
        if (!plat::PostToThread(m_dwThreadId, kRunMessage, 0, reinterpret_cast<LPARAM>(posted))) {
            delete posted;
            return false;
        }
        const bool ran = plat::WaitForObject(job->done, kWaitMs) == WAIT_OBJECT_0;
        plat::CloseHandleObject(job->done);
        return ran;
    }

    // Exceptions that notifications threw through the dispatch, as the worker framework's boundary sees them.
    std::vector<std::string> Escaped() {
        std::lock_guard lock(m_mutex);
        return m_escaped;
    }

  private:
    static constexpr UINT kRunMessage = WM_USER + 300;
    struct Job {
        std::function<void()> work;
        HANDLE done = nullptr;
    };

    static unsigned Main(void* raw) {
        auto* self = static_cast<CLoopThread*>(raw);
        plat::EnsureThreadMessageQueue();
        plat::SignalEvent(self->m_hReady);
        plat::ThreadMsg msg;
        for (;;) {
            // A notification's exception leaves the wait (POSIX) or the dispatch (Windows).
            try {
                const plat::Taken taken = plat::TakeNextMessage(&msg, plat::kWaitForever, nullptr);
                if (taken == plat::Taken::Quit) break;
                if (taken == plat::Taken::Notified) continue;
                if (msg.hwnd != nullptr) plat::DispatchWindowMessage(msg);
            } catch (const std::exception& failure) {
                std::lock_guard lock(self->m_mutex);
                self->m_escaped.push_back(failure.what());
                continue;
            }
            if (msg.hwnd == nullptr && msg.message == kRunMessage) {
                std::unique_ptr<std::shared_ptr<Job>> job(reinterpret_cast<std::shared_ptr<Job>*>(msg.lParam));
                (*job)->work();
                plat::SignalEvent((*job)->done);
            }
        }
        return 0;
    }

    HANDLE m_hReady = nullptr;
    HANDLE m_hThread = nullptr;
    DWORD m_dwThreadId = 0;
    std::mutex m_mutex;
    std::vector<std::string> m_escaped;
};

class AsyncSocketTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(plat::InitSockets());
        ASSERT_TRUE(loop.IsRunning());
    }
    void SlowReaderGetsEveryByte(bool gathered);
    void TearDown() override {
        // Sockets belong to the loop thread: release them there.
        loop.Run([this] {
            while (!live.empty()) delete *live.begin();
        });
    }

    // A listening probe on an ephemeral port of every local address; its port in `port`.
    CProbeSocket* StartListener(UINT& port) {
        CProbeSocket* listener = nullptr;
        loop.Run([&] {
            listener = new CProbeSocket(log, live, "listener");
            std::wstring address;
            if (!listener->Create(0) || !listener->Listen() || !listener->GetSockName(address, port)) {
                delete listener;
                listener = nullptr;
            }
        });
        return listener;
    }

    // Connects `client` to a fresh listener whose accepted connections take
    // `childReceiveChunk` bytes per receive, and waits until the connection is
    // accepted on the loop thread and ready for data (its first write
    // notification). The listener (its port in listenerPort), or null when
    // it could not listen.
    CProbeSocket* ConnectClient(CHttpClient& client, int childReceiveChunk = 65536) {
        CProbeSocket* listener = StartListener(listenerPort);
        if (listener == nullptr) return nullptr;
        listener->childReceiveChunk = childReceiveChunk;
        if (!client.Connect(listenerPort) || !log.WaitCount("conn:write", 1)) return nullptr;
        return listener;
    }

    // Connects a new probe socket made for every address to `host`:`port`:
    // 0 when connected, else the Winsock code, reported at once or by the
    // connect notification.
    int ConnectOutcome(const std::string& name, const wchar_t* host, UINT port) {
        int immediate = -1;
        loop.Run([&] {
            auto* client = new CProbeSocket(log, live, name);
            if (!client->Create()) immediate = CAsyncSocket::GetLastError();
            else if (!client->Connect(host, port) && CAsyncSocket::GetLastError() != static_cast<int>(WSAEWOULDBLOCK))
                immediate = CAsyncSocket::GetLastError();
        });
        if (immediate != -1) return immediate;
        const std::string outcome = log.WaitFirstStartingWith(name + ":connect:");
        return outcome.empty() ? -1 : std::stoi(outcome.substr(name.size() + 9));
    }

    // Waits until nothing has been added to the log for a short while.
    void SettleQuietly() {
        std::size_t before;
        do {
            before = log.Events().size();
            std::this_thread::sleep_for(std::chrono::milliseconds(kQuietMs));
            loop.Run([] {});
        } while (log.Events().size() != before);
    }

    CLoopThread loop;
    CEventLog log;
    UINT listenerPort = 0;
    std::set<CProbeSocket*> live;  // touched on the loop thread only
};

std::string Pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 65536) & 0xFF);
    return bytes;
}

TEST_F(AsyncSocketTest, AcceptedConnectionNotifiesTheLoopThreadAndCarriesDataBothWays) {
    UINT port = 0;
    CProbeSocket* listener = StartListener(port);
    ASSERT_NE(listener, nullptr);
    EXPECT_NE(port, 0u);

    CHttpClient client;
    ASSERT_TRUE(client.Connect(port));
    ASSERT_TRUE(log.WaitCount("listener:accept", 1));
    // A fresh connection can take data: one write notification.
    ASSERT_TRUE(log.WaitCount("conn:write", 1));

    ASSERT_TRUE(client.Send("hello"));
    ASSERT_TRUE(log.WaitData("hello"));

    loop.Run([&] { EXPECT_EQ(listener->lastChild->Send("world", 5), 5); });
    std::string reply;
    EXPECT_TRUE(client.ReceiveExactly(5, reply, kWaitMs));
    EXPECT_EQ(reply, "world");

    SettleQuietly();
    EXPECT_EQ(log.Count("listener:accept"), 1u);
    EXPECT_EQ(log.Count("conn:write"), 1u);  // sends that went through owe no notification
    EXPECT_EQ(log.Threads(), std::set<DWORD>{loop.ThreadId()});
}

TEST_F(AsyncSocketTest, ReadNotificationsFollowTheReceiveCalls) {
    CHttpClient client;
    CProbeSocket* listener = ConnectClient(client, 4);
    ASSERT_NE(listener, nullptr);

    // Ten bytes taken four at a time: a notification for each receive that left data behind.
    ASSERT_TRUE(client.Send("0123456789"));
    ASSERT_TRUE(log.WaitData("0123456789"));
    SettleQuietly();
    EXPECT_EQ(log.Count("conn:read"), 3u);

    // Unread data is announced once, however much more arrives, until someone receives.
    loop.Run([&] { listener->lastChild->receiveChunk = 0; });
    ASSERT_TRUE(client.Send("abc"));
    ASSERT_TRUE(log.WaitCount("conn:read", 4));
    ASSERT_TRUE(client.Send("def"));
    SettleQuietly();
    EXPECT_EQ(log.Count("conn:read"), 4u);

    std::string waiting;
    loop.Run([&] {
        char buffer[64];
        const int n = listener->lastChild->Receive(buffer, sizeof buffer);
        if (n > 0) waiting.assign(buffer, static_cast<std::size_t>(n));
        listener->lastChild->receiveChunk = 64;
    });
    EXPECT_EQ(waiting, "abcdef");
    SettleQuietly();
    EXPECT_EQ(log.Count("conn:read"), 4u);  // everything was read: nothing to announce

    ASSERT_TRUE(client.Send("g"));
    ASSERT_TRUE(log.WaitData("0123456789g"));
    EXPECT_EQ(log.Count("conn:read"), 5u);
}

TEST_F(AsyncSocketTest, ReceiveWithoutDataWouldBlock) {
    CHttpClient client;
    CProbeSocket* listener = ConnectClient(client);
    ASSERT_NE(listener, nullptr);
    loop.Run([&] {
        char buffer[16];
        EXPECT_EQ(listener->lastChild->Receive(buffer, sizeof buffer), SOCKET_ERROR);
        EXPECT_EQ(CAsyncSocket::GetLastError(), static_cast<int>(WSAEWOULDBLOCK));
        CAsyncSocket unopened;
        EXPECT_EQ(unopened.Send("x", 1), SOCKET_ERROR);
        EXPECT_EQ(CAsyncSocket::GetLastError(), static_cast<int>(WSAENOTSOCK));
    });
}

TEST_F(AsyncSocketTest, PeerCloseGivesOneCloseNotificationAfterTheData) {
    CHttpClient client;
    CProbeSocket* listener = ConnectClient(client, 3);
    ASSERT_NE(listener, nullptr);
    ASSERT_TRUE(client.Send("abcdefgh"));
    client.Close();

    ASSERT_TRUE(log.WaitCount("conn:close:0", 1));
    EXPECT_EQ(log.Data(), "abcdefgh");
    SettleQuietly();
    EXPECT_EQ(log.Count("conn:close:0"), 1u);
    const std::vector<std::string> events = log.Events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back(), "conn:close:0");
}

TEST_F(AsyncSocketTest, HalfClosedPeerStillReceivesTheReplyItWaitsFor) {
    CHttpClient client;
    CProbeSocket* listener = ConnectClient(client);
    ASSERT_NE(listener, nullptr);
    ASSERT_TRUE(client.Send("question"));
    ASSERT_TRUE(client.ShutdownWrite());
    ASSERT_TRUE(log.WaitCount("conn:close:0", 1));
    EXPECT_EQ(log.Data(), "question");

    loop.Run([&] {
        EXPECT_EQ(listener->lastChild->Send("answer", 6), 6);
        listener->lastChild->Close();
    });
    std::string reply;
    EXPECT_TRUE(client.ReceiveUntilClosed(reply, kWaitMs));
    EXPECT_EQ(reply, "answer");
}

TEST_F(AsyncSocketTest, ResetConnectionGivesOneCloseNotificationWithItsError) {
    CHttpClient client;
    CProbeSocket* listener = ConnectClient(client);
    ASSERT_NE(listener, nullptr);
    client.Abort();
    const std::string reset = "conn:close:" + std::to_string(WSAECONNRESET);
    ASSERT_TRUE(log.WaitLastStartsWith("conn:close:"))
        << ::testing::PrintToString(log.Events());
    SettleQuietly();
    const std::vector<std::string> events = log.Events();
#ifdef _WIN32
    // Windows reports WSAECONNRESET; Wine reports a reset as an orderly close.
    EXPECT_TRUE(events.back() == reset || events.back() == "conn:close:0") << events.back();
#else
    EXPECT_EQ(events.back(), reset);
#endif
    EXPECT_EQ(log.Count(events.back()), 1u);
}

// Send, or SendPieces with the same bytes in pieces: what the socket cannot
// take now follows at write notifications, every byte once and in order.
void AsyncSocketTest::SlowReaderGetsEveryByte(bool gathered) {
    CHttpClient client;
    client.SetReceiveBufferSize(16 * 1024);
    CProbeSocket* listener = ConnectClient(client);
    ASSERT_NE(listener, nullptr);

    const std::string payload = Pattern(24 * 1024 * 1024 + 12345);
    CProbeSocket* conn = nullptr;
    loop.Run([&] {
        conn = listener->lastChild;
        conn->gathered = gathered;
        conn->outgoing = payload;
        conn->Pump();
    });
    int shortSends = 0;
    loop.Run([&] { shortSends = conn->shortSends; });
    // Nobody reads yet: the socket cannot take it all.
    EXPECT_GE(shortSends, 1);

    // Read slowly, in small pieces: the rest follows at write notifications.
    std::string received;
    while (received.size() < payload.size()) {
        const std::size_t piece = std::min<std::size_t>(payload.size() - received.size(), 256 * 1024);
        if (!client.ReceiveExactly(piece, received, kWaitMs)) break;
    }
    ASSERT_EQ(received.size(), payload.size());
    EXPECT_TRUE(received == payload);  // every byte once, in order
    EXPECT_TRUE(client.ReceiveSome(kQuietMs).empty());

    std::size_t sent = 0;
    int otherErrors = -1;
    loop.Run([&] {
        sent = conn->sentPos;
        otherErrors = conn->otherErrors;
        shortSends = conn->shortSends;
    });
    EXPECT_EQ(sent, payload.size());
    EXPECT_EQ(otherErrors, 0);
    // One notification for the new connection, then one per short send at most.
    EXPECT_GE(log.Count("conn:write"), 2u);
    EXPECT_LE(log.Count("conn:write"), 1u + static_cast<std::size_t>(shortSends));
}

TEST_F(AsyncSocketTest, SendThatWouldBlockResumesAtTheWriteNotificationForASlowReader) {
    SlowReaderGetsEveryByte(false);
}

TEST_F(AsyncSocketTest, GatheredSendThatWouldBlockResumesAtTheWriteNotificationForASlowReader) {
    SlowReaderGetsEveryByte(true);
}

TEST_F(AsyncSocketTest, PortThatAnotherSocketHoldsIsRefusedWithAddressInUse) {
    UINT port = 0;
    CProbeSocket* holder = StartListener(port);
    ASSERT_NE(holder, nullptr);
    loop.Run([&] {
        CAsyncSocket second;
        EXPECT_FALSE(second.Create(port));
        EXPECT_EQ(CAsyncSocket::GetLastError(), static_cast<int>(WSAEADDRINUSE));
        EXPECT_EQ(second.m_hSocket, INVALID_SOCKET);
    });
}

TEST_F(AsyncSocketTest, RestartedServerBindsItsPortWhileOldConnectionsWaitInTimeWait) {
    CHttpClient client;
    CProbeSocket* listener = ConnectClient(client);
    ASSERT_NE(listener, nullptr);
    // The server closes first, so its side of the connection waits in TIME_WAIT.
    loop.Run([&] { listener->lastChild->Close(); });
    std::string rest;
    EXPECT_TRUE(client.ReceiveUntilClosed(rest, kWaitMs));
    client.Close();
    loop.Run([&] {
        listener->Close();
        CAsyncSocket restarted;
        EXPECT_TRUE(restarted.Create(listenerPort)) << CAsyncSocket::GetLastError();
        EXPECT_TRUE(restarted.Listen());
    });
}

TEST_F(AsyncSocketTest, ListenerTakesTheLargestBacklogTheSystemGrants) {
    // Room for a burst of thousands of setup programs.
    EXPECT_GE(plat::MaxListenBacklog(), 4096);
    loop.Run([&] {
        CAsyncSocket listener;
        EXPECT_TRUE(listener.Create(0) && listener.Listen(plat::MaxListenBacklog())) << CAsyncSocket::GetLastError();
    });
}

TEST_F(AsyncSocketTest, SocketsDeletedInsideTheirOwnNotificationsAreNeverTouchedAgain) {
    UINT port = 0;
    CProbeSocket* listener = StartListener(port);
    ASSERT_NE(listener, nullptr);
    listener->childDeleteOnClose = true;
    for (int i = 0; i < 3; ++i) {
        CHttpClient client;
        ASSERT_TRUE(client.Connect(port));
        ASSERT_TRUE(client.Send("bye"));
        client.Close();
    }
    ASSERT_TRUE(log.WaitCount("conn:close:0", 3));
    // The accepted socket also has data waiting when it deletes itself in its
    // first write notification: the read notification must not follow.
    loop.Run([&] {
        listener->childDeleteOnClose = false;
        listener->childDeleteOnWrite = true;
    });
    CHttpClient early;
    ASSERT_TRUE(early.Connect(port));
    ASSERT_TRUE(early.Send("data before the accept"));
    ASSERT_TRUE(log.WaitCount("conn:write", 4));
    SettleQuietly();
    std::size_t remaining = 0;
    loop.Run([&] { remaining = live.size(); });
    EXPECT_EQ(remaining, 1u);  // only the listener
    EXPECT_EQ(log.Count("conn:close:0"), 3u);
}

TEST_F(AsyncSocketTest, EventsPendingForAClosedSocketNeverReachALaterSocketWithItsHandle) {
    UINT port = 0;
    CProbeSocket* listener = StartListener(port);
    ASSERT_NE(listener, nullptr);
    // Accepts a waiting connection on the loop thread without its accept notification.
    auto acceptNow = [&](const std::string& name) {
        auto* connection = new CProbeSocket(log, live, name);
        for (unsigned waited = 0; !listener->Accept(*connection) && waited < kWaitMs; ++waited) plat::SleepMilliseconds(1);
        return connection;
    };
    CHttpClient first, second;
    plat::SocketHandle closedHandle = plat::kInvalidSocket, reusedHandle = 0;
    // The loop dispatches nothing while this runs: whatever is posted for the
    // first connection waits in the queue until after it has been closed.
    loop.Run([&] {
        if (!first.Connect(port) || !second.Connect(port) || !first.Send("unread")) return;
        CProbeSocket* closed = acceptNow("closed");
        for (unsigned waited = 0; !closed->HasUnreadBytes() && waited < kWaitMs; ++waited) plat::SleepMilliseconds(1);
        plat::SleepMilliseconds(kQuietMs);  // room for the system to post its read notification
        closedHandle = closed->m_hSocket;
        delete closed;
        reusedHandle = acceptNow("reused")->m_hSocket;
    });
    // The system gives the freed handle value to the next socket.
    ASSERT_EQ(reusedHandle, closedHandle);
    ASSERT_TRUE(log.WaitCount("reused:write", 1));
    SettleQuietly();
    EXPECT_EQ(log.Count("reused:read"), 0u) << ::testing::PrintToString(log.Events());
    EXPECT_EQ(log.Count("reused:write"), 1u);
    EXPECT_EQ(log.Count("closed:read") + log.Count("closed:write"), 0u);
}

TEST_F(AsyncSocketTest, ConnectReportsItsOutcome) {
    UINT port = 0;
    CProbeSocket* listener = StartListener(port);
    ASSERT_NE(listener, nullptr);
    UINT closedPort = 0;
    loop.Run([&] {
        CAsyncSocket probe;
        std::wstring address;
        if (probe.Create(0) && probe.GetSockName(address, closedPort)) probe.Close();
    });
    ASSERT_NE(closedPort, 0u);

    int immediateRefusal = 0;
    loop.Run([&] {
        auto* good = new CProbeSocket(log, live, "client");
        ASSERT_TRUE(good->Create());
        if (!good->Connect(L"127.0.0.1", port)) {
            EXPECT_EQ(CAsyncSocket::GetLastError(), static_cast<int>(WSAEWOULDBLOCK));
        }
        auto* refused = new CProbeSocket(log, live, "refused");
        ASSERT_TRUE(refused->Create());
        EXPECT_FALSE(refused->Connect(L"127.0.0.1", closedPort));
        if (CAsyncSocket::GetLastError() != static_cast<int>(WSAEWOULDBLOCK))
            immediateRefusal = CAsyncSocket::GetLastError();
    });
    ASSERT_TRUE(log.WaitCount("client:connect:0", 1));
    ASSERT_TRUE(log.WaitCount("client:write", 1));
    ASSERT_TRUE(log.WaitCount("listener:accept", 1));
    // A refusal is reported at once or by the connect notification.
    if (immediateRefusal != 0) {
        EXPECT_EQ(immediateRefusal, static_cast<int>(WSAECONNREFUSED));
    } else {
        ASSERT_TRUE(log.WaitCount("refused:connect:" + std::to_string(WSAECONNREFUSED), 1))
            << ::testing::PrintToString(log.Events());
    }
}

TEST_F(AsyncSocketTest, UrgentDataIsAnnouncedOnceAndLeavesTheStreamIntact) {
    CHttpClient client;
    CProbeSocket* listener = ConnectClient(client);
    ASSERT_NE(listener, nullptr);
    ASSERT_TRUE(client.Send("GET /"));
    ASSERT_TRUE(log.WaitData("GET /"));
    ASSERT_TRUE(client.SendUrgent('!'));
    ASSERT_TRUE(log.WaitCount("conn:oob:0", 1)) << ::testing::PrintToString(log.Events());
    // Nobody reads the urgent byte: the announcement is not repeated, and the
    // ordinary stream goes on.
    ASSERT_TRUE(client.Send("more"));
    ASSERT_TRUE(log.WaitDataContains("more"));
    SettleQuietly();
    EXPECT_EQ(log.Count("conn:oob:0"), 1u);
}

TEST_F(AsyncSocketTest, ExceptionFromANotificationReachesTheDispatchingLoop) {
    CHttpClient client;
    CProbeSocket* listener = ConnectClient(client);
    ASSERT_NE(listener, nullptr);
    loop.Run([&] { listener->lastChild->throwOnRead = true; });
    ASSERT_TRUE(client.Send("boom"));
    ASSERT_TRUE(log.WaitCount("conn:read", 1));
    loop.Run([] {});
    EXPECT_EQ(loop.Escaped(), std::vector<std::string>{"notification failed"});
    // The socket keeps working: a receive re-enables its read notifications.
    loop.Run([&] {
        listener->lastChild->throwOnRead = false;
        char buffer[16];
        EXPECT_EQ(listener->lastChild->Receive(buffer, sizeof buffer), 4);
    });
    ASSERT_TRUE(client.Send("more"));
    ASSERT_TRUE(log.WaitData("more"));
}

TEST(AddressLiteral, EachFamilysTextFormsAndNothingElse) {
    const struct {
        const wchar_t* text;
        plat::AddressLiteral kind;
    } cases[] = {
        {L"127.0.0.1", plat::AddressLiteral::IPv4},
        {L"0.0.0.0", plat::AddressLiteral::IPv4},
        {L"::1", plat::AddressLiteral::IPv6},
        {L"::", plat::AddressLiteral::IPv6},
        {L"2001:DB8::7", plat::AddressLiteral::IPv6},
        {L"::ffff:192.0.2.7", plat::AddressLiteral::IPv6},
        {L"", plat::AddressLiteral::None},
        {L"localhost", plat::AddressLiteral::None},
        {L"[::1]", plat::AddressLiteral::None},
        {L"127.0.0.1:80", plat::AddressLiteral::None},
        {L" 127.0.0.1", plat::AddressLiteral::None},
        {L"256.0.0.1", plat::AddressLiteral::None},
        {L"1.2.3", plat::AddressLiteral::None},
        {L"::1::2", plat::AddressLiteral::None},
        {L"\xFF11.0.0.1", plat::AddressLiteral::None},
    };
    for (const auto& c : cases) EXPECT_EQ(plat::ClassifyAddressLiteral(c.text), c.kind) << WideToUtf8(c.text);
    EXPECT_EQ(plat::ClassifyAddressLiteral(std::wstring(L"127.0.0.1\0junk", 14)), plat::AddressLiteral::None);
}

// A listener for every address takes both families on one IPv6 socket; one
// for an address of one family takes that family only.
TEST_F(AsyncSocketTest, ListenerAddressDecidesWhichFamiliesReachIt) {
    constexpr int kReached = 0;
    constexpr int kRefused = static_cast<int>(WSAECONNREFUSED);
    const struct {
        const wchar_t* address;
        const wchar_t* bound;
        bool ipv6;
        int fromIPv4, fromIPv6;
    } cases[] = {
        {nullptr, L"::", true, kReached, kReached},
        {L"127.0.0.1", L"127.0.0.1", false, kReached, kRefused},
        {L"::1", L"::1", true, kRefused, kReached},
    };
    int round = 0;
    for (const auto& c : cases) {
        const std::string name = "listener" + std::to_string(++round);
        SCOPED_TRACE(name);
        UINT port = 0;
        std::wstring bound;
        bool ipv6 = false;
        loop.Run([&] {
            auto* listener = new CProbeSocket(log, live, name);
            ASSERT_TRUE(listener->Create(0, SOCK_STREAM, CAsyncSocket::kAllEvents, c.address))
                << CAsyncSocket::GetLastError();
            ASSERT_TRUE(listener->Listen());
            ASSERT_TRUE(listener->GetSockName(bound, port));
            ipv6 = listener->IsIPv6();
        });
        EXPECT_EQ(WideToUtf8(bound), WideToUtf8(c.bound));
        EXPECT_EQ(ipv6, c.ipv6);
        EXPECT_EQ(ConnectOutcome(name + "-v4", L"127.0.0.1", port), c.fromIPv4);
        EXPECT_EQ(ConnectOutcome(name + "-v6", L"::1", port), c.fromIPv6);
    }
}

TEST_F(AsyncSocketTest, AnAddressTheMachineDoesNotHaveIsNotAvailable) {
    loop.Run([] {
        for (const wchar_t* address : {L"192.0.2.1", L"2001:db8::1"}) {
            CAsyncSocket socket;
            EXPECT_FALSE(socket.Create(0, SOCK_STREAM, CAsyncSocket::kAllEvents, address));
            EXPECT_EQ(CAsyncSocket::GetLastError(), static_cast<int>(WSAEADDRNOTAVAIL)) << WideToUtf8(address);
            EXPECT_EQ(socket.m_hSocket, INVALID_SOCKET);
        }
    });
}

}  // namespace
