// The listening socket a service manager opened for the program and handed it at its start.
//
// systemd's socket activation: a service started for a socket unit finds the
// listening socket as descriptor 3, with LISTEN_FDS=1 and LISTEN_PID set to
// its own process id. The socket stays with systemd across restarts of the
// service, so clients that connect while no process serves wait in its
// backlog instead of being refused. Windows has no such hand-over.
#pragma once

#include "platform/AsyncSocket.h"

namespace plat {

// Takes the handed-over socket, if any, once, before the program starts any
// thread: the variables are removed (a program the process starts must not
// take the socket as its own) and the descriptor is not inherited any more.
void TakeActivatedListenSocket();

// The socket taken by TakeActivatedListenSocket, kept open for the life of
// the process; kInvalidSocket when none was handed over. A listener uses a
// copy of it (CAsyncSocket::AttachListening), so that closing the listener
// leaves the socket, and its waiting clients, to the next one.
SocketHandle ActivatedListenSocket();

}  // namespace plat
