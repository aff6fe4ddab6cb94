// The program's own watchdog over a service's heartbeat, for service managers
// that keep none: when the heartbeat count (plat::ServiceHeartbeatCount) stands
// still for a whole period while the watch is on, the hung action runs, once.
//
// The watch runs on a thread of its own, which looks every tenth of the
// period; Arm and Check are the same watch without the thread. The action
// runs on the watch's thread (or Check's caller) without any lock held.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/Types.h"

class CServiceWatchdog {
  public:
    // Monotonic milliseconds.
    using Clock = std::function<std::uint64_t()>;
    // Given how long the heartbeat had stood still, in milliseconds.
    using HungAction = std::function<void(std::uint64_t silentMilliseconds)>;

    // `clock` is the system tick count unless a test gives its own.
    CServiceWatchdog(DWORD periodMilliseconds, HungAction onHung, Clock clock = {});
    // Stops the watch.
    ~CServiceWatchdog();
    CServiceWatchdog(const CServiceWatchdog&) = delete;
    CServiceWatchdog& operator=(const CServiceWatchdog&) = delete;

    // Starts the watch (Arm) and its thread. False when the thread cannot be
    // started: the service then runs unwatched.
    bool Start();
    // Ends the watch and its thread: from now on a silent heartbeat is nobody's
    // concern. Not from within the hung action.
    void Stop();

    // Turns the watch on: the period counts from now.
    void Arm();
    // One look: when the watch is on and the count has not moved for a whole
    // period, the watch turns off and the hung action runs. True when it ran.
    bool Check();

  private:
    void WatchUntilStopped();

    const DWORD m_dwPeriod;
    const HungAction m_onHung;
    const Clock m_clock;

    std::mutex m_mutex;  // guards everything below
    bool m_bArmed = false;
    std::uint64_t m_nLastCount = 0;   // the heartbeat count when it last moved (or the watch was armed)
    std::uint64_t m_nLastChange = 0;  // the clock then
    bool m_bStopThread = false;
    std::condition_variable m_stopRequested;
    std::thread m_thread;
};
