// The live connections of a thread, and the passes over them: closing all, stall checks, freeing an idle one.
#include "server/ConnectionRegistry.h"

#include <algorithm>
#include <memory>
#include <new>
#include <unordered_set>

#include "server/HTTPUpdateServiceSocket.h"
#include "threading/Clock.h"

namespace {

struct ThreadConnections {
    std::unordered_set<CHTTPUpdateServiceSocket*> live;
    std::unique_ptr<char[]> requestBuffer;  // allocated on the first read
};

thread_local ThreadConnections* t_pConnections = nullptr;
thread_local CHTTPUpdateServiceSocket* t_pAcceptPaused = nullptr;

}  // namespace

namespace connection_registry {

void Add(CHTTPUpdateServiceSocket* connection) {
    if (!t_pConnections) t_pConnections = new ThreadConnections;
    t_pConnections->live.insert(connection);
}

void Remove(CHTTPUpdateServiceSocket* connection) {
    ResumeAccepting();
    if (!t_pConnections) return;
    t_pConnections->live.erase(connection);
    if (t_pConnections->live.empty()) {
        delete t_pConnections;
        t_pConnections = nullptr;
    }
}

bool Contains(const CHTTPUpdateServiceSocket* connection) {
    return t_pConnections && t_pConnections->live.count(const_cast<CHTTPUpdateServiceSocket*>(connection)) != 0;
}

std::size_t Count() { return t_pConnections ? t_pConnections->live.size() : 0; }

char* RequestBuffer() {
    if (!t_pConnections) return nullptr;
    std::unique_ptr<char[]>& buffer = t_pConnections->requestBuffer;
    if (!buffer) buffer.reset(new (std::nothrow) char[CHTTPUpdateServiceSocket::kRequestBufferSize]);
    return buffer.get();
}

void PauseAccepting(CHTTPUpdateServiceSocket* listener) {
    if (listener->AsyncSelect(CAsyncSocket::kAllEvents & ~FD_ACCEPT)) t_pAcceptPaused = listener;
}

void ResumeAccepting() {
    if (CHTTPUpdateServiceSocket* listener = t_pAcceptPaused) {
        t_pAcceptPaused = nullptr;
        listener->AsyncSelect(CAsyncSocket::kAllEvents);
    }
}

void ForgetListener(const CHTTPUpdateServiceSocket* listener) {
    if (t_pAcceptPaused == listener) t_pAcceptPaused = nullptr;
}

}  // namespace connection_registry

std::vector<CHTTPUpdateServiceSocket*> CHTTPUpdateServiceSocket::LiveConnections() {
    if (!t_pConnections) return {};
    return std::vector<CHTTPUpdateServiceSocket*>(t_pConnections->live.begin(), t_pConnections->live.end());
}

std::size_t CHTTPUpdateServiceSocket::AbandonStalledTransfers() {
    connection_registry::ResumeAccepting();
    const std::uint64_t nowMs = TickCount64();
    const std::uint64_t nowSeconds = SendQueueSeconds();
    std::size_t closed = 0;
    // A copy: a connection may close itself, or free another one's
    // descriptor, while it is looked at; each is looked up before its turn.
    for (CHTTPUpdateServiceSocket* connection : LiveConnections()) {
        if (connection_registry::Contains(connection) && connection->CheckProgress(nowSeconds, nowMs)) ++closed;
    }
    return closed;
}

bool CHTTPUpdateServiceSocket::CloseLongestIdleConnection(const CHTTPUpdateServiceSocket* keep) {
    if (!t_pConnections) return false;
    // A connection whose request has arrived but was not read yet is not
    // idle: those are passed over (a few at most are ever looked at).
    std::vector<const CHTTPUpdateServiceSocket*> passed;
    for (int attempt = 0; attempt < 8; ++attempt) {
        CHTTPUpdateServiceSocket* oldest = nullptr;
        for (CHTTPUpdateServiceSocket* connection : t_pConnections->live) {
            if (connection == keep || !connection->IsIdle()) continue;
            if (std::find(passed.begin(), passed.end(), connection) != passed.end()) continue;
            if (!oldest || connection->m_nLastActivityMs < oldest->m_nLastActivityMs) oldest = connection;
        }
        if (!oldest) return false;
        if (!oldest->HasUnreadBytes()) {
            oldest->CloseAndRelease();
            return true;
        }
        passed.push_back(oldest);
    }
    return false;
}

std::size_t CHTTPUpdateServiceSocket::CloseAllConnections() {
    std::size_t closed = 0;
    // Each deletion leaves the registry; the last one frees the thread's state.
    while (t_pConnections && !t_pConnections->live.empty()) {
        CHTTPUpdateServiceSocket* connection = *t_pConnections->live.begin();
        connection->Close();
        delete connection;
        ++closed;
    }
    return closed;
}
