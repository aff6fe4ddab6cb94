// Temporary folders for tests, built with std::filesystem over UTF-8 paths.
#include "support/TempDir.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <system_error>

#include "common/Utf8.h"
#include "platform/Handles.h"
#include "support/FolderLink.h"

namespace fs = std::filesystem;

namespace {

// UTF-8 paths mean the same on every platform (a narrow std::string would be
// read in the ANSI code page on Windows).
fs::path ToFsPath(const std::wstring& text) {
    const std::string utf8 = WideToUtf8(text);
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

std::wstring FromFsPath(const fs::path& path) {
    const std::u8string utf8 = path.u8string();
    return Utf8ToWideLossy(std::string(utf8.begin(), utf8.end()));
}

std::atomic<unsigned> g_nextTempDir{0};

}  // namespace

CTempDir::CTempDir() {
    std::error_code ec;
    const fs::path base = fs::temp_directory_path(ec);
    if (ec) return;
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = "velmora-test-" + std::to_string(plat::CurrentProcessId()) + "-" +
                                 std::to_string(g_nextTempDir.fetch_add(1)) + "-" + std::to_string(random());
        const fs::path candidate = base / name;
        if (fs::create_directory(candidate, ec) && !ec) {
            m_strPath = FromFsPath(candidate.lexically_normal());
            while (m_strPath.size() > 1 && (m_strPath.back() == L'/' || m_strPath.back() == L'\\'))
                m_strPath.pop_back();
            return;
        }
    }
}

CTempDir::~CTempDir() {
    if (!IsValid()) return;
    bool linksGone = true;
    for (auto link = m_lstLinks.rbegin(); link != m_lstLinks.rend(); ++link)
        if (!testsupport::RemoveFolderLink(*link)) linksGone = false;
    // A link that is still there could lead the removal out of the tree:
    // leave the folder behind rather than delete what it points to.
    if (!linksGone) return;
    std::error_code ec;
    fs::remove_all(ToFsPath(m_strPath), ec);
}

std::wstring CTempDir::PathOf(const std::wstring& relative) const {
    // A leading separator would make the relative path replace the base.
    std::size_t start = 0;
    while (start < relative.size() && (relative[start] == L'/' || relative[start] == L'\\')) ++start;
    return FromFsPath((ToFsPath(m_strPath) / ToFsPath(relative.substr(start))).make_preferred());
}

bool CTempDir::MakeFolder(const std::wstring& relative) const {
    if (!IsValid()) return false;
    std::error_code ec;
    const fs::path path = ToFsPath(PathOf(relative));
    fs::create_directories(path, ec);
    return fs::is_directory(path, ec);
}

bool CTempDir::MakeFile(const std::wstring& relative, std::string_view bytes) const {
    if (!IsValid()) return false;
    const fs::path path = ToFsPath(PathOf(relative));
    std::error_code ec;
    if (path.has_parent_path()) fs::create_directories(path.parent_path(), ec);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return !out.fail();
}

bool CTempDir::MakeFolderLink(const std::wstring& relative, const std::wstring& targetPath) {
    if (!IsValid()) return false;
    const std::wstring link = PathOf(relative);
    if (!testsupport::CreateFolderLink(link, targetPath)) return false;
    m_lstLinks.push_back(link);
    return true;
}
