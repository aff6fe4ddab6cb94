// The program's own watchdog over a service's heartbeat.
#include "service/ServiceWatchdog.h"

#include <chrono>
#include <system_error>
#include <utility>

#include "platform/Handles.h"
#include "platform/ServiceWatchdog.h"

namespace {
// The watch's thread looks ten times per period: a hung service is caught
// within 1.1 periods, and the thread costs nothing in between.
constexpr DWORD kChecksPerPeriod = 10;
}  // namespace

CServiceWatchdog::CServiceWatchdog(DWORD periodMilliseconds, HungAction onHung, Clock clock)
    : m_dwPeriod(periodMilliseconds),
      m_onHung(std::move(onHung)),
      m_clock(clock ? std::move(clock) : Clock(&plat::SystemTickCount64)) {}

CServiceWatchdog::~CServiceWatchdog() { Stop(); }

void CServiceWatchdog::Arm() {
    std::lock_guard lock(m_mutex);
    m_bArmed = true;
    m_nLastCount = plat::ServiceHeartbeatCount();
    m_nLastChange = m_clock();
}

bool CServiceWatchdog::Check() {
    std::uint64_t silent;
    {
        std::lock_guard lock(m_mutex);
        if (!m_bArmed) return false;
        const std::uint64_t count = plat::ServiceHeartbeatCount();
        const std::uint64_t now = m_clock();
        if (count != m_nLastCount) {
            m_nLastCount = count;
            m_nLastChange = now;
            return false;
        }
        silent = now - m_nLastChange;
        if (silent < m_dwPeriod) return false;
        m_bArmed = false;
    }
    if (m_onHung) m_onHung(silent);
    return true;
}

bool CServiceWatchdog::Start() {
    Arm();
    std::lock_guard lock(m_mutex);
    if (m_thread.joinable()) return true;
    m_bStopThread = false;
    try {
        m_thread = std::thread([this] { WatchUntilStopped(); });
    } catch (const std::system_error&) {
        m_bArmed = false;
        return false;
    }
    return true;
}

void CServiceWatchdog::Stop() {
    std::thread thread;
    {
        std::lock_guard lock(m_mutex);
        m_bArmed = false;
        m_bStopThread = true;
        thread = std::move(m_thread);
    }
    m_stopRequested.notify_all();
    if (thread.joinable()) thread.join();
}

void CServiceWatchdog::WatchUntilStopped() {
    const std::chrono::milliseconds interval(m_dwPeriod / kChecksPerPeriod + 1);
    for (;;) {
        {
            std::unique_lock lock(m_mutex);
            if (m_stopRequested.wait_for(lock, interval, [this] { return m_bStopThread; })) return;
        }
        Check();
    }
}
