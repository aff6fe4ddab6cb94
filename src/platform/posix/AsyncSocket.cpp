// POSIX notification-driven sockets: epoll readiness turned into Winsock's notification rules.
//
// Each socket is watched, level-triggered, by the epoll of the thread that
// listens, connects or accepts with it (posix/ThreadQueue.h). The epoll mask
// carries only the events that may be notified now: reading stays out of it
// from an FD_READ until the next Receive, writing is in it only while an
// FD_WRITE is owed. So a socket with unread data or a full send buffer costs
// nothing until its owner acts, and no readiness is reported twice.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "platform/AsyncSocket.h"
#include "common/Utf8.h"
#include "platform/File.h"
#include "platform/Handles.h"
#include "platform/TransferChunk.h"
#include "platform/Win32Codes.h"
#include "platform/posix/PosixObjects.h"
#include "platform/posix/ThreadQueue.h"
#include "platform/portable/SocketAddress.h"

namespace {

using plat::sockets::ResolveAddress;
using plat::sockets::SocketAddress;

constexpr DWORD kWsaEAlready = 10037;
constexpr DWORD kWsaEProtoNoSupport = 10043;
constexpr DWORD kWsaESockTNoSupport = 10044;
constexpr DWORD kWsaEOpNotSupp = 10045;
constexpr DWORD kWsaEIsConn = 10056;
constexpr DWORD kWsaEShutdown = 10058;
constexpr DWORD kWsaEHostUnreach = 10065;
constexpr DWORD kWsaHostNotFound = 11001;

// errno as the Winsock code Windows reports for the same socket failure.
DWORD WinsockFromErrno(int error) {
    switch (error) {
        case EINTR: return WSAEINTR;
        case EBADF: return WSAEBADF;
        case EACCES: case EPERM: return WSAEACCES;
        case EFAULT: return WSAEFAULT;
        case EINVAL: return WSAEINVAL;
        case EMFILE: case ENFILE: return WSAEMFILE;
        case EMSGSIZE: return WSAEMSGSIZE;
        case EALREADY: return kWsaEAlready;
        case EPROTONOSUPPORT: return kWsaEProtoNoSupport;
        case ESOCKTNOSUPPORT: return kWsaESockTNoSupport;
        case EOPNOTSUPP: return kWsaEOpNotSupp;
        case EISCONN: return kWsaEIsConn;
        case ESHUTDOWN: return kWsaEShutdown;
        case EHOSTUNREACH: return kWsaEHostUnreach;
        case ENOMEM: case ENOBUFS: return WSAENOBUFS;
        default: return plat::posix::Win32FromErrno(error);
    }
}

// SO_REUSEADDR, never SO_REUSEPORT: binding beside a live listener must still fail.
void AllowTimeWaitReuse(int fd) {
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

int SetSocketError(int error) {
    plat::SetLastErrorCode(WinsockFromErrno(error));
    return SOCKET_ERROR;
}

// The pending socket error (SO_ERROR), which reading also clears.
int TakeSocketError(int fd) {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
    return error;
}

// The family of a socket's own address (AF_UNSPEC when it cannot be read).
int SocketFamily(int fd) {
    SocketAddress local;
    local.length = sizeof local.storage;
    if (::getsockname(fd, local.Raw(), &local.length) != 0) return AF_UNSPEC;
    return local.Family();
}

}  // namespace

namespace plat::sockets {

bool ParseAddressLiteral(int family, const wchar_t* text, void* address) {
    return ::inet_pton(family, WideToUtf8(text).c_str(), address) == 1;
}

int LookUpHostName(const wchar_t* name, bool ipv4Only, const std::function<bool(const sockaddr&)>& take) {
    addrinfo hints{};
    hints.ai_family = ipv4Only ? AF_INET : AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(WideToUtf8(name).c_str(), nullptr, &hints, &found) != 0) return kWsaHostNotFound;
    for (const addrinfo* entry = found; entry != nullptr && !take(*entry->ai_addr); entry = entry->ai_next) {
    }
    ::freeaddrinfo(found);
    return 0;
}

}  // namespace plat::sockets

// One socket's notification state, and the sink its thread's epoll reports to.
struct CAsyncSocket::State final : plat::posix::ReadinessSink {
    enum class Role { Unconnected, Listening, Connecting, Connected };

    explicit State(CAsyncSocket& owner) : owner(owner) {}

