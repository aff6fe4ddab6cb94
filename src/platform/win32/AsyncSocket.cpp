// Windows notification-driven sockets: WSAAsyncSelect to a message-only window per thread.
//
// Winsock posts each network event as a message to a hidden window of the
// thread that owns the socket; the thread's GetMessageW loop dispatches it to
// the window procedure here, which finds the socket object by its handle in
// that thread's table and calls the notification. Winsock itself applies the
// re-enabling rules (FD_READ after recv, FD_WRITE after WSAEWOULDBLOCK, ...).
//
// Events already posted for a socket stay in the queue after it is closed,
// and a later socket may get the same handle value. So Close posts a
// "retired" marker for the handle to the same window after the last event
// Winsock may post for it; the window procedure drops events of a handle
// while a marker for it is outstanding. Posted messages of one thread come
// out in the order they went in, so everything before the marker is the old
// socket's and everything after it the new one's: a close costs the same
// however many events of other sockets wait.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/AsyncSocket.h"
#include "platform/portable/SocketAddress.h"

namespace {

using plat::sockets::ResolveAddress;
using plat::sockets::SocketAddress;

// The message Winsock posts for socket events; private to our own window class.
constexpr UINT kSocketMessage = WM_USER + 0x5A;
// Posted by Close with the closed handle as its wParam: the end of that socket's events.
constexpr UINT kRetiredMessage = WM_USER + 0x5B;
constexpr wchar_t kWindowClass[] = L"VelmoraSocketNotifications";

LRESULT CALLBACK SocketWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The sockets of one thread and the window their events go to. Shared with the
// sockets, so a socket closed after its thread ended still finds its table.
struct ThreadSockets {
    HWND window = nullptr;
    std::mutex mutex;  // only the owner uses the table, unless a socket is closed elsewhere
    std::unordered_map<SOCKET, CAsyncSocket*> sockets;
    // Closed handles whose markers are still in the queue, with their count.
    std::unordered_map<SOCKET, unsigned> retiring;
    // Closed sockets whose marker could not be posted (the queue was full):
    // their handles stay open, without events, so no later socket can get
    // the value, until a marker fits.
    std::vector<SOCKET> unmarked;

    ~ThreadSockets() {
        for (SOCKET socket : unmarked) ::closesocket(socket);
    }

    // Closes `socket`, whose events went to this window, behind a marker.
    void Retire(SOCKET socket);
    // Retires what could not be marked before; called with the mutex held.
    void RetireUnmarkedLocked();

  private:
    // Posts the marker for `socket`; false when the queue had no room for it.
    bool PostMarkerLocked(SOCKET socket);
};

bool ThreadSockets::PostMarkerLocked(SOCKET socket) {
    ++retiring[socket];
    if (::PostMessageW(window, kRetiredMessage, static_cast<WPARAM>(socket), 0)) return true;
    const DWORD error = ::GetLastError();
    if (--retiring[socket] == 0) retiring.erase(socket);
    // Any other failure means the window has gone with its thread: nothing
    // of this socket will be dispatched any more.
    return error != ERROR_NOT_ENOUGH_QUOTA;
}

void ThreadSockets::Retire(SOCKET socket) {
    // Winsock posts nothing more for the socket once this returns.
    ::WSAAsyncSelect(socket, window, 0, 0);
    std::lock_guard lock(mutex);
    if (PostMarkerLocked(socket)) {
        ::closesocket(socket);
    } else {
        unmarked.push_back(socket);
    }
}

void ThreadSockets::RetireUnmarkedLocked() {
    std::size_t done = 0;
    while (done < unmarked.size() && PostMarkerLocked(unmarked[done])) ::closesocket(unmarked[done++]);
    unmarked.erase(unmarked.begin(), unmarked.begin() + static_cast<std::ptrdiff_t>(done));
}

thread_local std::shared_ptr<ThreadSockets> t_sockets;

bool RegisterWindowClass() {
    static const bool registered = [] {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = &SocketWindowProc;
        windowClass.hInstance = ::GetModuleHandleW(nullptr);
        windowClass.lpszClassName = kWindowClass;
        return ::RegisterClassExW(&windowClass) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    }();
    return registered;
}

// The calling thread's table, with its window created on first use (the
// system destroys the window when the thread ends).
std::shared_ptr<ThreadSockets> OwnSockets() {
    if (t_sockets) return t_sockets;
    if (!RegisterWindowClass()) return nullptr;
    HWND window = ::CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                    ::GetModuleHandleW(nullptr), nullptr);
    if (window == nullptr) return nullptr;
    auto table = std::make_shared<ThreadSockets>();
    table->window = window;
    t_sockets = table;
    return table;
}

