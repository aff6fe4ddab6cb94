// Platform-independent folder path helpers, built on the backend's separators.
#include "platform/FolderEnum.h"
#include "platform/RequestPathRules.h"

namespace plat {

std::wstring LastPathComponent(const std::wstring& path) {
    std::size_t end = path.size();
    while (end > 0 && IsPathSeparator(path[end - 1])) --end;
    if (end == 0) return path;
    std::size_t begin = end;
    while (begin > 0 && !IsPathSeparator(path[begin - 1])) --begin;
    return path.substr(begin, end - begin);
}

std::wstring JoinPath(const std::wstring& folderPath, const std::wstring& name) {
    std::wstring path = folderPath;
    if (path.empty() || !IsPathSeparator(path.back())) path += PathSeparator();
    path += name;
    return path;
}

}  // namespace plat