    CAsyncSocket& owner;
    long events = 0;
    Role role = Role::Unconnected;
    bool readArmed = true;   // FD_READ (FD_ACCEPT) may be notified: set by each Receive (Accept)
    bool writeArmed = false; // an FD_WRITE is owed once the socket can take data
    bool writeReported = false;  // that FD_WRITE is already queued (a new connection): epoll need not look
    bool oobArmed = true;    // FD_OOB may be notified: set by each out-of-band Receive
    bool readSideDone = false;  // FD_CLOSE notified (or owed to nobody): nothing more to read
    bool broken = false;        // the connection failed: nothing more to watch
    bool parked = false;        // hung up while reads were disarmed: watch again at the next Receive
    bool registered = false;
    bool dispatching = false;   // notifications are being delivered: mask updates wait until after
    std::uint32_t mask = 0;
    DWORD ownerThread = 0;
    unsigned generation = 0;    // counts Close calls, so a delivery can tell that its handle went away
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);

    int Fd() const { return static_cast<int>(owner.m_hSocket); }

    void ResetFlags() {
        role = Role::Unconnected;
        readArmed = true;
        writeArmed = false;
        writeReported = false;
        oobArmed = true;
        readSideDone = false;
        broken = false;
        parked = false;
        dispatching = false;
        mask = 0;
    }

    std::uint32_t WantedMask() const {
        std::uint32_t wanted = 0;
        switch (role) {
            case Role::Listening:
                if (readArmed && (events & FD_ACCEPT)) wanted |= EPOLLIN;
                break;
            case Role::Connecting:
                wanted |= EPOLLOUT;  // the outcome is needed whether or not FD_CONNECT is selected
                break;
            case Role::Connected:
                if (readArmed && !readSideDone && (events & (FD_READ | FD_CLOSE))) wanted |= EPOLLIN | EPOLLRDHUP;
                if (writeArmed && !writeReported && (events & FD_WRITE)) wanted |= EPOLLOUT;
                if (oobArmed && !readSideDone && (events & FD_OOB)) wanted |= EPOLLPRI;
                break;
            case Role::Unconnected:
                break;
        }
        return wanted;
    }

    // Brings the epoll registration in line with the flags. A connected socket
    // stays registered with an empty mask, because resets and hang-ups are
    // reported whatever the mask says; an unconnected socket is not registered
    // at all, because the kernel reports it as hung up.
    bool UpdateWatch() {
        if (dispatching) return true;
        const int fd = Fd();
        const bool want = owner.m_hSocket != plat::kInvalidSocket && role != Role::Unconnected && !broken &&
                          !parked;
        if (!want) {
            Unwatch();
            return true;
        }
        const std::uint32_t wanted = WantedMask();
        if (!registered) {
            if (!plat::posix::WatchDescriptor(fd, wanted, this)) return false;
            registered = true;
            ownerThread = plat::CurrentThreadId();
            mask = wanted;
            return true;
        }
        if (wanted != mask) {
            if (!plat::posix::ChangeDescriptor(fd, wanted, this)) return false;
            mask = wanted;
        }
        return true;
    }

    // `closing`: the descriptor is closed next, which takes it out of epoll.
    void Unwatch(bool closing = false) {
        if (!registered) return;
        // Only the owning thread can reach its epoll; closing the descriptor
        // removes it from there as well.
        if (plat::CurrentThreadId() == ownerThread) {
            if (closing) plat::posix::ForgetDescriptor(Fd(), this);
            else plat::posix::UnwatchDescriptor(Fd(), this);
        }
        registered = false;
        mask = 0;
    }

    // The notifications one readiness report makes, in the order they are delivered.
    struct Owed {
        struct {
            long event;
            int error;
        } items[4];
        int count = 0;
    };

    void Owe(Owed& owed, long event, int error) const {
        if (events & event) owed.items[owed.count++] = {event, error};
    }

    void ListeningReadiness(std::uint32_t ready, int fd, Owed& owed) {
        if ((ready & EPOLLIN) && readArmed) {
            readArmed = false;
            Owe(owed, FD_ACCEPT, 0);
        } else if (ready & (EPOLLERR | EPOLLHUP)) {
            // A listening socket that hangs up (shut down by its owner) has nothing more to say.
            TakeSocketError(fd);
            broken = true;
        }
    }

    void ConnectingReadiness(std::uint32_t ready, int fd, Owed& owed) {
        if (!(ready & (EPOLLOUT | EPOLLERR | EPOLLHUP))) return;
        int error = TakeSocketError(fd);
        if (error == 0 && !(ready & EPOLLOUT)) error = ECONNREFUSED;
        if (error != 0) {
            broken = true;
            Owe(owed, FD_CONNECT, static_cast<int>(WinsockFromErrno(error)));
        } else {
            role = Role::Connected;
            writeArmed = true;
            Owe(owed, FD_CONNECT, 0);
        }
    }

    void ConnectedReadiness(std::uint32_t ready, int fd, Owed& owed) {
        // A queued writability notice is used up now, delivered or not;
        // an FD_WRITE still owed is then asked of epoll.
        if (ready & EPOLLOUT) writeReported = false;
        if (ready & EPOLLERR) {
            const int error = TakeSocketError(fd);
            broken = true;
            if (!readSideDone) {
                readSideDone = true;
                Owe(owed, FD_CLOSE, static_cast<int>(WinsockFromErrno(error != 0 ? error : ECONNRESET)));
            }
            return;
        }
        if ((ready & EPOLLOUT) && writeArmed && (events & FD_WRITE)) {
            writeArmed = false;
            Owe(owed, FD_WRITE, 0);
        }
        if ((ready & EPOLLPRI) && oobArmed && (events & FD_OOB)) {
            oobArmed = false;
            Owe(owed, FD_OOB, 0);
        }
        ReadSideReadiness(ready, fd, owed);
    }

    // Data first, the close only when nothing is left to read.
    void ReadSideReadiness(std::uint32_t ready, int fd, Owed& owed) {
        if (readSideDone) {
            if (ready & EPOLLHUP) broken = true;  // both directions are gone
        } else if (readArmed && (ready & (EPOLLIN | EPOLLRDHUP | EPOLLHUP))) {
            // Readable without a hang-up means data waits; only a hang-up
            // needs a look at whether any is left before it.
            char probe;
            ssize_t got = 1;
            if (ready & (EPOLLRDHUP | EPOLLHUP)) {
                do {
                    got = ::recv(fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
                } while (got < 0 && errno == EINTR);
            }
            if (got > 0) {
                readArmed = false;
                Owe(owed, FD_READ, 0);
            } else if (got == 0) {
                readSideDone = true;
                Owe(owed, FD_CLOSE, 0);
            } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
                readSideDone = true;
                broken = true;
                Owe(owed, FD_CLOSE, static_cast<int>(WinsockFromErrno(errno)));
            }
        } else if ((ready & EPOLLHUP) && !readArmed) {
            parked = true;
        }
    }

    // Delivers the notifications. False when one of them deleted or closed
    // the object: nothing of it may be touched then.
    bool Deliver(const Owed& owed) {
        const std::shared_ptr<bool> stillAlive = alive;
        const unsigned handleGeneration = generation;
        const bool outermost = !dispatching;
        dispatching = true;
        for (int i = 0; i < owed.count; ++i) {
            owner.Notify(owed.items[i].event, owed.items[i].error);
            if (!*stillAlive || generation != handleGeneration) return false;
        }
        if (outermost) dispatching = false;
        return true;
    }

    // Decides what the readiness means under the Winsock rules, updates the
    // flags, then delivers.
    void OnReadiness(std::uint32_t ready) override {
        if (owner.m_hSocket == plat::kInvalidSocket) return;
        const int fd = Fd();
        Owed owed;
        if (role == Role::Listening) ListeningReadiness(ready, fd, owed);
        else if (role == Role::Connecting) ConnectingReadiness(ready, fd, owed);
        if (role == Role::Connected && !broken) ConnectedReadiness(ready, fd, owed);
        if (Deliver(owed)) UpdateWatch();
    }
};

