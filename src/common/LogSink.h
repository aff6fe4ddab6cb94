// The program's log as the layers below the application see it: a sink for
// finished lines that the application installs, the Log template that
// formats a line only when the sink takes it, and the log line batch.
#pragma once

#include <cstddef>
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
    // One line from a format and its arguments (see AppLog): a sink may make
    // it where it keeps room for it; by default it is formatted here.
    virtual void WriteFormatted(std::wstring_view format, const fmt_detail::Arg* args, std::size_t count) {
        WriteLine(fmt_detail::FormatWide(format, args, count));
    }
    // The lines the calling thread gathered in its batch go out now.
    // `passEnded`: the thread goes on with its next pass at once; an output
    // that is slow per write (the console) may hold its lines a moment
    // longer, until the thread waits or they are a few tens of ms old.
    virtual void WriteGatheredLines(bool passEnded) { (void)passEnded; }
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
    if (sink == nullptr || !sink->TakesLines()) return;
    if constexpr (sizeof...(Args) == 0) {
        sink->WriteFormatted(format, nullptr, 0);
    } else {
        const fmt_detail::Arg list[] = {fmt_detail::MakeArg(args)...};
        sink->WriteFormatted(format, list, sizeof...(Args));
    }
}
// A format written as a literal (the usual case) has its length known
// already: no count of its characters on every call, logged or not.
template <std::size_t N, typename... Args>
void AppLog(const wchar_t (&format)[N], const Args&... args) {
    AppLog(std::wstring_view(format, N - 1), args...);
}

// While one exists on a thread, the lines that thread logs are gathered for
// the log file and the console, and each output gets them with one write
// (a request handler logs several lines, and every open, write and close of
// the log file costs system calls): when the outermost batch ends, when the
// thread's message loop ends a pass over its notifications (before it can
// wait again), and when a gathering reaches its size limit. The order of
// lines across threads is kept: a line from another thread writes the
// gathered lines first. The event-log copy of a line is never gathered.
class CLogLineBatch {
  public:
    CLogLineBatch();
    ~CLogLineBatch();
    CLogLineBatch(const CLogLineBatch&) = delete;
    CLogLineBatch& operator=(const CLogLineBatch&) = delete;
};

// The number of log line batches open on the calling thread.
int LogLineBatchDepth();

// The lines the calling thread gathered go out now (nothing when it has no
// batch open). A thread's message loop calls this before it waits, and with
// `passEnded` at the end of a pass that another pass follows at once.
void WriteGatheredLogLines(bool passEnded = false);
