// Console lines of the program (console mode only; a service never writes to a console).
#pragma once

#include <string>
#include <string_view>

#include "common/Format.h"

// Writes one finished line and a line break to the console, serialised with
// the other console lines, unless console lines are suppressed. Within a
// log line batch (common/LogSink.h) the line is gathered first.
void ConsolePrintText(std::wstring_view text);

// A service never writes to a console: the application suppresses console
// lines while a service owns it.
void SuppressConsoleLines(bool suppressed);

// The console lines the calling thread gathered go out now; when
// `unlessRecent`, only if the first of them is a few tens of ms old (a busy
// thread's lines are written a few passes at a time: each console write is
// slow, and a person reading the console sees no difference).
void FlushGatheredConsoleLines(bool unlessRecent = false);

// printf-style: ConsolePrint(L"Failed to create main thread (error %ld)!", code).
template <typename... Args>
void ConsolePrint(std::wstring_view format, const Args&... args) {
    ConsolePrintText(FormatW(format, args...));
}
