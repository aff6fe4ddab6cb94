// The date and time text that starts every log file line, made once per second.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Handles.h"

// A busy log writes many lines a second: the text is made again only when
// the clock names another second than the one it was made for (the next
// one, or an earlier one after the clock was set back). Not thread-safe: the
// log's lock guards it.
class CLogTimeText {
  public:
    // A value of plat::CurrentLocalSecond, or of a test's clock.
    using Clock = std::int64_t (*)();

    explicit CLogTimeText(Clock clock = &plat::CurrentLocalSecond) : m_clock(clock) {}

    // The local date and time now, as the system's 8-bit text.
    const std::string& Now();

  private:
    Clock m_clock;
    bool m_bMade = false;
    std::int64_t m_second = 0;  // the second m_text was made for
    std::string m_text;
    std::wstring m_wide;  // room kept for the next second's text
};
