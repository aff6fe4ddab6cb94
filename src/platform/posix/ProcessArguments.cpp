// POSIX process arguments: recorded by main.
#include "platform/ProcessArguments.h"

#include <mutex>

namespace plat {
namespace {
std::mutex g_mutex;
std::vector<std::wstring>& Stored() {
    static std::vector<std::wstring> arguments;
    return arguments;
}
}  // namespace

std::vector<std::wstring> ProcessArguments() {
    std::lock_guard lock(g_mutex);
    return Stored();
}

void SetProcessArguments(std::vector<std::wstring> arguments) {
    std::lock_guard lock(g_mutex);
    Stored() = std::move(arguments);
}

}  // namespace plat
