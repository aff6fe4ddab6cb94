// The socket unit written beside an installed service's unit (platform-independent).
//
// systemd opens and keeps the service's listening socket ("<name>.socket")
// and hands it to the service when it starts: a restart of the service, a
// crash or an upgrade leaves the socket open, and clients that connect in
// the gap wait in its backlog instead of being refused. The service unit
// Requires= and is ordered After= it; the service then binds nothing and
// needs no right to bind a low port.
#pragma once

#include <string>
#include <string_view>

namespace plat {

struct SystemdServiceDefinition;

// "<service name>.socket".
std::wstring SystemdSocketUnitFileName(std::wstring_view serviceName);

// Where the program started with `commandLine` listens, as the socket unit
// says it: its "-serverport:" (80 when not given) and "-serveraddress:"
// options, read as the program reads them. `listenStream` receives the
// ListenStream= value ("80", "192.0.2.7:80" or "[2001:db8::7]:80") and
// `bothFamilies` whether the socket takes IPv4 and IPv6 clients on one IPv6
// socket, as the program's own listener does for every address and for IPv6
// ones. False (no socket unit) when the port is outside 1-65535 or the
// address is no IPv4 or IPv6 literal: the program then fails at start, as
// it would without one.
bool SystemdListenAddressOf(std::wstring_view commandLine, std::wstring* listenStream, bool* bothFamilies);

// The socket unit's text (UTF-8) for a registration that has a listening
// address (SystemdListenAddressOf); `backlog` is the longest queue of
// waiting clients the system grants.
std::string SystemdSocketUnitText(const SystemdServiceDefinition& definition, int backlog);

}  // namespace plat
