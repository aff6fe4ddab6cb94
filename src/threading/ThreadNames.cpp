// Process-wide registry of thread names.
#include "threading/ThreadNames.h"

#include <atomic>
#include <unordered_map>

#include "platform/Handles.h"
#include "threading/Sync.h"

namespace {

// Never destroyed: threads may still name themselves while the process exits.
CCriticalSection& RegistryLock() {
    static auto* lock = new CCriticalSection();
    return *lock;
}

std::unordered_map<DWORD, std::wstring>& Registry() {
    static auto* registry = new std::unordered_map<DWORD, std::wstring>();
    return *registry;
}

std::atomic<std::uint64_t> g_announcements{0};

}  // namespace

void SetThreadNameText(DWORD threadId, const std::wstring& name) {
    if (name.empty()) {
        CSingleLock lock(RegistryLock());
        Registry().erase(threadId);
        return;
    }
    {
        CSingleLock lock(RegistryLock());
        auto it = Registry().find(threadId);
        if (it != Registry().end() && it->second == name) return;
        Registry()[threadId] = name;
    }
    // Outside the lock: the announcement may take its time.
    g_announcements.fetch_add(1);
    if (threadId == plat::CurrentThreadId()) plat::SetNativeThreadName(name);
}

std::wstring RegisteredThreadName(DWORD threadId) {
    CSingleLock lock(RegistryLock());
    auto it = Registry().find(threadId);
    return it == Registry().end() ? std::wstring() : it->second;
}

std::uint64_t ThreadNameAnnouncementCount() { return g_announcements.load(); }
