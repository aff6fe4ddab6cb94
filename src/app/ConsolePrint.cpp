// Console lines of console mode: serialised, and gathered while a thread has a log line batch open.
#include "app/ConsolePrint.h"

#include <atomic>
#include <cstdint>
#include <string>

#include "app/GatheredLines.h"
#include "common/LogSink.h"
#include "platform/Console.h"
#include "platform/Handles.h"
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

// The line being printed with its line break, in room kept from line to
// line; guarded by the console lock.
std::wstring& LineRoom() {
    static auto* const line = new std::wstring;
    return *line;
}

std::atomic<bool> g_suppressed{false};

// A plain value (no destructor at thread exit): when the calling thread's
// current gathering began.
thread_local std::uint64_t t_gatheredSince = 0;

// Gathered console lines that a busy thread may hold past the end of a pass.
constexpr std::uint64_t kMaxHoldMilliseconds = 50;

void WriteText(std::wstring_view text) { plat::WriteStandardOutput(text); }

}  // namespace

void ConsolePrintText(std::wstring_view text) {
    if (g_suppressed.load(std::memory_order_relaxed)) return;
    const bool gather = LogLineBatchDepth() > 0;
    CSingleLock lock(ConsoleLock());
    std::wstring& line = LineRoom();
    line.assign(text);
    line.append(plat::ConsoleLineEnd());
    if (gather && !Gathered().HasOwn()) t_gatheredSince = plat::SystemTickCount64();
    Gathered().Add(line, gather, WriteText);
}

void SuppressConsoleLines(bool suppressed) { g_suppressed.store(suppressed, std::memory_order_relaxed); }

void FlushGatheredConsoleLines(bool unlessRecent) {
    if (!Gathered().HasOwn()) return;
    if (unlessRecent && plat::SystemTickCount64() - t_gatheredSince < kMaxHoldMilliseconds) return;
    CSingleLock lock(ConsoleLock());
    Gathered().WriteOwn(WriteText);
}
