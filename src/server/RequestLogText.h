// Request-derived text made safe for a log line: no control characters, bounded length.
#pragma once

#include <string>
#include <string_view>

// Longest request text written to the log; longer text is cut and ends in "...".
constexpr std::size_t kLoggedRequestTextLimit = 1024;

// `text` (a request path, or a path or file name chosen by one) as it may
// appear inside a log line: control characters (below 0x20, and 0x7F) are
// written as \xNN, so a request can neither start a line of its own nor
// send terminal commands to a console, and text longer than
// kLoggedRequestTextLimit characters is cut there and ends in "...".
// Text without control characters within the limit comes back unchanged.
std::wstring RequestTextForLog(std::wstring_view text);
