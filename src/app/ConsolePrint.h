// Console lines of the program (console mode only; a service never writes to a console).
#pragma once

#include <string>
#include <string_view>

#include "common/Format.h"

// Writes one finished line and a line break to the console, serialised with
// the other console lines, unless the current application has an owning service.
void ConsolePrintText(std::wstring_view text);

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

// A thread that keeps a batch for its whole life calls this before it
// waits: its gathered lines go out now.
void WriteGatheredConsoleLines();

// printf-style: ConsolePrint(L"Failed to create main thread (error %ld)!", code).
template <typename... Args>
void ConsolePrint(std::wstring_view format, const Args&... args) {
    ConsolePrintText(FormatW(format, args...));
}
