// The re-entrant exclusive lock and its scope guard.
#include "threading/RecursiveRWLock.h"

#include "platform/Handles.h"
#include "platform/Win32Codes.h"

CRecursiveRWLock::CRecursiveRWLock(unsigned spinCount)
    : m_cs(spinCount),
      m_hWriterEvent(nullptr),
      m_hReaderEvent(nullptr),
      m_nWriters(0),
      m_nReaders(0),
      m_nWaitingReaders(0),
      m_bWriterEventOpen(false),
      m_holder(0),
      m_holdCount(0) {}

CRecursiveRWLock::~CRecursiveRWLock() {
    // Only present if the owner broke the rule and destroyed a contended lock.
    if (m_hWriterEvent) plat::CloseHandleObject(m_hWriterEvent);
    if (m_hReaderEvent) plat::CloseHandleObject(m_hReaderEvent);
}

void CRecursiveRWLock::TakeHold(DWORD self) {
    m_holdCount = kWriteHold;
    m_holder.store(self, std::memory_order_relaxed);
}

BOOL CRecursiveRWLock::LockWrite() {
    const DWORD self = plat::CurrentThreadId();
    // Re-entry: only this thread can have put its own id there.
    if (m_holder.load(std::memory_order_relaxed) == self) {
        m_holdCount += kWriteHold;
        return TRUE;
    }
    LONG nobody = 0;
    if (m_nWriters.compare_exchange_strong(nobody, 1, std::memory_order_acquire, std::memory_order_relaxed)) {
        TakeHold(self);
        return TRUE;
    }
    return LockWriteContended(self);
}

BOOL CRecursiveRWLock::LockWriteContended(DWORD self) {
    m_cs.Lock();
    // Count ourselves in, so that the releasing thread hands the hold to a
    // waiter instead of leaving the lock free for a newcomer. If the holder
    // left meanwhile, counting in is taking the lock.
    if (m_nWriters.fetch_add(1, std::memory_order_acquire) == 0) {
        if (m_hReaderEvent) plat::ResetEventObject(m_hReaderEvent);
        m_cs.Unlock();
        TakeHold(self);
        return TRUE;
    }
    while (m_hWriterEvent == nullptr) {
        m_hWriterEvent = plat::CreateEventObject(false, false);
        if (m_hWriterEvent == nullptr) plat::SleepMilliseconds(1);  // out of handles: try again
    }
    m_bWriterEventOpen.store(true, std::memory_order_relaxed);
    HANDLE writerEvent = m_hWriterEvent;
    m_cs.Unlock();

    // The event cannot be closed while we wait: m_nWriters counts us, and it
    // is closed only when that count is 0.
    const DWORD waited = plat::WaitForObject(writerEvent, INFINITE);
    if (waited != WAIT_OBJECT_0) {
        // Give up our place; if we were the last one counted, nobody needs the event.
        m_nWriters.fetch_sub(1, std::memory_order_release);
        CloseWriterEventIfUnused();
        return FALSE;
    }
    // The releasing thread left m_nWriters counting us: the hold is ours.
    std::atomic_thread_fence(std::memory_order_acquire);
    TakeHold(self);
    return TRUE;
}

void CRecursiveRWLock::UnlockWrite() {
    const DWORD self = plat::CurrentThreadId();
    if (m_holder.load(std::memory_order_relaxed) != self) return;  // holds nothing: nothing to give up

    m_holdCount -= kWriteHold;
    if (m_holdCount >= kWriteHold) return;  // still held by an outer take

    m_holder.store(0, std::memory_order_relaxed);
    if (m_nWriters.fetch_sub(1, std::memory_order_release) > 1) {
        // A waiter is counted, and it counted itself in under m_cs after
        // making the event: m_nWriters keeps counting the thread we wake, so
        // the hold passes to it directly.
        CSingleLock guard(m_cs);
        plat::SignalEvent(m_hWriterEvent);
        return;
    }
    if (m_bWriterEventOpen.load(std::memory_order_relaxed)) CloseWriterEventIfUnused();
}

void CRecursiveRWLock::CloseWriterEventIfUnused() {
    CSingleLock guard(m_cs);
    // A newcomer may have taken the lock since; its last release closes the
    // event then. While anyone is counted, a waiter may be parked on it.
    if (m_nWriters.load(std::memory_order_relaxed) != 0) return;
    if (m_hWriterEvent) {
        plat::CloseHandleObject(m_hWriterEvent);
        m_hWriterEvent = nullptr;
        m_bWriterEventOpen.store(false, std::memory_order_relaxed);
    }
    if (m_hReaderEvent) plat::SignalEvent(m_hReaderEvent);
}

bool CRecursiveRWLock::HasWriterEvent() const {
    CSingleLock guard(m_cs);
    return m_hWriterEvent != nullptr;
}

LONG CRecursiveRWLock::GetWriterCount() const { return m_nWriters.load(std::memory_order_relaxed); }

DWORD CRecursiveRWLock::GetHoldCountOfCurrentThread() const {
    return m_holder.load(std::memory_order_relaxed) == plat::CurrentThreadId() ? m_holdCount : 0;
}

CWriteLockGuard::CWriteLockGuard(CRecursiveRWLock& lock) : CWriteLockGuard(&lock) {}

CWriteLockGuard::CWriteLockGuard(CRecursiveRWLock* lock) : m_pLock(lock), m_bLocked(FALSE) {
    if (m_pLock) m_bLocked = m_pLock->LockWrite();
}

CWriteLockGuard::~CWriteLockGuard() { Release(); }

void CWriteLockGuard::Release() {
    if (!m_bLocked) return;
    m_bLocked = FALSE;
    m_pLock->UnlockWrite();
}
