// The system's 8-bit text: the active ANSI code page on Windows, UTF-8 on POSIX.
#pragma once

#include <string>
#include <string_view>

namespace plat {

// Characters the code page cannot represent become its default character.
std::string WideToAnsi(std::wstring_view text);
std::wstring AnsiToWide(std::string_view bytes);

}  // namespace plat
