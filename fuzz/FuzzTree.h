// Scratch folders on disk for the fuzz targets, and paths between std::filesystem and wide text.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace fuzz {

// A new empty folder (in /dev/shm where it is writable, else the system's
// temporary folder), removed at exit.
std::filesystem::path MakeScratchFolder(std::string_view name);

// Wide text of a path (UTF-8 inside on POSIX) and back.
std::wstring WideOf(const std::filesystem::path& path);
std::filesystem::path PathOf(const std::wstring& text);

// Writes `bytes` into a new file at `path`; false when it cannot.
bool WriteFile(const std::filesystem::path& path, std::string_view bytes);

// Whether `inner` is `outer` or lies below it, comparing whole components.
bool IsWithin(const std::filesystem::path& inner, const std::filesystem::path& outer);

// Stops the run with a message: the invariant named by `what` does not hold.
[[noreturn]] void Violation(const char* what, const std::wstring& detail);

}  // namespace fuzz
