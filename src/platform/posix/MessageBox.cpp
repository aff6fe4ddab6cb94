// POSIX: failure texts go to standard error.
#include "platform/MessageBox.h"

#include <string>

#include "platform/Console.h"

namespace plat {
void ShowMessageBox(std::wstring_view text) {
    std::wstring line(text);
    line += L'\n';
    WriteStandardError(line);
}
}  // namespace plat
