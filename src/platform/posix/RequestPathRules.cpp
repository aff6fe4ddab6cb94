// POSIX request path rules: every name is allowed; the file system decides about case.
#include <unistd.h>

#include "common/Utf8.h"
#include "platform/RequestPathRules.h"

namespace plat {

namespace detail {
bool SegmentAllowed(std::wstring_view) { return true; }
bool JoinedPathIsExact(const std::wstring&, std::size_t) { return true; }
}  // namespace detail

bool PathExists(const std::wstring& path) { return ::access(WideToUtf8(path).c_str(), F_OK) == 0; }
bool PathReadable(const std::wstring& path) { return ::access(WideToUtf8(path).c_str(), R_OK) == 0; }
wchar_t PathSeparator() { return L'/'; }
bool ReadNonUtf8RequestBytes(std::string_view, std::wstring&) { return false; }

}  // namespace plat
