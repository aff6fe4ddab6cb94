// A failure text shown to the person who ran a command.
#pragma once

#include <string_view>

namespace plat {

// Windows: a message box with an OK button (the program has no console of its
// own there). POSIX has no message box: the text and a line break go to
// standard error.
void ShowMessageBox(std::wstring_view text);

}  // namespace plat
