// The console of console mode: opening it, writing lines, and control events.
//
// Windows: a console of the program's own (AllocConsole), written directly.
// POSIX: the terminal the program was started from (standard output, flushed
// per line); SIGINT, SIGTERM and SIGHUP arrive as the control events Ctrl+C
// (0), shutdown (6) and close (2); as on Windows, the process ends after a
// close or shutdown event (here after a 10-second grace period for an
// orderly stop).
#pragma once

#include <string_view>

#include "platform/Types.h"

namespace plat {

BOOL OpenConsole();
void CloseConsole();

// Writes the text and a line break; lost silently when there is no console.
void WriteConsoleLine(std::wstring_view text);
// The line break WriteConsoleLine adds: "\r\n" on Windows, "\n" elsewhere
// (for callers that gather several lines into one WriteStandardOutput).
std::wstring_view ConsoleLineEnd();

// Writes text to standard output or standard error as it stands (usage texts).
void WriteStandardOutput(std::wstring_view text);
void WriteStandardError(std::wstring_view text);

typedef BOOL (*ConsoleControlHandler)(DWORD controlEvent);
// Installs the one handler of the process; called on a thread of its own.
BOOL InstallConsoleControlHandler(ConsoleControlHandler handler);

}  // namespace plat
