// A small blocking TCP client for tests: talks to a server on 127.0.0.1.
//
//   CHttpClient client;
//   ASSERT_TRUE(client.Connect(port));
//   client.Send("GET /packages/a.zip HTTP/1.1\r\n\r\n");
//   CHttpClient::Reply reply;
//   ASSERT_TRUE(client.ReceiveReply(reply, 5000));   // head, then Content-Length bytes
//   EXPECT_EQ(reply.status, 200);
//
// Every receive waits at most the given number of milliseconds. Bytes that
// arrive beyond what a call asked for are kept for the next call, so
// replies that arrive back to back are read one by one.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

class CHttpClient {
  public:
    // One HTTP reply: the head through the blank line, and the body.
    struct Reply {
        std::string head;  // status line and header lines, with the closing "\r\n\r\n"
        std::string body;
        int status = 0;              // from the status line; 0 when it has none
        long long contentLength = -1;  // from "Content-Length"; -1 when absent
    };

    CHttpClient();
    ~CHttpClient();
    CHttpClient(const CHttpClient&) = delete;
    CHttpClient& operator=(const CHttpClient&) = delete;

    // Before Connect: the receive buffer the socket asks the system for
    // (a small one makes the server's sends block sooner). 0: the default.
    void SetReceiveBufferSize(int bytes) { m_nReceiveBuffer = bytes; }

    // Connects to 127.0.0.1:`port`, waiting at most `timeoutMs`.
    bool Connect(unsigned port, unsigned timeoutMs = 5000);
    bool IsConnected() const;

    // Sends every byte; false when the connection fails first.
    bool Send(std::string_view bytes);

    // Waits up to `timeoutMs` for data and returns what arrived (at most
    // `maxBytes`); empty on time-out, on close (see PeerClosed) or on error.
    std::string ReceiveSome(unsigned timeoutMs, std::size_t maxBytes = 65536);
    // Appends exactly `count` bytes to `out`. False when the time-out (for
    // the whole call) passes or the connection ends first; `out` then holds
    // what did arrive.
    bool ReceiveExactly(std::size_t count, std::string& out, unsigned timeoutMs);
    // Appends everything until the peer closes. False when the time-out
    // passes first or the connection fails (a reset).
    bool ReceiveUntilClosed(std::string& out, unsigned timeoutMs);
    // Reads one reply: the head up to the blank line, then "Content-Length"
    // bytes of body (none when `headOnly`, as for a HEAD request).
    bool ReceiveReply(Reply& reply, unsigned timeoutMs, bool headOnly = false);
    // True once a receive has seen the orderly end of the peer's data.
    bool PeerClosed() const { return m_bPeerClosed; }

    // Sends one byte as TCP urgent (out-of-band) data.
    bool SendUrgent(char byte);

    // Ends the sending direction (the server sees the peer close); receiving goes on.
    bool ShutdownWrite();
    // Closes with a reset instead of an orderly close.
    void Abort();
    void Close();

    // The platform's error number of the last failed call (errno or WSAGetLastError()).
    int LastError() const { return m_nLastError; }

  private:
    // Moves what the socket has into m_strPending, waiting up to `timeoutMs`.
    // False on time-out, close or error.
    bool Fill(unsigned timeoutMs);

    std::uintptr_t m_hSocket;
    std::string m_strPending;  // received, not yet handed out
    int m_nReceiveBuffer = 0;
    int m_nLastError = 0;
    bool m_bPeerClosed = false;
    bool m_bFailed = false;
};
