// What starts every log file line: the local date and time, and the process id.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Handles.h"
#include "platform/Types.h"

// "<local date and time>: <process id>: " as the system's 8-bit text. A busy
// log writes many lines a second: the text is made again only when the clock
// names another second than the one it was made for (the next one, or an
// earlier one after the clock was set back), or the process id differs (a
// forked child). Not thread-safe: the log's lock guards it.
class CLogLinePrefix {
  public:
    // A value of plat::CurrentLocalSecond, or of a test's clock.
    using Clock = std::int64_t (*)();

    explicit CLogLinePrefix(Clock clock = &plat::CurrentLocalSecond) : m_clock(clock) {}

    // The prefix of a line written now.
    const std::string& Now();

  private:
    Clock m_clock;
    bool m_bMade = false;
    std::int64_t m_second = 0;  // the second m_text was made for
    DWORD m_dwProcessId = 0;    // and the process id
    std::string m_text;
    std::wstring m_wide;  // room kept for the next second's text
};