namespace plat {
AddressLiteral ClassifyAddressLiteral(std::wstring_view text) {
    if (text.find(L'\0') != std::wstring_view::npos) return AddressLiteral::None;
    const std::string name = WideToUtf8(text);
    in6_addr address{};
    if (::inet_pton(AF_INET, name.c_str(), &address) == 1) return AddressLiteral::IPv4;
    if (::inet_pton(AF_INET6, name.c_str(), &address) == 1) return AddressLiteral::IPv6;
    return AddressLiteral::None;
}

BOOL InitSockets() {
    // A send to a closed connection must fail with an error, not end the process.
    ::signal(SIGPIPE, SIG_IGN);
    return TRUE;
}
}  // namespace plat

CAsyncSocket::CAsyncSocket() : m_hSocket(plat::kInvalidSocket), m_pState(std::make_unique<State>(*this)) {}

CAsyncSocket::~CAsyncSocket() {
    Close();
    *m_pState->alive = false;
}

BOOL CAsyncSocket::Create(UINT port, int type, long events, const wchar_t* address) {
    if (m_hSocket != plat::kInvalidSocket) return SetSocketError(EISCONN), FALSE;
    if (type != SOCK_STREAM) return SetSocketError(ESOCKTNOSUPPORT), FALSE;
    // Every address: one IPv6 socket that IPv4 clients reach as well, or an
    // IPv4 one where the system has no IPv6.
    SocketAddress local;
    if (const DWORD error = ResolveAddress(address, port, address == nullptr ? AF_INET6 : AF_UNSPEC, local)) {
        plat::SetLastErrorCode(error);
        return FALSE;
    }
    int fd = ::socket(local.Family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0 && errno == EAFNOSUPPORT && address == nullptr) {
        ResolveAddress(nullptr, port, AF_INET, local);
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    }
    if (fd < 0) return SetSocketError(errno), FALSE;
    // The system's default for IPv4 clients on an IPv6 socket varies
    // (net.ipv6.bindv6only; Windows says IPv6 only): always both.
    const int ipv6Only = 0;
    if (local.Family() == AF_INET6 && ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &ipv6Only, sizeof ipv6Only) != 0) {
        const int error = errno;
        ::close(fd);
        return SetSocketError(error), FALSE;
    }
    // Windows lets a restarted server bind a port that still has TIME_WAIT
    // connections; Linux does so only with SO_REUSEADDR, on the new socket
    // and on the connections in TIME_WAIT (see Listen). A port that another
    // socket listens on is still refused.
    if (port != 0) AllowTimeWaitReuse(fd);
    if (::bind(fd, local.Raw(), local.length) != 0) {
        const int error = errno;
        ::close(fd);
        return SetSocketError(error), FALSE;
    }
    m_hSocket = static_cast<plat::SocketHandle>(fd);
    m_pState->ResetFlags();
    m_pState->events = events;
    return TRUE;
}

