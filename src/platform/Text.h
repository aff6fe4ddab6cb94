// The system's 8-bit text: the active ANSI code page on Windows, UTF-8 on POSIX.
#pragma once

#include <string>
#include <string_view>

namespace plat {

// Characters the code page cannot represent become its default character.
std::string WideToAnsi(std::wstring_view text);
// The same, appended to `out` (whose room is reused).
void AppendWideAsAnsi(std::string& out, std::wstring_view text);
std::wstring AnsiToWide(std::string_view bytes);

}  // namespace plat