// The family of a socket's own address (AF_UNSPEC when it cannot be read).
int SocketFamily(SOCKET socket) {
    SocketAddress local;
    local.length = sizeof local.storage;
    if (::getsockname(socket, local.Raw(), &local.length) != 0) return AF_UNSPEC;
    return local.Family();
}

BOOL FailWith(int error) {
    ::WSASetLastError(error);
    return FALSE;
}

}  // namespace

namespace plat::sockets {

bool ParseAddressLiteral(int family, const wchar_t* text, void* address) {
    return ::InetPtonW(family, text, address) == 1;
}

int LookUpHostName(const wchar_t* name, bool ipv4Only, const std::function<bool(const sockaddr&)>& take) {
    ADDRINFOW hints{};
    hints.ai_family = ipv4Only ? AF_INET : AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    ADDRINFOW* found = nullptr;
    if (::GetAddrInfoW(name, nullptr, &hints, &found) != 0 || found == nullptr) {
        const int error = ::WSAGetLastError();
        return error != 0 ? error : WSAHOST_NOT_FOUND;
    }
    for (const ADDRINFOW* entry = found; entry != nullptr && !take(*entry->ai_addr); entry = entry->ai_next) {
    }
    ::FreeAddrInfoW(found);
    return 0;
}

}  // namespace plat::sockets

// One socket's registration: its event selection and the table of its thread.
struct CAsyncSocket::State {
    long events = 0;
    std::shared_ptr<ThreadSockets> home;

    // Selects `selected` on `socket` for the calling thread's window and enters
    // it in that thread's table.
    static bool Attach(CAsyncSocket& owner, SOCKET socket, long selected) {
        std::shared_ptr<ThreadSockets> table = OwnSockets();
        if (!table) return FailWith(WSAENOBUFS);
        if (::WSAAsyncSelect(socket, table->window, kSocketMessage, selected) != 0) return false;
        {
            std::lock_guard lock(table->mutex);
            table->sockets[socket] = &owner;
        }
        owner.m_pState->events = selected;
        owner.m_pState->home = std::move(table);
        return true;
    }

    static void Deliver(CAsyncSocket& owner, long event, int error) { owner.Notify(event, error); }
};

namespace {

LRESULT CALLBACK SocketWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if ((message != kSocketMessage && message != kRetiredMessage) || !t_sockets)
        return ::DefWindowProcW(window, message, wParam, lParam);
    const SOCKET handle = static_cast<SOCKET>(wParam);
    CAsyncSocket* socket = nullptr;
    {
        std::lock_guard lock(t_sockets->mutex);
        if (!t_sockets->unmarked.empty()) t_sockets->RetireUnmarkedLocked();
        auto retired = t_sockets->retiring.find(handle);
        if (message == kRetiredMessage) {
            if (retired != t_sockets->retiring.end() && --retired->second == 0) t_sockets->retiring.erase(retired);
            return 0;
        }
        // Posted before a marker still in the queue: an event of a closed socket.
        if (retired != t_sockets->retiring.end()) return 0;
        auto found = t_sockets->sockets.find(handle);
        if (found != t_sockets->sockets.end()) socket = found->second;
    }
    if (socket != nullptr) CAsyncSocket::State::Deliver(*socket, WSAGETSELECTEVENT(lParam), WSAGETSELECTERROR(lParam));
    return 0;
}

}  // namespace

namespace plat {
AddressLiteral ClassifyAddressLiteral(std::wstring_view text) {
    // Literals are ASCII. Wine reads the text in the ANSI code page, whose
    // best fit would make digits of fullwidth ones.
    for (const wchar_t c : text)
        if (c == L'\0' || c > 0x7F) return AddressLiteral::None;
    const std::wstring name(text);
    IN6_ADDR address{};
    if (::InetPtonW(AF_INET, name.c_str(), &address) == 1) return AddressLiteral::IPv4;
    if (::InetPtonW(AF_INET6, name.c_str(), &address) == 1) return AddressLiteral::IPv6;
    return AddressLiteral::None;
}

BOOL InitSockets() {
    WSADATA data;
    const int error = ::WSAStartup(MAKEWORD(2, 2), &data);
    if (error != 0) return FailWith(error);
    return TRUE;
}
}  // namespace plat