BOOL CAsyncSocket::Listen(int backlog) {
    if (m_hSocket == plat::kInvalidSocket) return SetSocketError(ENOTSOCK), FALSE;
    // Accepted connections inherit the option, so that their TIME_WAIT
    // remnants never keep a restarted server from its port.
    AllowTimeWaitReuse(m_pState->Fd());
    if (::listen(m_pState->Fd(), backlog) != 0) return SetSocketError(errno), FALSE;
    m_pState->role = State::Role::Listening;
    m_pState->readArmed = true;
    if (!m_pState->UpdateWatch()) return FALSE;
    return TRUE;
}

BOOL CAsyncSocket::AttachListening(plat::SocketHandle listening, UINT port, long events) {
    if (m_hSocket != plat::kInvalidSocket) return SetSocketError(EISCONN), FALSE;
    const int fd = ::fcntl(static_cast<int>(listening), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return SetSocketError(errno == EBADF ? ENOTSOCK : errno), FALSE;
    int type = 0;
    int accepting = 0;
    socklen_t length = sizeof type;
    const bool stream = ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) == 0 && type == SOCK_STREAM;
    length = sizeof accepting;
    const bool listens = ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &length) == 0 && accepting != 0;
    SocketAddress local;
    local.length = sizeof local.storage;
    const bool named = ::getsockname(fd, local.Raw(), &local.length) == 0 &&
                       (local.Family() == AF_INET || local.Family() == AF_INET6);
    std::uint16_t boundPort = 0;
    if (named)
        boundPort = ntohs(local.Family() == AF_INET ? reinterpret_cast<sockaddr_in*>(local.Raw())->sin_port
                                                    : reinterpret_cast<sockaddr_in6*>(local.Raw())->sin6_port);
    int error = 0;
    if (!stream || !listens || !named) error = ENOTSOCK;
    else if (boundPort != port) error = EADDRNOTAVAIL;
    // The descriptor shares its file status with the original: every copy is
    // non-blocking from here on, which the service manager's polling does not mind.
    else if (const int flags = ::fcntl(fd, F_GETFL); flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)
        error = errno;
    if (error != 0) {
        ::close(fd);
        return SetSocketError(error), FALSE;
    }
    m_hSocket = static_cast<plat::SocketHandle>(fd);
    m_pState->ResetFlags();
    m_pState->events = events;
    m_pState->role = State::Role::Listening;
    m_pState->readArmed = true;
    return m_pState->UpdateWatch() ? TRUE : FALSE;
}

