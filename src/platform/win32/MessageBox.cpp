// Windows: failure texts in a message box.
#include <windows.h>

#include <string>

#include "platform/MessageBox.h"

namespace plat {
void ShowMessageBox(std::wstring_view text) {
    const std::wstring copy(text);
    wchar_t caption[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, caption, MAX_PATH);
    const wchar_t* name = caption;
    for (const wchar_t* p = caption; *p; ++p)
        if (*p == L'\\' || *p == L'/') name = p + 1;
    ::MessageBoxW(nullptr, copy.c_str(), name, MB_OK);
}
}  // namespace plat