CAsyncSocket::CAsyncSocket() : m_hSocket(plat::kInvalidSocket), m_pState(std::make_unique<State>()) {}

CAsyncSocket::~CAsyncSocket() { Close(); }

BOOL CAsyncSocket::Create(UINT port, int type, long events, const wchar_t* address) {
    if (m_hSocket != plat::kInvalidSocket) return FailWith(WSAEISCONN);
    if (type != SOCK_STREAM) return FailWith(WSAESOCKTNOSUPPORT);
    // Every address: one IPv6 socket that IPv4 clients reach as well, or an
    // IPv4 one where the system has no IPv6.
    SocketAddress local;
    if (const int error = ResolveAddress(address, port, address == nullptr ? AF_INET6 : AF_UNSPEC, local))
        return FailWith(error);
    SOCKET socket = ::socket(local.Family(), SOCK_STREAM, IPPROTO_TCP);
    if (socket == INVALID_SOCKET && ::WSAGetLastError() == WSAEAFNOSUPPORT && address == nullptr) {
        ResolveAddress(nullptr, port, AF_INET, local);
        socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    }
    if (socket == INVALID_SOCKET) return FALSE;
    // IPv6 sockets of Windows (and Wine) take IPv6 peers only, unless told otherwise.
    const DWORD ipv6Only = 0;
    const bool bothFamilies = local.Family() != AF_INET6 ||
                              ::setsockopt(socket, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&ipv6Only),
                                           sizeof ipv6Only) == 0;
    // WSAAsyncSelect makes the socket non-blocking.
    if (!bothFamilies || ::bind(socket, local.Raw(), local.length) != 0 || !State::Attach(*this, socket, events)) {
        const int error = ::WSAGetLastError();
        ::closesocket(socket);
        return FailWith(error);
    }
    m_hSocket = static_cast<plat::SocketHandle>(socket);
    return TRUE;
}

BOOL CAsyncSocket::Listen(int backlog) {
    if (m_hSocket == plat::kInvalidSocket) return FailWith(WSAENOTSOCK);
    return ::listen(static_cast<SOCKET>(m_hSocket), backlog) == 0 ? TRUE : FALSE;
}

BOOL CAsyncSocket::AttachListening(plat::SocketHandle, UINT, long) { return FailWith(WSAEOPNOTSUPP); }

BOOL CAsyncSocket::Accept(CAsyncSocket& connected) {
    if (m_hSocket == plat::kInvalidSocket) return FailWith(WSAENOTSOCK);
    if (connected.m_hSocket != plat::kInvalidSocket) return FailWith(WSAEINVAL);
    const SOCKET socket = ::accept(static_cast<SOCKET>(m_hSocket), nullptr, nullptr);
    if (socket == INVALID_SOCKET) {
        const int error = ::WSAGetLastError();
        // Any accept, even one that fails, re-enables FD_ACCEPT. Wine's does
        // not when it fails: after a notice for a client already taken by an
        // earlier accept, no client that comes later would ever be announced.
        // Selecting the events again re-arms it (and Winsock posts at once if
        // a client waits meanwhile).
        if (error == WSAEWOULDBLOCK) AsyncSelect(m_pState->events);
        return FailWith(error);
    }
    // The new socket already has this socket's selection and window; selecting
    // again moves it to the calling thread's window when that is another one.
    // Its events may already be on their way to this socket's window.
    auto discard = [this](SOCKET unwanted) {
        if (m_pState->home) m_pState->home->Retire(unwanted);
        else ::closesocket(unwanted);
    };
    std::shared_ptr<ThreadSockets> table = OwnSockets();
    if (!table) {
        discard(socket);
        return FailWith(WSAENOBUFS);
    }
    if (table == m_pState->home) {
        std::lock_guard lock(table->mutex);
        table->sockets[socket] = &connected;
        connected.m_pState->events = m_pState->events;
        connected.m_pState->home = table;
    } else if (!State::Attach(connected, socket, m_pState->events)) {
        const int error = ::WSAGetLastError();
        discard(socket);
        return FailWith(error);
    }
    connected.m_hSocket = static_cast<plat::SocketHandle>(socket);
    return TRUE;
}

