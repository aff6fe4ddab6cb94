// A lock that a thread may take again while it holds it, keyed by thread id.
//
// Only the exclusive (writer) side is offered: it is the one the program
// takes, around each log line. Waiting threads park on an auto-reset event
// that exists only while the lock is contended, and are let through one at a
// time: a release hands the hold straight to exactly one waiting thread.
//
// A take and a release without contention touch only atomics (a busy server
// takes the lock several times per request); the bookkeeping section and the
// event are used only when a thread has to wait.
#pragma once

#include <atomic>

#include "platform/Types.h"
#include "threading/Sync.h"

class CRecursiveRWLock {
  public:
    // Spinning briefly before blocking pays off for a lock held only for bookkeeping.
    static constexpr unsigned kDefaultSpinCount = 400;

    // The spin count tunes the bookkeeping critical section (a Windows hint).
    explicit CRecursiveRWLock(unsigned spinCount = kDefaultSpinCount);
    // The lock must not be held or waited for when it is destroyed.
    ~CRecursiveRWLock();
    CRecursiveRWLock(const CRecursiveRWLock&) = delete;
    CRecursiveRWLock& operator=(const CRecursiveRWLock&) = delete;

    // Returns TRUE once the calling thread holds the lock exclusively. A thread
    // that already holds it gets it again at once; each take needs a release.
    // FALSE only when waiting failed at the platform level (nothing is held).
    BOOL LockWrite();

    // Gives up one hold of the calling thread. After the last one the lock
    // passes to one waiting thread, if any. A call from a thread that holds
    // nothing changes nothing.
    void UnlockWrite();

    // Observers for checks and tests; each value may change right after it is read.
    bool HasWriterEvent() const;
    // Threads that hold or wait for the exclusive hold.
    LONG GetWriterCount() const;
    // The calling thread's hold count: 0x10000 per exclusive hold, 0 when it holds nothing.
    DWORD GetHoldCountOfCurrentThread() const;

  private:
    // Added to a thread's hold count per exclusive hold; the low 16 bits
    // would count shared holds, which this lock does not offer.
    static constexpr DWORD kWriteHold = 0x10000;

    mutable CCriticalSection m_cs;  // guards the events and a waiter's entry into m_nWriters
    HANDLE m_hWriterEvent;          // auto-reset; null unless someone holds or waits under contention
    HANDLE m_hReaderEvent;          // manual-reset; would release shared holders (never created)
    // Threads holding or waiting for the exclusive hold. Taken from 0 to 1
    // without m_cs by an uncontended take; raised by a waiter only under m_cs,
    // so a releaser that sees a waiter counted finds its event under m_cs.
    std::atomic<LONG> m_nWriters;
    LONG m_nReaders;         // shared holders (always 0)
    LONG m_nWaitingReaders;  // threads waiting for shared holds (always 0)
    std::atomic<bool> m_bWriterEventOpen;  // m_hWriterEvent is set: a last release must look under m_cs
    // The one holding thread (0: none) and its hold count. Only the holder
    // writes the count, and only the holder can find its own id here.
    std::atomic<DWORD> m_holder;
    DWORD m_holdCount;

    BOOL LockWriteContended(DWORD self);
    void TakeHold(DWORD self);
    void CloseWriterEventIfUnused();
};

// Holds a CRecursiveRWLock exclusively from construction until destruction or
// an earlier Release(), whichever comes first; releases exactly once.
class CWriteLockGuard {
  public:
    explicit CWriteLockGuard(CRecursiveRWLock& lock);
    // A null lock holds nothing.
    explicit CWriteLockGuard(CRecursiveRWLock* lock);
    ~CWriteLockGuard();
    CWriteLockGuard(const CWriteLockGuard&) = delete;
    CWriteLockGuard& operator=(const CWriteLockGuard&) = delete;

    // Releases the hold now; later calls and the destructor do nothing.
    void Release();
    // Whether the guard still holds the lock.
    bool IsLocked() const { return m_bLocked != FALSE; }

  private:
    CRecursiveRWLock* m_pLock;
    BOOL m_bLocked;
};
