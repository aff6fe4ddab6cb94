// A small blocking TCP client for tests: connect, send, receive with time-outs, replies.
#include "support/HttpClient.h"

#include "support/TestSocketApi.h"

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace {

using test_sockets::Handle;
using Clock = std::chrono::steady_clock;

Handle H(std::uintptr_t stored) { return static_cast<Handle>(stored); }
std::uintptr_t Stored(Handle handle) { return static_cast<std::uintptr_t>(handle); }

// Milliseconds left until `deadline`, never negative.
int Remaining(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits until `socket` reports one of `events`; false on time-out or error.
bool WaitFor(Handle socket, short events, int timeoutMs, short* revents = nullptr) {
    pollfd entry{};
    entry.fd = socket;
    entry.events = events;
    const int ready = test_sockets::Poll(&entry, 1, timeoutMs);
    if (revents) *revents = entry.revents;
    return ready > 0;
}

}  // namespace

CHttpClient::CHttpClient() : m_hSocket(Stored(test_sockets::kInvalid)) { test_sockets::StartUp(); }

CHttpClient::~CHttpClient() { Close(); }

bool CHttpClient::IsConnected() const { return H(m_hSocket) != test_sockets::kInvalid && !m_bFailed; }

bool CHttpClient::Connect(unsigned port, unsigned timeoutMs) {
    Close();
    const Handle socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (socket == test_sockets::kInvalid) {
        m_nLastError = test_sockets::LastError();
        return false;
    }
    if (m_nReceiveBuffer > 0)
        ::setsockopt(socket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&m_nReceiveBuffer),
                     sizeof m_nReceiveBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<unsigned short>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // Connect without blocking, so a server that never accepts cannot hold the test.
    test_sockets::SetNonBlocking(socket, true);
    bool connected = ::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (!connected) {
        const int error = test_sockets::LastError();
        short revents = 0;
        if ((error == test_sockets::kInProgress || error == test_sockets::kWouldBlock) &&
            WaitFor(socket, POLLOUT, static_cast<int>(timeoutMs), &revents)) {
            int pending = 0;
            socklen_t length = sizeof pending;
            ::getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&pending), &length);
            connected = pending == 0 && (revents & POLLOUT) != 0;
            m_nLastError = pending;
        } else {
            m_nLastError = error;
        }
    }
    if (!connected) {
        test_sockets::CloseSocket(socket);
        return false;
    }
    test_sockets::SetNonBlocking(socket, false);
    m_hSocket = Stored(socket);
    m_strPending.clear();
    m_bPeerClosed = false;
    m_bFailed = false;
    return true;
}

bool CHttpClient::Send(std::string_view bytes) {
    if (!IsConnected()) return false;
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const std::size_t piece = bytes.size() - sent < (1u << 30) ? bytes.size() - sent : (1u << 30);
        const int n = test_sockets::SendSome(H(m_hSocket), bytes.data() + sent, static_cast<int>(piece));
        if (n <= 0) {
            m_nLastError = test_sockets::LastError();
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

bool CHttpClient::SendUrgent(char byte) {
    if (!IsConnected()) return false;
    if (::send(H(m_hSocket), &byte, 1, MSG_OOB) != 1) {
        m_nLastError = test_sockets::LastError();
        return false;
    }
    return true;
}

bool CHttpClient::Fill(unsigned timeoutMs) {
    if (!IsConnected() || m_bPeerClosed) return false;
    if (!WaitFor(H(m_hSocket), POLLIN, static_cast<int>(timeoutMs))) return false;
    char buffer[65536];
    const int got = test_sockets::Recv(H(m_hSocket), buffer, sizeof buffer);
    if (got > 0) {
        m_strPending.append(buffer, static_cast<std::size_t>(got));
        return true;
    }
    if (got == 0) {
        m_bPeerClosed = true;
    } else {
        m_nLastError = test_sockets::LastError();
        m_bFailed = true;
    }
    return false;
}

std::string CHttpClient::ReceiveSome(unsigned timeoutMs, std::size_t maxBytes) {
    if (m_strPending.empty()) Fill(timeoutMs);
    const std::size_t taken = m_strPending.size() < maxBytes ? m_strPending.size() : maxBytes;
    std::string out = m_strPending.substr(0, taken);
    m_strPending.erase(0, taken);
    return out;
}

bool CHttpClient::ReceiveExactly(std::size_t count, std::string& out, unsigned timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (m_strPending.size() < count) {
        if (!Fill(static_cast<unsigned>(Remaining(deadline)))) break;
    }
    const std::size_t taken = m_strPending.size() < count ? m_strPending.size() : count;
    out.append(m_strPending, 0, taken);
    m_strPending.erase(0, taken);
    return taken == count;
}

bool CHttpClient::ReceiveUntilClosed(std::string& out, unsigned timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!m_bPeerClosed) {
        if (!Fill(static_cast<unsigned>(Remaining(deadline))) && !m_bPeerClosed) break;
    }
    out += m_strPending;
    m_strPending.clear();
    return m_bPeerClosed;
}

bool CHttpClient::ReceiveReply(Reply& reply, unsigned timeoutMs, bool headOnly) {
    reply = Reply();
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::size_t headEnd;
    while ((headEnd = m_strPending.find("\r\n\r\n")) == std::string::npos) {
        if (!Fill(static_cast<unsigned>(Remaining(deadline)))) return false;
    }
    reply.head = m_strPending.substr(0, headEnd + 4);
    m_strPending.erase(0, headEnd + 4);
    const std::size_t space = reply.head.find(' ');
    if (reply.head.rfind("HTTP/", 0) == 0 && space != std::string::npos)
        reply.status = std::atoi(reply.head.c_str() + space + 1);
    // Header names are matched without regard to case, as HTTP wants.
    std::size_t lineStart = reply.head.find("\r\n");
    while (lineStart != std::string::npos && lineStart + 2 < reply.head.size()) {
        const std::size_t begin = lineStart + 2;
        const std::size_t lineEnd = reply.head.find("\r\n", begin);
        const std::string line = reply.head.substr(begin, lineEnd - begin);
        static const char kName[] = "content-length:";
        bool match = line.size() >= sizeof kName - 1;
        for (std::size_t i = 0; match && i < sizeof kName - 1; ++i)
            match = (line[i] | 0x20) == kName[i];
        if (match) reply.contentLength = std::atoll(line.c_str() + sizeof kName - 1);
        lineStart = lineEnd;
    }
    if (headOnly || reply.contentLength <= 0) return true;
    return ReceiveExactly(static_cast<std::size_t>(reply.contentLength), reply.body,
                          static_cast<unsigned>(Remaining(deadline)));
}

bool CHttpClient::ShutdownWrite() {
    if (!IsConnected()) return false;
    if (::shutdown(H(m_hSocket), test_sockets::kShutdownWrite) != 0) {
        m_nLastError = test_sockets::LastError();
        return false;
    }
    return true;
}

void CHttpClient::Abort() {
    if (H(m_hSocket) == test_sockets::kInvalid) return;
    linger hard{};
    hard.l_onoff = 1;
    hard.l_linger = 0;
    ::setsockopt(H(m_hSocket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
    Close();
}

void CHttpClient::Close() {
    if (H(m_hSocket) == test_sockets::kInvalid) return;
    test_sockets::CloseSocket(H(m_hSocket));
    m_hSocket = Stored(test_sockets::kInvalid);
    m_strPending.clear();
}
