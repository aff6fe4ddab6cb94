// Sending a file's bytes straight to a socket: head first, the exact range, short sends resumed, a file that ends early.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/AsyncSocket.h"
#include "platform/File.h"
#include "platform/MessageQueue.h"
#include "platform/Win32Codes.h"
#include "support/HttpClient.h"
#include "support/TempDir.h"

namespace {

constexpr unsigned kWaitMs = 10000;

std::string Pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 4093) & 0xFF);
    return bytes;
}

// An accepted connection on the test thread, counting its write notifications.
class CCountingSocket : public CAsyncSocket {
  public:
    int writeNotifications = 0;
    void OnSend(int) override { ++writeNotifications; }
};

class SendFileBytesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(plat::InitSockets());
        ASSERT_TRUE(m_dir.IsValid());
        ASSERT_TRUE(plat::EnsureThreadMessageQueue());
        std::wstring address;
        ASSERT_TRUE(m_listener.Create(0) && m_listener.Listen() && m_listener.GetSockName(address, m_nPort));
    }

    void TearDown() override {
        // The sockets' last events and close markers are dispatched here, so
        // later tests on this thread start with an empty queue.
        m_conn.Close();
        m_listener.Close();
        plat::ThreadMsg msg;
        while (plat::PeekNextMessage(&msg, true)) {
            if (msg.hwnd != nullptr) plat::DispatchWindowMessage(msg);
        }
    }

    // Connects the client and accepts its connection on this thread.
    void Connect(int clientReceiveBuffer = 0) {
        if (clientReceiveBuffer > 0) m_client.SetReceiveBufferSize(clientReceiveBuffer);
        ASSERT_TRUE(m_client.Connect(m_nPort));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
        while (!m_listener.Accept(m_conn)) {
            ASSERT_EQ(CAsyncSocket::GetLastError(), static_cast<int>(WSAEWOULDBLOCK));
            ASSERT_LT(std::chrono::steady_clock::now(), deadline);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    // Delivers this thread's socket notifications for `ms` milliseconds at most, until `done`.
    template <typename Done>
    void Pump(Done done, unsigned ms = kWaitMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        plat::ThreadMsg msg;
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            if (plat::PeekNextMessage(&msg, true)) {
                plat::DispatchWindowMessage(msg);
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
    }

    CTempDir m_dir;
    CAsyncSocket m_listener;
    UINT m_nPort = 0;
    CCountingSocket m_conn;
    CHttpClient m_client;
};

TEST_F(SendFileBytesTest, HeadThenTheRangeOfTheFileResumingAfterShortSends) {
    const std::string content = Pattern(6 * 1024 * 1024 + 17);
    ASSERT_TRUE(m_dir.MakeFile(L"package.bin", content));
    CDiskFile file;
    ASSERT_TRUE(file.Open(m_dir.PathOf(L"package.bin")));
    EXPECT_EQ(file.GetLengthAtOpen(), content.size());
    Connect(16 * 1024);
    if (!CAsyncSocket::CanSendFileBytes()) {
        EXPECT_EQ(m_conn.SendFileBytes("H", 1, file, 0, 10), SOCKET_ERROR);
        EXPECT_EQ(CAsyncSocket::GetLastError(), 10045);  // WSAEOPNOTSUPP: the caller reads and sends instead
        GTEST_SKIP() << "this platform sends files by reading them";
    }

    const std::string head = "HEADER\r\n";
    const std::uint64_t offset = 1000;
    const int length = 5 * 1024 * 1024;
    const std::string expected = head + content.substr(offset, static_cast<std::size_t>(length));
    std::string received;
    // The reader starts after the first offer: until then nothing drains the
    // socket, so that offer is cut short whatever the machine's speed.
    std::thread reader;

    // Offer what is left, as the send queue does, again at each write notification.
    int sent = 0;
    int shortSends = 0;
    while (sent < static_cast<int>(expected.size())) {
        const int headLeft = sent < static_cast<int>(head.size()) ? static_cast<int>(head.size()) - sent : 0;
        const int fileDone = sent - (static_cast<int>(head.size()) - headLeft);
        const int n = m_conn.SendFileBytes(headLeft > 0 ? head.data() + sent : nullptr, headLeft, file,
                                           offset + static_cast<unsigned>(fileDone), length - fileDone);
        if (n == SOCKET_ERROR) {
            ASSERT_EQ(CAsyncSocket::GetLastError(), static_cast<int>(WSAEWOULDBLOCK));
        } else {
            sent += n;
        }
        if (!reader.joinable())
            reader = std::thread([&] { m_client.ReceiveExactly(expected.size(), received, kWaitMs); });
        if (sent == static_cast<int>(expected.size())) break;
        ++shortSends;
        const int before = m_conn.writeNotifications;
        Pump([&] { return m_conn.writeNotifications > before; });
        ASSERT_GT(m_conn.writeNotifications, before) << "a short send owes a write notification";
    }
    reader.join();
    EXPECT_GE(shortSends, 1) << "a slow reader should have filled the socket";
    ASSERT_EQ(received.size(), expected.size());
    EXPECT_TRUE(received == expected);
    EXPECT_TRUE(m_client.ReceiveSome(100).empty()) << "nothing beyond the range";
}

TEST_F(SendFileBytesTest, RangeBeyondTheEndOfTheFileReportsTheEnd) {
    ASSERT_TRUE(m_dir.MakeFile(L"short.bin", "0123456789"));
    CDiskFile file;
    ASSERT_TRUE(file.Open(m_dir.PathOf(L"short.bin")));
    Connect();
    if (!CAsyncSocket::CanSendFileBytes()) GTEST_SKIP() << "this platform sends files by reading them";

    // Some bytes exist: they go, and the next call finds the end.
    EXPECT_EQ(m_conn.SendFileBytes(nullptr, 0, file, 6, 100), 4);
    EXPECT_EQ(m_conn.SendFileBytes(nullptr, 0, file, 10, 96), SOCKET_ERROR);
    EXPECT_EQ(CAsyncSocket::GetLastError(), static_cast<int>(ERROR_HANDLE_EOF));
    std::string received;
    ASSERT_TRUE(m_client.ReceiveExactly(4, received, kWaitMs));
    EXPECT_EQ(received, "6789");

    file.Close();
    EXPECT_EQ(m_conn.SendFileBytes(nullptr, 0, file, 0, 1), SOCKET_ERROR) << "a closed file sends nothing";
}

}  // namespace
