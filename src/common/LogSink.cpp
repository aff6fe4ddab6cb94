// The installed log sink and the per-thread console line batch count.
#include "common/LogSink.h"

#include <atomic>

namespace {
std::atomic<ILogSink*> g_sink{nullptr};
// A plain value (no destructor at thread exit).
thread_local int t_batchDepth = 0;
}  // namespace

ILogSink* InstallLogSink(ILogSink* sink) { return g_sink.exchange(sink, std::memory_order_acq_rel); }

ILogSink* CurrentLogSink() { return g_sink.load(std::memory_order_acquire); }

CConsoleLineBatch::CConsoleLineBatch() { ++t_batchDepth; }

CConsoleLineBatch::~CConsoleLineBatch() {
    const bool outermost = --t_batchDepth == 0;
    if (ILogSink* sink = CurrentLogSink()) sink->ConsoleBatchEnded(outermost);
}

int ConsoleLineBatchDepth() { return t_batchDepth; }

void WriteGatheredConsoleLines() {
    if (ILogSink* sink = CurrentLogSink()) sink->WriteGatheredConsoleLines();
}
