// Scratch folders and path helpers shared by the fuzz targets.
#include "FuzzTree.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "common/Utf8.h"

namespace fuzz {

namespace {
std::vector<std::filesystem::path>& ScratchFolders() {
    static std::vector<std::filesystem::path> folders;
    return folders;
}

void RemoveScratchFolders() {
    std::error_code error;
    for (const auto& folder : ScratchFolders()) std::filesystem::remove_all(folder, error);
}
}  // namespace

std::filesystem::path MakeScratchFolder(std::string_view name) {
    // A memory file system where there is one: the listing target builds a tree for every input.
    std::error_code error;
    const std::filesystem::path base =
        std::filesystem::is_directory("/dev/shm", error) && ::access("/dev/shm", W_OK) == 0
            ? std::filesystem::path("/dev/shm")
            : std::filesystem::temp_directory_path();
    std::string pattern = (base / ("velmora-fuzz-" + std::string(name) + "-XXXXXX")).string();
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        std::abort();
    }
    if (ScratchFolders().empty()) std::atexit(RemoveScratchFolders);
    ScratchFolders().push_back(pattern);
    return pattern;
}

std::wstring WideOf(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    std::wstring wide;
    if (!TryUtf8ToWide(std::string(text.begin(), text.end()), wide)) return Utf8ToWideLossy(std::string(text.begin(), text.end()));
    return wide;
}

std::filesystem::path PathOf(const std::wstring& text) {
    const std::string utf8 = WideToUtf8(text);
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

bool WriteFile(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

bool IsWithin(const std::filesystem::path& inner, const std::filesystem::path& outer) {
    auto i = inner.begin();
    for (auto o = outer.begin(); o != outer.end(); ++o, ++i) {
        if (o->empty()) continue;  // a trailing separator
        if (i == inner.end() || *i != *o) return false;
    }
    return true;
}

void Violation(const char* what, const std::wstring& detail) {
    std::fprintf(stderr, "invariant violated: %s: %s\n", what, WideToUtf8(detail).c_str());
    std::abort();
}

}  // namespace fuzz
