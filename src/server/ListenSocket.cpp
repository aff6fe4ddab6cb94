// Accepting clients: a bounded burst per notification, and a pause while the process is out of descriptors.
#include "server/ListenSocket.h"

#include <memory>

#include "platform/Win32Codes.h"
#include "server/ConnectionSet.h"
#include "server/HTTPUpdateServiceSocket.h"

namespace {
bool IsResourceShortage(int error) {
    return error == static_cast<int>(WSAEMFILE) || error == static_cast<int>(WSAENOBUFS);
}
}  // namespace

void CHTTPUpdateServiceListenSocket::OnAccept(int errorCode) {
    for (int accepted = 0; accepted < kMaxAcceptsPerNotification && !m_bPaused; ++accepted) {
        std::unique_ptr<CHTTPUpdateServiceSocket> connection = m_connections.NewConnection();
        // No memory for the new connection: its client waits in the backlog.
        if (!connection || !AcceptOne(*connection)) break;
        m_connections.Admit(std::move(connection));
    }
    CAsyncSocket::OnAccept(errorCode);
}

bool CHTTPUpdateServiceListenSocket::AcceptOne(CAsyncSocket& connection) {
    for (int attempt = 0; !Accept(connection); ++attempt) {
        // Nothing was waiting after all, or the peer is gone.
        if (!IsResourceShortage(CAsyncSocket::GetLastError())) return false;
        // Out of descriptors: an idle connection makes room for the new
        // client; without one (or when the system as a whole is out),
        // accepting waits until a connection goes.
        if (attempt == 3 || !m_connections.FreeDescriptor()) {
            PauseAccepting();
            return false;
        }
    }
    return true;
}

void CHTTPUpdateServiceListenSocket::PauseAccepting() {
    if (AsyncSelect(kSelectedEvents & ~FD_ACCEPT)) m_bPaused = true;
}

void CHTTPUpdateServiceListenSocket::ResumeAccepting() {
    if (m_bPaused) RenewAccepting();
}

void CHTTPUpdateServiceListenSocket::RenewAccepting() {
    m_bPaused = false;
    AsyncSelect(kSelectedEvents);
}
