// Test fixture: a listening CHTTPUpdateServiceSocket on a message-loop thread of its own,
// a packages folder on disk and the log lines kept in memory.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
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
#include "server/HTTPUpdateServiceSocket.h"
#include "support/HttpClient.h"
#include "support/MemoryLogSink.h"
#include "support/TempDir.h"
#include "threading/Clock.h"

namespace server_test {

constexpr UINT kQuitMessage = 0x0012;        // WM_QUIT
constexpr UINT kRunTaskMessage = 0x0400 + 77;  // WM_USER + 77: run a function on the loop thread

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
    std::size_t LiveConnectionCount() {
        std::size_t count = 0;
        RunOnLoop([&] { count = CHTTPUpdateServiceSocket::LiveConnections().size(); });
        return count;
    }
    // Waits until the one live connection has reply bytes waiting for the socket.
    bool WaitUntilSendBlocked() {
        return WaitOnLoop([] {
            const auto live = CHTTPUpdateServiceSocket::LiveConnections();
            return live.size() == 1 && live[0]->IsSendWaiting();
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
        auto* listener = new CHTTPUpdateServiceSocket;
        listener->m_strPackagePath = self->m_strPackages;
        std::wstring address;
        UINT port = 0;
        if (listener->Create(0) && listener->Listen(5) && listener->GetSockName(address, port)) self->m_nPort = port;
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
        }
        CHTTPUpdateServiceSocket::CloseAllConnections();
        delete listener;
        return 0;
    }

    HANDLE m_hReady = nullptr;
    HANDLE m_hThread = nullptr;
    DWORD m_nThreadId = 0;
};

}  // namespace server_test
