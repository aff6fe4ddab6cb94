// Windows: failure texts in a message box.
#include <windows.h>

#include <string>

#include "platform/MessageBox.h"
#include "platform/ModuleFileName.h"

namespace plat {
void ShowMessageBox(std::wstring_view text) {
    const std::wstring copy(text);
    // The program's file name, from its whole path (a long one cut short would end elsewhere).
    const std::wstring path = ExecutableFilePath();
    const std::wstring name = path.substr(path.find_last_of(L"\\/") + 1);
    ::MessageBoxW(nullptr, copy.c_str(), name.c_str(), MB_OK);
}
}  // namespace plat
