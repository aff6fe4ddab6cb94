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
      m_nWaitingReaders(0) {
    // A few holders at most: room for them once, so taking the lock never allocates.
    m_mapHolds.reserve(4);
}

CRecursiveRWLock::~CRecursiveRWLock() {
    m_mapHolds.clear();
    // Only present if the owner broke the rule and destroyed a contended lock.
    if (m_hWriterEvent) plat::CloseHandleObject(m_hWriterEvent);
    if (m_hReaderEvent) plat::CloseHandleObject(m_hReaderEvent);
}

std::vector<std::pair<DWORD, DWORD>>::iterator CRecursiveRWLock::FindHold(DWORD threadId) {
    for (auto it = m_mapHolds.begin(); it != m_mapHolds.end(); ++it)
        if (it->first == threadId) return it;
    return m_mapHolds.end();
}

BOOL CRecursiveRWLock::LockWrite() {
    const DWORD self = plat::CurrentThreadId();
    m_cs.Lock();

    auto held = FindHold(self);
    if (held != m_mapHolds.end()) {
        // Re-entry. Counted under m_cs, so the observers never read a count
        // that is being changed.
        held->second += kWriteHold;
        m_cs.Unlock();
        return TRUE;
    }

    if (m_nWriters == 0 && m_nReaders == 0) {
        ++m_nWriters;
        m_mapHolds.emplace_back(self, kWriteHold);
        m_cs.Unlock();
        return TRUE;
    }

    // Contended: count ourselves in, so that the releasing thread hands the
    // hold to a waiter instead of leaving the lock free for a newcomer.
    if (++m_nWriters == 1 && m_hReaderEvent) plat::ResetEventObject(m_hReaderEvent);
    while (m_hWriterEvent == nullptr) {
        m_hWriterEvent = plat::CreateEventObject(false, false);
        if (m_hWriterEvent == nullptr) plat::SleepMilliseconds(1);  // out of handles: try again
    }
    HANDLE writerEvent = m_hWriterEvent;
    m_cs.Unlock();

    // The event cannot be closed while we wait: m_nWriters counts us, and it
    // is closed only when that count reaches 0.
    const DWORD waited = plat::WaitForObject(writerEvent, INFINITE);

    m_cs.Lock();
    if (waited != WAIT_OBJECT_0) {
        // Give up our place; if we were the last one counted, nobody needs the event.
        if (--m_nWriters == 0 && m_hWriterEvent) {
            plat::CloseHandleObject(m_hWriterEvent);
            m_hWriterEvent = nullptr;
        }
        m_cs.Unlock();
        return FALSE;
    }
    m_mapHolds.emplace_back(self, kWriteHold);
    m_cs.Unlock();
    return TRUE;
}

void CRecursiveRWLock::UnlockWrite() {
    const DWORD self = plat::CurrentThreadId();
    CSingleLock guard(m_cs);

    auto held = FindHold(self);
    if (held == m_mapHolds.end() || held->second < kWriteHold) return;  // holds nothing: nothing to give up

    held->second -= kWriteHold;
    if (held->second >= kWriteHold) return;  // still held by an outer take

    *held = m_mapHolds.back();  // order does not matter: swap with the last and drop it
    m_mapHolds.pop_back();
    if (--m_nWriters > 0) {
        // m_nWriters keeps counting the thread we wake: the hold passes to it directly.
        plat::SignalEvent(m_hWriterEvent);
        return;
    }
    if (m_hWriterEvent) {
        plat::CloseHandleObject(m_hWriterEvent);
        m_hWriterEvent = nullptr;
    }
    if (m_hReaderEvent) plat::SignalEvent(m_hReaderEvent);
}

bool CRecursiveRWLock::HasWriterEvent() const {
    CSingleLock guard(m_cs);
    return m_hWriterEvent != nullptr;
}

LONG CRecursiveRWLock::GetWriterCount() const {
    CSingleLock guard(m_cs);
    return m_nWriters;
}

DWORD CRecursiveRWLock::GetHoldCountOfCurrentThread() const {
    const DWORD self = plat::CurrentThreadId();
    CSingleLock guard(m_cs);
    for (const auto& [thread, count] : m_mapHolds)
        if (thread == self) return count;
    return 0;
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
