// Console lines of console mode: serialised, and gathered while a thread handles one notification.
#include "app/ConsolePrint.h"

#include <atomic>
#include <cstdint>
#include <new>
#include <string>

#include "common/LogSink.h"
#include "platform/Console.h"
#include "platform/Handles.h"
#include "threading/Sync.h"

namespace {

// Lines gathered by one thread's batch and not yet written; guarded by the console lock.
struct GatheredLines {
    std::wstring text;  // whole lines, each with its line break
    DWORD threadId = 0; // the thread that gathered them
};

// Kept past the end of main: a thread may still print while the process ends.
CCriticalSection& ConsoleLock() {
    static CCriticalSection* const lock = new CCriticalSection;
    return *lock;
}
GatheredLines& Gathered() {
    static GatheredLines* const lines = new GatheredLines;
    return *lines;
}

std::atomic<bool> g_suppressed{false};

// A plain value (no destructor at thread exit): when the thread began
// gathering lines (0: nothing gathered, as far as it knows).
thread_local std::uint64_t t_gatheredSince = 0;

// A thread that stays busy never goes idle: lines it gathered longer ago
// than this go out when one of its notifications ends.
constexpr std::uint64_t kMaxHoldMilliseconds = 50;

// Larger gatherings (in characters, a few hundred lines) are written at once
// rather than held; the buffer keeps its room between writes.
constexpr std::size_t kMaxGathered = 16 * 1024;

void WriteGatheredLocked(GatheredLines& gathered) {
    if (!gathered.text.empty()) plat::WriteStandardOutput(gathered.text);
    gathered.text.clear();
    gathered.threadId = 0;
}

}  // namespace

void ConsolePrintText(std::wstring_view text) {
    if (g_suppressed.load(std::memory_order_relaxed)) return;
    CSingleLock lock(ConsoleLock());
    GatheredLines& gathered = Gathered();
    const DWORD self = plat::CurrentThreadId();
    // Another thread's gathered lines came first.
    if (gathered.threadId != self) WriteGatheredLocked(gathered);
    if (ConsoleLineBatchDepth() == 0) {
        WriteGatheredLocked(gathered);
        plat::WriteConsoleLine(text);
        return;
    }
    const std::size_t before = gathered.text.size();
    if (before == 0) t_gatheredSince = plat::SystemTickCount64();
    try {
        gathered.text.append(text);
        gathered.text.append(plat::ConsoleLineEnd());
        gathered.threadId = self;
    } catch (const std::bad_alloc&) {
        // No room to gather: what is gathered goes now, this line after it.
        gathered.text.resize(before);
        WriteGatheredLocked(gathered);
        plat::WriteConsoleLine(text);
        return;
    }
    if (gathered.text.size() >= kMaxGathered) WriteGatheredLocked(gathered);
}

void SuppressConsoleLines(bool suppressed) { g_suppressed.store(suppressed, std::memory_order_relaxed); }

void FlushGatheredConsoleLines() {
    t_gatheredSince = 0;
    CSingleLock lock(ConsoleLock());
    GatheredLines& gathered = Gathered();
    if (gathered.threadId == plat::CurrentThreadId()) WriteGatheredLocked(gathered);
}

void EndConsoleLineBatch(bool outermost) {
    if (outermost || (t_gatheredSince != 0 && plat::SystemTickCount64() - t_gatheredSince >= kMaxHoldMilliseconds))
        FlushGatheredConsoleLines();
}
