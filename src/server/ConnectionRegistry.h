// The connections accepted on one thread: who is open, the shared request buffer, a paused listener.
//
// Every notification runs on the thread that owns the sockets, so nothing
// here takes a lock. The state exists while the thread has live connections
// and is freed with the last of them (a plain pointer, not a thread_local
// object: no thread-exit destructor is involved, and those run after their
// storage is gone in some runtimes).
#pragma once

#include <cstddef>

class CHTTPUpdateServiceSocket;

namespace connection_registry {

// Lists `connection` as live on the calling thread (may throw std::bad_alloc).
void Add(CHTTPUpdateServiceSocket* connection);
// Takes it off the list; the last one frees the thread's state. A
// descriptor is free again, so a paused listener accepts again.
void Remove(CHTTPUpdateServiceSocket* connection);
bool Contains(const CHTTPUpdateServiceSocket* connection);
// How many connections are live on the calling thread.
std::size_t Count();

// The calling thread's read buffer (CHTTPUpdateServiceSocket::kRequestBufferSize
// bytes), shared by its connections: a read is handled completely within
// its notification, and reading never touches a connection's transfer
// buffer, whose bytes may still wait for the socket. Null without memory.
char* RequestBuffer();

// The listening socket stopped taking connections because the process ran
// out of descriptors (or socket buffers): every accept would fail at once
// and the waiting connection would be announced again at once, so the
// thread would spin for as long as the shortage lasts. It takes
// connections again when a connection goes, or at the next periodic check;
// until then new clients wait in the backlog.
void PauseAccepting(CHTTPUpdateServiceSocket* listener);
void ResumeAccepting();
// `listener` is going away: it must not be resumed.
void ForgetListener(const CHTTPUpdateServiceSocket* listener);

}  // namespace connection_registry
