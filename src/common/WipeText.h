// Overwriting a secret (an account name, a password) before its string lets it go.
#pragma once

#include <string>

// Overwrites every character with NUL through volatile writes, which the
// compiler may not drop although the string is emptied right after, then
// empties the string (its buffer stays, overwritten).
void WipeText(std::wstring& secret);
