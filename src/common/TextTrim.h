// The end of a system text cut off where it goes into a sentence of the program's own.
#pragma once

#include <string>

// The text without the line breaks (CR, LF) it ends with: a system text
// (Windows ends it with CR LF) inside a log line, kept otherwise as it is.
std::wstring WithoutTrailingLineBreaks(std::wstring text);

// The text without the ASCII white space (space, tab, CR, LF, VT, FF) it ends with.
std::wstring WithoutTrailingWhitespace(std::wstring text);