BOOL CAsyncSocket::Connect(const wchar_t* host, UINT port) {
    if (m_hSocket == plat::kInvalidSocket) return FailWith(WSAENOTSOCK);
    const SOCKET socket = static_cast<SOCKET>(m_hSocket);
    SocketAddress remote;
    if (const int error = ResolveAddress(host, port, SocketFamily(socket), remote)) return FailWith(error);
    return ::connect(socket, remote.Raw(), remote.length) == 0 ? TRUE : FALSE;
}

BOOL CAsyncSocket::AsyncSelect(long events) {
    if (m_hSocket == plat::kInvalidSocket || !m_pState->home) return FailWith(WSAENOTSOCK);
    if (::WSAAsyncSelect(static_cast<SOCKET>(m_hSocket), m_pState->home->window, kSocketMessage, events) != 0)
        return FALSE;
    m_pState->events = events;
    return TRUE;
}

int CAsyncSocket::Receive(void* buffer, int length, int flags) {
    if (m_hSocket == plat::kInvalidSocket) return FailWith(WSAENOTSOCK), SOCKET_ERROR;
    return ::recv(static_cast<SOCKET>(m_hSocket), static_cast<char*>(buffer), length, flags);
}

int CAsyncSocket::Send(const void* buffer, int length, int flags) {
    if (m_hSocket == plat::kInvalidSocket) return FailWith(WSAENOTSOCK), SOCKET_ERROR;
    if (length < 0 || (buffer == nullptr && length > 0)) return FailWith(WSAEFAULT), SOCKET_ERROR;
    const char* bytes = static_cast<const char*>(buffer);
    int sent = 0;
    // A short send is retried at once: either everything goes, or Winsock
    // reports WSAEWOULDBLOCK, which is what owes the next FD_WRITE.
    while (sent < length) {
        const int n = ::send(static_cast<SOCKET>(m_hSocket), bytes + sent, length - sent, flags);
        if (n == SOCKET_ERROR) {
            if (sent > 0) return sent;  // the error shows again at the next call
            return SOCKET_ERROR;
        }
        sent += n;
    }
    return sent;
}

int CAsyncSocket::SendPieces(const plat::SendPiece* pieces, int count) {
    if (m_hSocket == plat::kInvalidSocket) return FailWith(WSAENOTSOCK), SOCKET_ERROR;
    if (count < 0 || count > plat::kMaxSendPieces || (pieces == nullptr && count > 0)) return FailWith(WSAEFAULT), SOCKET_ERROR;
    WSABUF buffers[plat::kMaxSendPieces];
    long long total = 0;
    for (int i = 0; i < count; ++i) {
        if (pieces[i].length < 0 || (pieces[i].data == nullptr && pieces[i].length > 0))
            return FailWith(WSAEFAULT), SOCKET_ERROR;
        buffers[i].buf = static_cast<char*>(const_cast<void*>(pieces[i].data));
        buffers[i].len = static_cast<ULONG>(pieces[i].length);
        total += pieces[i].length;
    }
    if (total > 0x7FFFFFFF) return FailWith(WSAEMSGSIZE), SOCKET_ERROR;
    WSABUF* first = buffers;
    DWORD left = static_cast<DWORD>(count);
    int sent = 0;
    // As Send: a short send is retried with what is left, until everything
    // went or Winsock reports WSAEWOULDBLOCK (which owes the next FD_WRITE).
    while (sent < total) {
        DWORD n = 0;
        if (::WSASend(static_cast<SOCKET>(m_hSocket), first, left, &n, 0, nullptr, nullptr) == SOCKET_ERROR)
            return sent > 0 ? sent : SOCKET_ERROR;
        sent += static_cast<int>(n);
        while (n > 0 && left > 0) {
            const DWORD step = first->len < n ? first->len : n;
            first->buf += step;
            first->len -= step;
            n -= step;
            if (first->len == 0) {
                ++first;
                --left;
            }
        }
    }
    return sent;
}

