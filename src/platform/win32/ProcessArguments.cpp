// Windows process arguments: the system's own split of the command line.
#include <windows.h>

#include <shellapi.h>

#include <mutex>
#include <optional>

#include "platform/ProcessArguments.h"

namespace plat {
namespace {
std::mutex g_mutex;
std::optional<std::vector<std::wstring>>& Override() {
    static std::optional<std::vector<std::wstring>> arguments;
    return arguments;
}
}  // namespace

std::vector<std::wstring> ProcessArguments() {
    {
        std::lock_guard lock(g_mutex);
        if (Override()) return *Override();
    }
    std::vector<std::wstring> result;
    int count = 0;
    LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (argv == nullptr) return result;
    for (int i = 0; i < count; ++i) result.emplace_back(argv[i]);
    ::LocalFree(argv);
    return result;
}

void SetProcessArguments(std::vector<std::wstring> arguments) {
    std::lock_guard lock(g_mutex);
    Override() = std::move(arguments);
}

}  // namespace plat
