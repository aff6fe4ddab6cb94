// The table of a connection's legal transitions.
#include "server/ConnectionState.h"

#include <array>

namespace connection_state {
namespace {

using S = ConnectionState;
constexpr S kNo = S::Count;  // not legal

// One row per state, one column per event:
//                                  Pause          Resume      ServeLast            RepliesSent   Break       Finish
constexpr std::array<std::array<S, kEvents>, kStates> kTable = {{
    /* Reading          */ {S::ReadPaused, kNo,        S::SendingThenClose, kNo,          S::Broken, S::Closed},
    /* ReadPaused       */ {S::ReadPaused, S::Reading, S::SendingThenClose, kNo,          S::Broken, S::Closed},
    /* SendingThenClose */ {kNo,           kNo,        S::SendingThenClose, S::Lingering, S::Broken, S::Closed},
    /* Lingering        */ {kNo,           kNo,        kNo,                 kNo,          S::Broken, S::Closed},
    /* Broken           */ {kNo,           kNo,        kNo,                 kNo,          S::Broken, S::Closed},
    /* Closed           */ {kNo,           kNo,        kNo,                 kNo,          kNo,       kNo},
}};

// Nothing leaves Closed, and everything else may break and close.
static_assert(kTable[static_cast<std::size_t>(S::Closed)][static_cast<std::size_t>(ConnectionEvent::Finish)] == kNo);
static_assert(kTable[static_cast<std::size_t>(S::Lingering)][static_cast<std::size_t>(ConnectionEvent::Break)] ==
              S::Broken);

}  // namespace

std::optional<ConnectionState> Next(ConnectionState from, ConnectionEvent event) {
    const auto state = static_cast<std::size_t>(from);
    const auto column = static_cast<std::size_t>(event);
    if (state >= kStates || column >= kEvents || kTable[state][column] == kNo) return std::nullopt;
    return kTable[state][column];
}

const char* NameOf(ConnectionState state) {
    constexpr std::array<const char*, kStates> kNames = {"Reading",   "ReadPaused", "SendingThenClose",
                                                         "Lingering", "Broken",     "Closed"};
    const auto index = static_cast<std::size_t>(state);
    return index < kStates ? kNames[index] : "?";
}

const char* NameOf(ConnectionEvent event) {
    constexpr std::array<const char*, kEvents> kNames = {"Pause",       "Resume", "ServeLast",
                                                         "RepliesSent", "Break",  "Finish"};
    const auto index = static_cast<std::size_t>(event);
    return index < kEvents ? kNames[index] : "?";
}

}  // namespace connection_state
