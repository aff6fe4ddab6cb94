// The program's log as the layers below the application see it: a sink for
// finished lines that the application installs, the Log template that
// formats a line only when the sink takes it, and the console line batch.
#pragma once

#include <string>
#include <string_view>

#include "common/Format.h"

// Where log lines go. One sink is installed for the whole process; calls
// come from any thread.
class ILogSink {
  public:
    virtual ~ILogSink() = default;
    // Some output takes lines now; when none does, a line is not even formatted.
    virtual bool TakesLines() const = 0;
    // One finished line.
    virtual void WriteLine(const std::wstring& line) = 0;
    // A thread's console line batch ended (`outermost`: its last open one).
    virtual void ConsoleBatchEnded(bool outermost) {}
    // A thread that keeps a batch open is about to wait: its gathered lines go out now.
    virtual void WriteGatheredConsoleLines() {}
};

// Installs `sink` (null: none) and returns the one it replaces.
ILogSink* InstallLogSink(ILogSink* sink);
// The installed sink, or null.
ILogSink* CurrentLogSink();

// One log line through the installed sink, from any thread; nothing when no
// sink is installed or it takes no lines. The format is filled from typed
// arguments; a finished text must be passed as the argument of "%s".
template <typename... Args>
void AppLog(std::wstring_view format, const Args&... args) {
    ILogSink* sink = CurrentLogSink();
    if (sink != nullptr && sink->TakesLines()) sink->WriteLine(FormatW(format, args...));
}

// While one exists on a thread, that thread's console lines are gathered and
// written with one call when the outermost one ends (a request handler logs
// several lines, and each write to a terminal is slow), when an inner one
// ends and the oldest gathered line has waited more than 50 ms, or when
// 16,384 characters are gathered. The order of lines across threads is
// kept: a line from another thread writes the gathered lines first.
class CConsoleLineBatch {
  public:
    CConsoleLineBatch();
    ~CConsoleLineBatch();
    CConsoleLineBatch(const CConsoleLineBatch&) = delete;
    CConsoleLineBatch& operator=(const CConsoleLineBatch&) = delete;
};

// The number of console line batches open on the calling thread.
int ConsoleLineBatchDepth();

// A thread that keeps a batch for its whole life calls this before it
// waits: its gathered lines go out now.
void WriteGatheredConsoleLines();
