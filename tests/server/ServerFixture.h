// Test fixture: a listening socket and its connection set on a message-loop thread of its own,
// a packages folder on disk and the log lines kept in memory.
#pragma once

// The system's socket header comes before the platform's socket contract.
#include "support/TestSocketApi.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "common/Format.h"
#include "common/Utf8.h"
#include "platform/AsyncSocket.h"
#include "platform/Handles.h"
#include "platform/MessageQueue.h"
#include "platform/RequestPathRules.h"
#include "platform/Text.h"
#include "server/ConnectionSet.h"
#include "server/HTTPUpdateServiceSocket.h"
#include "server/ListenSocket.h"
#include "support/HttpClient.h"
#include "support/MemoryLogSink.h"
#include "support/TempDir.h"
#include "threading/Clock.h"

namespace server_test {

constexpr UINT kQuitMessage = 0x0012;        // WM_QUIT
constexpr UINT kRunTaskMessage = 0x0400 + 77;  // WM_USER + 77: run a function on the loop thread
constexpr UINT kWakeMessage = 0x0400 + 78;     // a listing worker has a document ready

// A file-system path from wide text, the same on every platform (UTF-8 inside).
inline std::filesystem::path FsPath(const std::wstring& text) {
    const std::string utf8 = WideToUtf8(text);
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// Contents that show where each byte came from.
inline std::string PatternBytes(std::size_t size, unsigned seed = 1) {
    std::string bytes(size, '\0');
    std::uint32_t x = seed * 2654435761u + 1;
    for (std::size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        bytes[i] = static_cast<char>(x >> 24);
    }
    return bytes;
}

inline std::string OctetHead(long long length) {
    return "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " + std::to_string(length) +
           "\r\n\r\n";
}
inline const std::string kNotFoundHead =
    "HTTP/1.1 404 NOT FOUND\r\nContent-Type: application/octet-stream\r\nContent-Length: 0\r\n\r\n";

// The server's log lines, kept in memory.
using TestLog = CMemoryLogSink;

class ServerFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.IsValid());
        ASSERT_TRUE(m_dir.MakeFolder(L"packages"));
        m_strPackages = m_dir.PathOf(L"packages") + plat::PathSeparator();
        m_pLog = std::make_unique<TestLog>();
        ASSERT_TRUE(plat::InitSockets());
        m_hReady = plat::CreateEventObject(true, false);
        m_hThread = plat::StartThread(&ServerFixture::LoopMain, this, false, &m_nThreadId);
        ASSERT_NE(m_hThread, nullptr);
        ASSERT_EQ(plat::WaitForObject(m_hReady, 10000), 0u);
        ASSERT_NE(m_nPort, 0u) << "the listening socket did not start";
    }

    void TearDown() override {
        if (m_hThread) {
            plat::PostToThread(m_nThreadId, kQuitMessage, 0, 0);
            EXPECT_EQ(plat::WaitForObject(m_hThread, 30000), 0u);
            plat::CloseHandleObject(m_hThread);
        }
        if (m_hReady) plat::CloseHandleObject(m_hReady);
        SetTickCountForTests(std::nullopt);
        m_pLog.reset();
    }

    // Runs `task` on the loop thread, between its notifications, and waits for it.
    void RunOnLoop(std::function<void()> task) {
        Task t{std::move(task), plat::CreateEventObject(true, false)};
        ASSERT_TRUE(plat::PostToThread(m_nThreadId, kRunTaskMessage, 0, reinterpret_cast<LPARAM>(&t)));
        ASSERT_EQ(plat::WaitForObject(t.done, 60000), 0u);
        plat::CloseHandleObject(t.done);
    }
    // Returns once every notification handled so far has finished.
    void Sync() {
        RunOnLoop([] {});
    }
    // Polls `condition` on the loop thread until it holds (10 s at most).
    bool WaitOnLoop(std::function<bool()> condition) {
        for (int i = 0; i < 2000; ++i) {
            bool holds = false;
            RunOnLoop([&] { holds = condition(); });
            if (holds) return true;
            plat::SleepMilliseconds(5);
        }
        return false;
    }
    // The server's connections; on the loop thread only.
    CConnectionSet& Connections() { return *m_pConnections; }
    std::vector<CHTTPUpdateServiceSocket*> Live() { return m_pConnections->Live(); }
    std::size_t LiveConnectionCount() {
        std::size_t count = 0;
        RunOnLoop([&] { count = Live().size(); });
        return count;
    }
    // Waits until the one live connection has reply bytes waiting for the socket.
    bool WaitUntilSendBlocked() {
        return WaitOnLoop([&] {
            const auto live = Live();
            return live.size() == 1 && live[0]->IsSendWaiting();
        });
    }
    // Gives the one live connection a small fixed send buffer: the system
    // then neither grows it while the client is away (which would count as
    // progress) nor swallows megabytes of a reply at once.
    void FixServerSendBuffer() {
        RunOnLoop([&] {
            const auto live = Live();
            ASSERT_EQ(live.size(), 1u);
            const int size = 16384;
            ASSERT_EQ(::setsockopt(static_cast<test_sockets::Handle>(live[0]->m_hSocket), SOL_SOCKET, SO_SNDBUF,
                                   reinterpret_cast<const char*>(&size), sizeof size),
                      0);
        });
    }

    // Polls the log until `message` appears (10 s at most).
    bool WaitForLog(const std::wstring& message) {
        for (int i = 0; i < 2000; ++i) {
            if (m_pLog->Contains(message)) return true;
            plat::SleepMilliseconds(5);
        }
        return false;
    }

    std::wstring PackagePath(const std::wstring& relative) const { return m_dir.PathOf(L"packages/" + relative); }
    bool MakePackage(const std::wstring& relative, std::string_view bytes) const {
        return m_dir.MakeFile(L"packages/" + relative, bytes);
    }
    std::wstring PackagesFolderNoSeparator() const { return m_strPackages.substr(0, m_strPackages.size() - 1); }

    // Connects a client, asking for a small receive buffer when `receiveBuffer` is set.
    void Connect(CHttpClient& client, int receiveBuffer = 0) {
        client.SetReceiveBufferSize(receiveBuffer);
        ASSERT_TRUE(client.Connect(m_nPort));
    }

    // `run` runs on a listing worker after each build, before the document
    // is handed back to the listener (empty: nothing).
    void SetAfterListingBuilt(std::function<void()> run) {
        std::lock_guard lock(m_afterBuildMutex);
        m_afterListingBuilt = std::move(run);
    }
    // While the returned object lives, finished listing builds wait on their
    // worker before they are handed back.
    std::shared_ptr<void> HoldListingBuilds() {
        struct Gate {
            std::mutex mutex;
            std::condition_variable opened;
            bool open = false;
        };
        auto gate = std::make_shared<Gate>();
        SetAfterListingBuilt([gate] {
            std::unique_lock lock(gate->mutex);
            gate->opened.wait(lock, [&] { return gate->open; });
        });
        return std::shared_ptr<void>(nullptr, [gate](void*) {
            std::lock_guard lock(gate->mutex);
            gate->open = true;
            gate->opened.notify_all();
        });
    }

    // The server's settings; a test may change them before SetUp.
    std::shared_ptr<CServerConfig> m_pConfig = std::make_shared<CServerConfig>();
    CTempDir m_dir;
    std::wstring m_strPackages;  // with its trailing separator, as the listener is given it
    std::unique_ptr<TestLog> m_pLog;
    UINT m_nPort = 0;

  private:
    struct Task {
        std::function<void()> run;
        HANDLE done;
    };

    static unsigned LoopMain(void* argument) {
        auto* self = static_cast<ServerFixture*>(argument);
        plat::EnsureThreadMessageQueue();
        self->m_pConfig->m_strPackagePath = self->m_strPackages;
        const DWORD loopThread = plat::CurrentThreadId();
        self->m_pConnections = std::make_unique<CConnectionSet>(
            self->m_pConfig, [loopThread] { plat::PostToThread(loopThread, kWakeMessage, 0, 0); },
            [self] {
                std::function<void()> run;
                {
                    std::lock_guard lock(self->m_afterBuildMutex);
                    run = self->m_afterListingBuilt;
                }
                if (run) run();
            });
        auto* listener = new CHTTPUpdateServiceListenSocket(*self->m_pConnections);
        std::wstring address;
        UINT port = 0;
        if (listener->Create(0, SOCK_STREAM, CHTTPUpdateServiceListenSocket::kSelectedEvents) && listener->Listen(5) &&
            listener->GetSockName(address, port))
            self->m_nPort = port;
        plat::SignalEvent(self->m_hReady);

        plat::ThreadMsg msg;
        while (plat::WaitNextMessage(&msg)) {
            if (msg.hwnd != nullptr) {
                plat::DispatchWindowMessage(msg);
            } else if (msg.message == kRunTaskMessage) {
                auto* task = reinterpret_cast<Task*>(msg.lParam);
                task->run();
                plat::SignalEvent(task->done);
            }
            // As the listener thread does after every message.
            self->m_pConnections->AfterNotification();
        }
        delete listener;
        self->m_pConnections.reset();
        return 0;
    }

    std::unique_ptr<CConnectionSet> m_pConnections;
    std::mutex m_afterBuildMutex;
    std::function<void()> m_afterListingBuilt;
    HANDLE m_hReady = nullptr;
    HANDLE m_hThread = nullptr;
    DWORD m_nThreadId = 0;
};

}  // namespace server_test
