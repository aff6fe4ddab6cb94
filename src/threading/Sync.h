// Critical sections: re-entrant mutual exclusion within the process, as the
// Win32 critical section (a thread may enter again while it holds it).
#pragma once

#include <mutex>

class CCriticalSection {
  public:
    // The spin count is a Windows tuning hint; the standard mutex spins on its own.
    explicit CCriticalSection(unsigned spinCount = 0) { (void)spinCount; }
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;

    void Lock() { m_mutex.lock(); }
    void Unlock() { m_mutex.unlock(); }

    // Lets std::lock_guard and std::unique_lock hold it.
    void lock() { Lock(); }
    void unlock() { Unlock(); }

  private:
    std::recursive_mutex m_mutex;
};

// Holds a critical section for the lifetime of the guard.
class CSingleLock {
  public:
    explicit CSingleLock(CCriticalSection& cs) : m_cs(cs) { m_cs.Lock(); }
    ~CSingleLock() { m_cs.Unlock(); }
    CSingleLock(const CSingleLock&) = delete;
    CSingleLock& operator=(const CSingleLock&) = delete;

  private:
    CCriticalSection& m_cs;
};
