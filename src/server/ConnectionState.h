// A connection's state, the events that move it, and the one table of which event is legal in which state.
//
// A connection reads and answers requests (Reading) until one of them is the
// last; while too much is queued, or a listing is being built, it waits for
// its turn and reads nothing (ReadPaused: the client's sends back up). The
// last request (its client asked for the close, its head was too long, or
// the server stops) leaves it sending what is queued (SendingThenClose);
// then it shuts down its sending side and waits a while for the peer's own
// close (Lingering), so the reply is not cut off by a reset. A send that
// fails, a reset, memory that runs out or the peer's close while lingering
// make it Broken: it closes at the end of that notification. Closed is the
// end: the socket is closed, the connection reported to its set.
//
// Two facts go with every state without changing what is legal:
// - how far the peer's input went (PeerInput): when it has ended and every
//   reply owed went out, the connection closes; after the peer shut down
//   its side, a reply that asked for the close ends it at once (nobody is
//   left to linger for).
// - whether the server stops: the next request served is then the last (a
//   connection that owes nothing closes at once).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

enum class ConnectionState : std::uint8_t {
    Reading,           // requests are read and answered as they come
    ReadPaused,        // waiting for its turn: nothing is read until the queue drains
    SendingThenClose,  // the last request was served: what is queued is sent, then it lingers
    Lingering,         // sending shut down: what arrives is dropped until the peer closes
    Broken,            // nothing more can be delivered: closes at the end of this notification
    Closed,            // socket closed and reported to the set
    Count
};

enum class ConnectionEvent : std::uint8_t {
    Pause,        // too much queued, or a listing is being built
    Resume,       // the queue drained: reading goes on
    ServeLast,    // the request served is the last (close asked, head too long, the server stops)
    RepliesSent,  // the last reply went out: sending is shut down
    Break,        // a send failed, a reset, no memory, or the awaited close came
    Finish,       // the socket is closed
    Count
};

// How far the peer's input went: a fact beside the state (see above).
enum class PeerInput : std::uint8_t {
    Open,      // the peer may send more
    ShutDown,  // the peer shut down its sending side; what it sent before may still wait
    Ended,     // every byte the peer sent was read
};

namespace connection_state {

constexpr std::size_t kStates = static_cast<std::size_t>(ConnectionState::Count);
constexpr std::size_t kEvents = static_cast<std::size_t>(ConnectionEvent::Count);

// The state an event leads to, or nothing where the event is not legal.
std::optional<ConnectionState> Next(ConnectionState from, ConnectionEvent event);

// Names, for messages.
const char* NameOf(ConnectionState state);
const char* NameOf(ConnectionEvent event);

}  // namespace connection_state
