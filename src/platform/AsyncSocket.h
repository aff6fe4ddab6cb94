// Notification-driven TCP sockets: readiness arrives as virtual calls on the owning thread.
//
// A CAsyncSocket is a non-blocking socket whose accept, read, write, connect,
// out-of-band and close events are delivered as calls of OnAccept, OnReceive,
// OnSend, OnConnect, OnOutOfBandData and OnClose on the thread that created
// (or accepted) it, between the messages of that thread's queue: the thread
// must run the loop plat::WaitNextMessage (or TakeNextMessage) +
// plat::DispatchWindowMessage.
//
// Notifications follow the Winsock rules on every platform:
//  - FD_ACCEPT again after each Accept call while connections wait;
//  - FD_READ again after each Receive call while data waits, never repeated
//    while unread data waits and nobody called Receive;
//  - FD_WRITE once when connected or accepted, then only after a Send could
//    not hand over every byte (it would have blocked) and the socket can take
//    data again;
//  - FD_CLOSE once when the peer has closed (after the data before the close
//    was offered with FD_READ and received), or with the error code when the
//    connection broke (for example WSAECONNRESET, 10054).
//
// The owning thread is the one that calls Create (and Listen or Connect), or
// Accept for an accepted socket. Every call belongs on that thread; Close and
// the destructor may also run on another thread once the owner has ended.
// A socket object may delete itself inside one of its own notifications.
//
// Error codes are Winsock codes on every platform (WSAEWOULDBLOCK 10035,
// WSAEADDRINUSE 10048, ...), read with CAsyncSocket::GetLastError().
//
// Platform sources that include <winsock2.h> or <sys/socket.h> include them
// before this header: the constants below are then the system's own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/SendPiece.h"
#include "platform/Types.h"

namespace plat {

// The socket handle: a Winsock SOCKET on Windows, a file descriptor elsewhere.
typedef std::uintptr_t SocketHandle;
constexpr SocketHandle kInvalidSocket = ~static_cast<SocketHandle>(0);

// Process-wide socket start-up, once before the first socket ("AfxSocketInit"):
// WSAStartup on Windows; on POSIX it ignores SIGPIPE (sends use MSG_NOSIGNAL
// as well). FALSE with the last error set on failure.
BOOL InitSockets();

// What an address text is, as Create and Connect take it.
enum class AddressLiteral { None, IPv4, IPv6 };
// IPv4 in dotted decimal (192.0.2.7), IPv6 in its text forms without
// brackets (2001:db8::7, ::ffff:192.0.2.7); None for anything else (a host
// name, brackets, a zone, a port, white space).
AddressLiteral ClassifyAddressLiteral(std::wstring_view text);

}  // namespace plat

#ifndef INVALID_SOCKET
constexpr plat::SocketHandle INVALID_SOCKET = plat::kInvalidSocket;
#endif
#ifndef SOCKET_ERROR
constexpr int SOCKET_ERROR = -1;
#endif
#ifndef SOCK_STREAM
constexpr int SOCK_STREAM = 1;
#endif
#ifndef FD_READ
constexpr long FD_READ = 0x01;
constexpr long FD_WRITE = 0x02;
constexpr long FD_OOB = 0x04;
constexpr long FD_ACCEPT = 0x08;
constexpr long FD_CONNECT = 0x10;
constexpr long FD_CLOSE = 0x20;
#endif

class CDiskFile;

class CAsyncSocket {
  public:
    // Every event: FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE.
    static constexpr long kAllEvents = 63;
    static constexpr int kShutdownSends = 1;

    CAsyncSocket();
    virtual ~CAsyncSocket();  // closes the handle
    CAsyncSocket(const CAsyncSocket&) = delete;
    CAsyncSocket& operator=(const CAsyncSocket&) = delete;

    // Creates a socket of `type` (SOCK_STREAM), binds it to `port` (0: any
    // free port) on `address` and selects `events` for notifications on the
    // calling thread. `address` null: every local address of both families,
    // on one IPv6 socket that IPv4 peers reach as ::ffff:a.b.c.d; where the
    // system has no IPv6, an IPv4 socket on every IPv4 address (IsIPv6 tells
    // which). Otherwise an IPv4 or IPv6 literal (or a host name), whose
    // family the socket takes; an address the machine does not have fails
    // with WSAEADDRNOTAVAIL, an IPv6 one without IPv6 with WSAEAFNOSUPPORT.
    // A stream socket bound to a fixed port may rebind a port that still has
    // TIME_WAIT connections, as on Windows; a port that another socket
    // listens on (on either family) fails with WSAEADDRINUSE.
    BOOL Create(UINT port = 0, int type = 1 /* SOCK_STREAM */, long events = kAllEvents,
                const wchar_t* address = nullptr);
    BOOL Listen(int backlog = 5);
    // Takes a copy of `listening`, a socket that another party made and set
    // listening (plat::ActivatedListenSocket), and selects `events` on the
    // calling thread, as Create and Listen would. Fails with WSAENOTSOCK
    // unless it is a listening stream socket, and with WSAEADDRNOTAVAIL
    // unless it is bound to `port`. Closing this object leaves `listening`
    // open. Windows has none to take: WSAEOPNOTSUPP.
    BOOL AttachListening(plat::SocketHandle listening, UINT port, long events = kAllEvents);
    // Accepts a waiting connection into `connected`, which must have no handle.
    // The new socket inherits this socket's event selection and notifies the
    // calling thread. FALSE with WSAEWOULDBLOCK when nothing waits.
    virtual BOOL Accept(CAsyncSocket& connected);
    // Starts connecting to `host` (an IPv4 or IPv6 literal, or a host name)
    // and `port`; an IPv6 socket reaches IPv4 hosts too. TRUE
    // when connected at once; otherwise FALSE, and WSAEWOULDBLOCK means that
    // OnConnect reports the outcome. Either way OnConnect is called.
    BOOL Connect(const wchar_t* host, UINT port);
    // Changes the selected events.
    BOOL AsyncSelect(long events = kAllEvents);

