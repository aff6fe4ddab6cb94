// Console lines of console mode: serialised, and gathered while a thread has a log line batch open.
#include "app/ConsolePrint.h"

#include <atomic>
#include <string>

#include "app/GatheredLines.h"
#include "common/LogSink.h"
#include "platform/Console.h"
#include "threading/Sync.h"

namespace {

// Larger gatherings (in characters, a few hundred lines) are written at once
// rather than held; the buffer keeps its room between writes.
constexpr std::size_t kMaxGathered = 16 * 1024;

// Kept past the end of main: a thread may still print while the process ends.
CCriticalSection& ConsoleLock() {
    static CCriticalSection* const lock = new CCriticalSection;
    return *lock;
}
// Guarded by the console lock.
CGatheredLines<std::wstring>& Gathered() {
    static auto* const lines = new CGatheredLines<std::wstring>(kMaxGathered);
    return *lines;
}

std::atomic<bool> g_suppressed{false};

void WriteText(std::wstring_view text) { plat::WriteStandardOutput(text); }

}  // namespace

void ConsolePrintText(std::wstring_view text) {
    if (g_suppressed.load(std::memory_order_relaxed)) return;
    std::wstring line;
    line.reserve(text.size() + 2);
    line.append(text);
    line.append(plat::ConsoleLineEnd());
    CSingleLock lock(ConsoleLock());
    Gathered().Add(line, LogLineBatchDepth() > 0, WriteText);
}

void SuppressConsoleLines(bool suppressed) { g_suppressed.store(suppressed, std::memory_order_relaxed); }

void FlushGatheredConsoleLines() {
    if (!Gathered().HasOwn()) return;
    CSingleLock lock(ConsoleLock());
    Gathered().WriteOwn(WriteText);
}
