// The running executable's path on Windows: GetModuleFileNameW, with a buffer that grows to fit.
#include <windows.h>

#include <vector>

#include "platform/ModuleFileName.h"

namespace plat {

std::wstring ExecutableFilePath() {
    // Long paths can exceed MAX_PATH; the call truncates and reports
    // ERROR_INSUFFICIENT_BUFFER until the buffer is large enough.
    for (DWORD size = MAX_PATH; size <= 32768; size *= 2) {
        std::vector<wchar_t> buffer(size);
        const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), size);
        if (length == 0) return std::wstring();
        if (length < size) return std::wstring(buffer.data(), length);
    }
    ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return std::wstring();
}

}  // namespace plat
