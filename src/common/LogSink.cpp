// The installed log sink and the per-thread log line batch count.
#include "common/LogSink.h"

#include <atomic>

namespace {
std::atomic<ILogSink*> g_sink{nullptr};
// A plain value (no destructor at thread exit).
thread_local int t_batchDepth = 0;
}  // namespace

ILogSink* InstallLogSink(ILogSink* sink) { return g_sink.exchange(sink, std::memory_order_acq_rel); }

ILogSink* CurrentLogSink() { return g_sink.load(std::memory_order_acquire); }

CLogLineBatch::CLogLineBatch() { ++t_batchDepth; }

CLogLineBatch::~CLogLineBatch() {
    if (--t_batchDepth == 0) {
        if (ILogSink* sink = CurrentLogSink()) sink->WriteGatheredLines(false);
    }
}

int LogLineBatchDepth() { return t_batchDepth; }

void WriteGatheredLogLines(bool passEnded) {
    // Lines are gathered only inside a batch, and its end writes them: a
    // thread without one has nothing to write.
    if (t_batchDepth == 0) return;
    if (ILogSink* sink = CurrentLogSink()) sink->WriteGatheredLines(passEnded);
}