BOOL CAsyncSocket::Accept(CAsyncSocket& connected) {
    if (m_hSocket == plat::kInvalidSocket) return SetSocketError(ENOTSOCK), FALSE;
    if (connected.m_hSocket != plat::kInvalidSocket) return SetSocketError(EINVAL), FALSE;
    int fd;
    do {
        fd = ::accept4(m_pState->Fd(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    const int error = errno;
    // Every accept call, successful or not, allows the next FD_ACCEPT.
    m_pState->readArmed = true;
    m_pState->UpdateWatch();
    if (fd < 0) return SetSocketError(error), FALSE;

    connected.m_hSocket = static_cast<plat::SocketHandle>(fd);
    State& state = *connected.m_pState;
    state.ResetFlags();
    state.events = m_pState->events;
    state.role = State::Role::Connected;
    // A new connection can take data: one FD_WRITE, queued right away
    // rather than asked of epoll and then taken out of its mask again.
    state.writeArmed = true;
    state.writeReported = (state.events & FD_WRITE) != 0;
    if (!state.UpdateWatch()) {
        const DWORD watchError = plat::LastError();
        connected.Close();
        plat::SetLastErrorCode(watchError);
        return FALSE;
    }
    if (state.writeReported) plat::posix::ReportReadiness(fd, EPOLLOUT, &state);
    return TRUE;
}

BOOL CAsyncSocket::Connect(const wchar_t* host, UINT port) {
    if (m_hSocket == plat::kInvalidSocket) return SetSocketError(ENOTSOCK), FALSE;
    SocketAddress remote;
    if (const DWORD error = ResolveAddress(host, port, SocketFamily(m_pState->Fd()), remote)) {
        plat::SetLastErrorCode(error);
        return FALSE;
    }
    int rc;
    do {
        rc = ::connect(m_pState->Fd(), remote.Raw(), remote.length);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0 && errno != EINPROGRESS) return SetSocketError(errno), FALSE;
    // Connected at once or not, the outcome is notified with FD_CONNECT, as Winsock does.
    m_pState->role = State::Role::Connecting;
    if (!m_pState->UpdateWatch()) return FALSE;
    if (rc == 0) return TRUE;
    plat::SetLastErrorCode(WSAEWOULDBLOCK);
    return FALSE;
}

BOOL CAsyncSocket::AsyncSelect(long events) {
    if (m_hSocket == plat::kInvalidSocket) return SetSocketError(ENOTSOCK), FALSE;
    m_pState->events = events;
    return m_pState->UpdateWatch() ? TRUE : FALSE;
}

int CAsyncSocket::Receive(void* buffer, int length, int flags) {
    if (m_hSocket == plat::kInvalidSocket) return SetSocketError(ENOTSOCK);
    if (length < 0 || (buffer == nullptr && length > 0)) return SetSocketError(EFAULT);
    // MSG_OOB, MSG_PEEK and MSG_DONTROUTE have the same values in Winsock and here.
    const int systemFlags = flags & (MSG_OOB | MSG_PEEK | MSG_DONTROUTE);
    ssize_t got;
    do {
        got = ::recv(m_pState->Fd(), buffer, static_cast<std::size_t>(length), systemFlags);
    } while (got < 0 && errno == EINTR);
    const int error = errno;
    // Every receive call, whatever it returns, allows the next FD_READ (FD_OOB).
    if (systemFlags & MSG_OOB) {
        m_pState->oobArmed = true;
    } else {
        m_pState->readArmed = true;
        m_pState->parked = false;
    }
    m_pState->UpdateWatch();
    if (got < 0) return SetSocketError(error);
    return static_cast<int>(got);
}

int CAsyncSocket::Send(const void* buffer, int length, int flags) {
    if (m_hSocket == plat::kInvalidSocket) return SetSocketError(ENOTSOCK);
    if (length < 0 || (buffer == nullptr && length > 0)) return SetSocketError(EFAULT);
    const int systemFlags = (flags & (MSG_OOB | MSG_DONTROUTE)) | MSG_NOSIGNAL;
    const char* bytes = static_cast<const char*>(buffer);
    int sent = 0;
    // A short send is retried at once: either everything goes, or the socket
    // reports that it would block, which is what owes the next FD_WRITE.
    while (sent < length) {
        const ssize_t n = ::send(m_pState->Fd(), bytes + sent, static_cast<std::size_t>(length - sent), systemFlags);
        if (n >= 0) {
            sent += static_cast<int>(n);
            continue;
        }
        const int error = errno;
        if (error == EINTR) continue;
        if (error == EAGAIN || error == EWOULDBLOCK) {
            m_pState->writeArmed = true;
            m_pState->UpdateWatch();
        }
        if (sent > 0) return sent;  // a hard error shows again at the next call
        return SetSocketError(error);
    }
    return sent;
}

int CAsyncSocket::SendPieces(const plat::SendPiece* pieces, int count) {
    if (m_hSocket == plat::kInvalidSocket) return SetSocketError(ENOTSOCK);
    if (count < 0 || count > plat::kMaxSendPieces || (pieces == nullptr && count > 0)) return SetSocketError(EFAULT);
    iovec vec[plat::kMaxSendPieces];
    long long total = 0;
    for (int i = 0; i < count; ++i) {
        if (pieces[i].length < 0 || (pieces[i].data == nullptr && pieces[i].length > 0)) return SetSocketError(EFAULT);
        vec[i].iov_base = const_cast<void*>(pieces[i].data);
        vec[i].iov_len = static_cast<std::size_t>(pieces[i].length);
        total += pieces[i].length;
    }
    if (total > std::numeric_limits<int>::max()) return SetSocketError(EMSGSIZE);
    msghdr message{};
    message.msg_iov = vec;
    message.msg_iovlen = static_cast<std::size_t>(count);
    int sent = 0;
    // As Send: a short send is retried with what is left, until everything
    // went or the socket would block (which owes the next FD_WRITE).
    while (sent < total) {
        ssize_t n = ::sendmsg(m_pState->Fd(), &message, MSG_NOSIGNAL);
        if (n < 0) {
            const int error = errno;
            if (error == EINTR) continue;
            if (error == EAGAIN || error == EWOULDBLOCK) {
                m_pState->writeArmed = true;
                m_pState->UpdateWatch();
            }
            if (sent > 0) return sent;
            return SetSocketError(error);
        }
        sent += static_cast<int>(n);
        while (n > 0 && message.msg_iovlen > 0) {
            iovec& first = message.msg_iov[0];
            const std::size_t step = std::min<std::size_t>(first.iov_len, static_cast<std::size_t>(n));
            first.iov_base = static_cast<char*>(first.iov_base) + step;
            first.iov_len -= step;
            n -= static_cast<ssize_t>(step);
            if (first.iov_len == 0) {
                ++message.msg_iov;
                --message.msg_iovlen;
            }
        }
    }
    return sent;
}

int CAsyncSocket::SendFileBytes(const void* head, int headLength, const CDiskFile& file, std::uint64_t offset,
                               int length) {
    if (m_hSocket == plat::kInvalidSocket) return SetSocketError(ENOTSOCK);
    if (headLength < 0 || length < 0 || (head == nullptr && headLength > 0)) return SetSocketError(EFAULT);
    if (file.NativeHandle() < 0 || offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) - static_cast<unsigned>(length))
        return SetSocketError(EINVAL);
    const int fd = m_pState->Fd();
    int sent = 0;
    // As Send: what the socket cannot take now owes the next FD_WRITE, and
    // a hard error after some bytes went shows again at the next call.
    auto stopped = [&](int error) {
        if (error == EAGAIN || error == EWOULDBLOCK) {
            m_pState->writeArmed = true;
            m_pState->UpdateWatch();
        }
        return sent > 0 ? sent : SetSocketError(error);
    };
    const char* bytes = static_cast<const char*>(head);
    // MSG_MORE holds the head back until the file's first bytes join it, so
    // a reply header and its body's start leave in the same segment.
    const int moreFollows = length > 0 ? MSG_MORE : 0;
    while (sent < headLength) {
        const ssize_t n = ::send(fd, bytes + sent, static_cast<std::size_t>(headLength - sent), MSG_NOSIGNAL | moreFollows);
        if (n >= 0) {
            sent += static_cast<int>(n);
        } else if (errno != EINTR) {
            return stopped(errno);
        }
    }
    const int source = static_cast<int>(file.NativeHandle());
    int fileSent = 0;
    while (fileSent < length) {
        off_t position = static_cast<off_t>(offset + static_cast<unsigned>(fileSent));
        // The socket is locked for the whole of a call: at most one chunk each.
        const std::size_t piece =
            std::min<std::size_t>(static_cast<std::size_t>(length - fileSent), plat::kTransferChunkBytes);
        const ssize_t n = ::sendfile(fd, source, &position, piece);
        if (n > 0) {
            fileSent += static_cast<int>(n);
            sent += static_cast<int>(n);
        } else if (n == 0) {
            // The file is shorter than it was: the bytes asked for do not
            // exist. After a partial send the caller learns it at its next
            // call, which the FD_WRITE owed for the short send brings.
            if (sent > 0) {
                m_pState->writeArmed = true;
                m_pState->UpdateWatch();
                return sent;
            }
            plat::SetLastErrorCode(ERROR_HANDLE_EOF);
            return SOCKET_ERROR;
        } else if (errno != EINTR) {
            return stopped(errno);
        }
    }
    return sent;
}

bool CAsyncSocket::CanSendFileBytes() { return true; }

BOOL CAsyncSocket::RequestWriteNotification() {
    if (m_hSocket == plat::kInvalidSocket) return SetSocketError(ENOTSOCK), FALSE;
    // Level-triggered: a socket that can take data is reported at the next wait.
    m_pState->writeArmed = true;
    return m_pState->UpdateWatch() ? TRUE : FALSE;
}

BOOL CAsyncSocket::ShutDown(int how) {
    if (m_hSocket == plat::kInvalidSocket) return SetSocketError(ENOTSOCK), FALSE;
    if (::shutdown(m_pState->Fd(), how) != 0) return SetSocketError(errno), FALSE;
    return TRUE;
}

bool CAsyncSocket::HasUnreadBytes() const {
    int waiting = 0;
    return m_hSocket != plat::kInvalidSocket && ::ioctl(m_pState->Fd(), FIONREAD, &waiting) == 0 && waiting > 0;
}

BOOL CAsyncSocket::SetNoDelay(bool noDelay) {
    if (m_hSocket == plat::kInvalidSocket) return SetSocketError(ENOTSOCK), FALSE;
    const int value = noDelay ? 1 : 0;
    if (::setsockopt(m_pState->Fd(), IPPROTO_TCP, TCP_NODELAY, &value, sizeof value) != 0)
        return SetSocketError(errno), FALSE;
    return TRUE;
}

void CAsyncSocket::Close() {
    if (m_hSocket == plat::kInvalidSocket) return;
    m_pState->Unwatch(true);
    ::close(m_pState->Fd());
    m_hSocket = plat::kInvalidSocket;
    ++m_pState->generation;
    m_pState->ResetFlags();
}

BOOL CAsyncSocket::GetSockName(std::wstring& address, UINT& port) const {
    if (m_hSocket == plat::kInvalidSocket) return SetSocketError(ENOTSOCK), FALSE;
    SocketAddress local;
    local.length = sizeof local.storage;
    if (::getsockname(m_pState->Fd(), local.Raw(), &local.length) != 0) return SetSocketError(errno), FALSE;
    char text[INET6_ADDRSTRLEN] = {};
    if (local.Family() == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&local.storage);
        ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        port = ntohs(v6->sin6_port);
    } else {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&local.storage);
        ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        port = ntohs(v4->sin_port);
    }
    address = Utf8ToWideLossy(text);
    return TRUE;
}

bool CAsyncSocket::IsIPv6() const {
    return m_hSocket != plat::kInvalidSocket && SocketFamily(m_pState->Fd()) == AF_INET6;
}

bool CAsyncSocket::IsPeerLoopback() const {
    if (m_hSocket == plat::kInvalidSocket) return false;
    SocketAddress peer;
    peer.length = sizeof peer.storage;
    return ::getpeername(m_pState->Fd(), peer.Raw(), &peer.length) == 0 && peer.IsLoopback();
}

int CAsyncSocket::GetLastError() { return static_cast<int>(plat::LastError()); }

void CAsyncSocket::OnAccept(int) {}
void CAsyncSocket::OnReceive(int) {}
void CAsyncSocket::OnSend(int) {}
void CAsyncSocket::OnClose(int) {}
void CAsyncSocket::OnConnect(int) {}
void CAsyncSocket::OnOutOfBandData(int) {}
