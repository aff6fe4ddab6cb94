// Request-derived text made safe for a log line: no control characters, bounded length.
#pragma once

#include <cstddef>
#include <string_view>

#include "common/Format.h"

// Longest request text written to the log; longer text is cut and ends in "...".
constexpr std::size_t kLoggedRequestTextLimit = 1024;

// `text` (a request path, or a path or file name chosen by one) as a log
// line's argument: its control characters (below 0x20, and 0x7F) are
// written as \xNN, so a request can neither start a line of its own nor
// send commands to a console, and it is cut after kLoggedRequestTextLimit
// characters, ending in "...". Text without control characters within the
// limit is written unchanged. Nothing is copied until a line is written.
inline EscapedText RequestTextForLog(std::wstring_view text) { return EscapedText{text, kLoggedRequestTextLimit}; }