    // Byte count (0: the peer has closed) or SOCKET_ERROR.
    int Receive(void* buffer, int length, int flags = 0);
    // Byte count accepted, possibly fewer than offered, or SOCKET_ERROR
    // (WSAEWOULDBLOCK when the socket cannot take anything now). Whenever not
    // every byte was taken, OnSend follows once the socket can take more.
    int Send(const void* buffer, int length, int flags = 0);
    // Sends the `count` pieces (at most plat::kMaxSendPieces) in order, as
    // Send sends one buffer, each from where it lies, in one system call
    // while the socket takes everything (sendmsg; WSASend).
    int SendPieces(const plat::SendPiece* pieces, int count);
    // Sends the `headLength` bytes of `head` and then `length` bytes of
    // `file` from `offset`, the file's bytes without passing through memory
    // of ours (sendfile on POSIX); the head leaves together with the file's
    // first bytes. Returns the count accepted, head bytes included, possibly
    // fewer than offered (with the FD_WRITE rule of Send), or SOCKET_ERROR:
    // WSAEWOULDBLOCK when nothing could be taken now, ERROR_HANDLE_EOF (38)
    // when the file ends before offset + length, WSAEOPNOTSUPP where the
    // platform cannot send this way (see CanSendFileBytes).
    int SendFileBytes(const void* head, int headLength, const CDiskFile& file, std::uint64_t offset, int length);
    // SendFileBytes works on this platform (POSIX: yes; Windows: not yet,
    // callers read the file and Send it).
    static bool CanSendFileBytes();
    // Asks for an FD_WRITE as soon as the socket can take data, although no
    // send was refused: a sender that stopped on its own (to let other
    // connections have their turn) resumes there.
    BOOL RequestWriteNotification();
    BOOL ShutDown(int how = kShutdownSends);
    // Whether received bytes wait to be read.
    bool HasUnreadBytes() const;
    // Turns Nagle's algorithm off (TRUE) or on for this connection.
    BOOL SetNoDelay(bool noDelay);
    // Closes the handle; no notification is delivered for it afterwards.
    void Close();

    // The local address (as text: 0.0.0.0, ::, ::1, ...) and port the socket is bound to.
    BOOL GetSockName(std::wstring& address, UINT& port) const;
    // The connected peer's address is a loopback one: 127.0.0.0/8, ::1, or
    // an IPv4 one of 127.0.0.0/8 mapped into IPv6 (as a dual-stack socket
    // sees an IPv4 client). False when it is not, or cannot be read.
    bool IsPeerLoopback() const;
    // The socket is of the IPv6 family (made for every address, it takes
    // IPv4 peers as well); false for an IPv4 socket or none.
    bool IsIPv6() const;

    // The calling thread's last socket error, a Winsock code on every platform.
    static int GetLastError();

    // The handle; kInvalidSocket when closed.
    plat::SocketHandle m_hSocket;

    // Notifications; the base versions do nothing. The argument is 0 or a
    // Winsock error code.
    virtual void OnAccept(int errorCode);
    virtual void OnReceive(int errorCode);
    virtual void OnSend(int errorCode);
    virtual void OnClose(int errorCode);
    virtual void OnConnect(int errorCode);
    virtual void OnOutOfBandData(int errorCode);

    // The platform's bookkeeping for one socket (declared by each backend).
    struct State;

  private:
    // Delivers one notification (FD_READ, FD_WRITE, ...) to its virtual.
    void Notify(long event, int errorCode);
    friend struct State;

    std::unique_ptr<State> m_pState;
};

inline void CAsyncSocket::Notify(long event, int errorCode) {
    switch (event) {
        case FD_READ: OnReceive(errorCode); break;
        case FD_WRITE: OnSend(errorCode); break;
        case FD_OOB: OnOutOfBandData(errorCode); break;
        case FD_ACCEPT: OnAccept(errorCode); break;
        case FD_CONNECT: OnConnect(errorCode); break;
        case FD_CLOSE: OnClose(errorCode); break;
        default: break;
    }
}