// TransmitFile would send without reading, but it blocks on a socket that
// is not overlapped; until that is worth it, Windows reads and Sends.
int CAsyncSocket::SendFileBytes(const void*, int, const CDiskFile&, std::uint64_t, int) {
    return FailWith(WSAEOPNOTSUPP), SOCKET_ERROR;
}

bool CAsyncSocket::CanSendFileBytes() { return false; }

BOOL CAsyncSocket::RequestWriteNotification() {
    if (m_hSocket == plat::kInvalidSocket || !m_pState->home) return FailWith(WSAENOTSOCK);
    // The notice Winsock itself posts, queued behind what is already waiting.
    return ::PostMessageW(m_pState->home->window, kSocketMessage, static_cast<WPARAM>(m_hSocket),
                          WSAMAKESELECTREPLY(FD_WRITE, 0))
               ? TRUE
               : FALSE;
}

BOOL CAsyncSocket::ShutDown(int how) {
    if (m_hSocket == plat::kInvalidSocket) return FailWith(WSAENOTSOCK);
    return ::shutdown(static_cast<SOCKET>(m_hSocket), how) == 0 ? TRUE : FALSE;
}

bool CAsyncSocket::HasUnreadBytes() const {
    u_long waiting = 0;
    return m_hSocket != plat::kInvalidSocket &&
           ::ioctlsocket(static_cast<SOCKET>(m_hSocket), FIONREAD, &waiting) == 0 && waiting > 0;
}

BOOL CAsyncSocket::SetNoDelay(bool noDelay) {
    if (m_hSocket == plat::kInvalidSocket) return FailWith(WSAENOTSOCK);
    const BOOL value = noDelay ? TRUE : FALSE;
    return ::setsockopt(static_cast<SOCKET>(m_hSocket), IPPROTO_TCP, TCP_NODELAY,
                        reinterpret_cast<const char*>(&value), sizeof value) == 0
               ? TRUE
               : FALSE;
}

void CAsyncSocket::Close() {
    if (m_hSocket == plat::kInvalidSocket) return;
    const SOCKET socket = static_cast<SOCKET>(m_hSocket);
    m_hSocket = plat::kInvalidSocket;
    std::shared_ptr<ThreadSockets> table = std::move(m_pState->home);
    if (!table) {
        ::closesocket(socket);
        return;
    }
    {
        std::lock_guard lock(table->mutex);
        auto found = table->sockets.find(socket);
        if (found != table->sockets.end() && found->second == this) table->sockets.erase(found);
    }
    table->Retire(socket);
}

BOOL CAsyncSocket::GetSockName(std::wstring& address, UINT& port) const {
    if (m_hSocket == plat::kInvalidSocket) return FailWith(WSAENOTSOCK);
    SocketAddress local;
    local.length = sizeof local.storage;
    if (::getsockname(static_cast<SOCKET>(m_hSocket), local.Raw(), &local.length) != 0) return FALSE;
    wchar_t text[INET6_ADDRSTRLEN] = {};
    const void* bytes;
    if (local.Family() == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&local.storage);
        bytes = &v6->sin6_addr;
        port = ntohs(v6->sin6_port);
    } else {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&local.storage);
        bytes = &v4->sin_addr;
        port = ntohs(v4->sin_port);
    }
    if (::InetNtopW(local.Family(), bytes, text, INET6_ADDRSTRLEN) == nullptr) return FALSE;
    address = text;
    return TRUE;
}

bool CAsyncSocket::IsIPv6() const {
    return m_hSocket != plat::kInvalidSocket && SocketFamily(static_cast<SOCKET>(m_hSocket)) == AF_INET6;
}

bool CAsyncSocket::IsPeerLoopback() const {
    if (m_hSocket == plat::kInvalidSocket) return false;
    SocketAddress peer;
    peer.length = sizeof peer.storage;
    return ::getpeername(static_cast<SOCKET>(m_hSocket), peer.Raw(), &peer.length) == 0 && peer.IsLoopback();
}

int CAsyncSocket::GetLastError() { return ::WSAGetLastError(); }

void CAsyncSocket::OnAccept(int) {}
void CAsyncSocket::OnReceive(int) {}
void CAsyncSocket::OnSend(int) {}
void CAsyncSocket::OnClose(int) {}
void CAsyncSocket::OnConnect(int) {}
void CAsyncSocket::OnOutOfBandData(int) {}
