// Fuzz target: the folder listing over trees generated from the input.
//
// The input is a little program that builds a tree in a scratch folder:
// files and folders with names from an alphabet that holds XML's special
// characters, spaces, dots and multi-byte characters, nesting beyond the
// depth limit, and links back up the tree. The listing must equal one built
// independently with std::filesystem in the same enumeration order: every
// folder down to depth 10 with all its entries, nothing of depth 11, names
// unescaped, links followed like folders until the depth limit ends them.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "FuzzTree.h"
#include "common/Format.h"
#include "common/Utf8.h"
#include "server/FolderListing.h"

namespace {

constexpr std::size_t kMaxEntries = 48;
constexpr std::size_t kMaxLinks = 1;
constexpr std::size_t kMaxDepth = 14;

// Pieces of names: each is one character (some of them several UTF-8 bytes).
const char* const kAlphabet[] = {"a", "b", "Z", "0", "9", ".", " ", "-", "_", "&", "'", "\"", "<", ">", "%",
                                 "+", "#", ";", "=", "\xC3\xA9", "\xE4\xB8\xAD", "\xF0\x9F\x93\xA6", "~", "!"};
constexpr std::size_t kAlphabetSize = sizeof(kAlphabet) / sizeof(kAlphabet[0]);

class Input {
  public:
    Input(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    bool Empty() const { return m_pos >= m_size; }
    std::uint8_t Next() { return m_pos < m_size ? m_data[m_pos++] : 0; }

  private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

std::string NameFrom(Input& input) {
    const std::size_t length = input.Next() % 10 + 1;
    std::string name;
    for (std::size_t i = 0; i < length; ++i) name += kAlphabet[input.Next() % kAlphabetSize];
    if (name == "." || name == "..") name += "x";
    return name;
}

// The listing as the format defines it, from std::filesystem.
std::wstring ExpectedXml(const std::filesystem::path& folder, int depth) {
    if (depth > kFolderListingDepthLimit) return std::wstring();
    std::wstring xml = L"<Folder Name=\"" + fuzz::WideOf(folder.filename()) + L"\">";
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        std::error_code kindError;
        if (it->is_directory(kindError)) {
            xml += ExpectedXml(it->path(), depth + 1);
        } else {
            xml += L"<File Name=\"" + fuzz::WideOf(it->path().filename()) + L"\" />";
        }
    }
    return xml + L"</Folder>";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::filesystem::path scratch = fuzz::MakeScratchFolder("listing");
    const std::filesystem::path root = scratch / "Packages";
    std::error_code error;
    std::filesystem::remove_all(root, error);
    std::filesystem::create_directory(root, error);

    Input input(data, size);
    std::vector<std::filesystem::path> stack{root};
    std::size_t entries = 0, links = 0;
    while (!input.Empty() && entries < kMaxEntries) {
        const std::uint8_t op = input.Next();
        const std::filesystem::path& here = stack.back();
        switch (op % 5) {
            case 0:
            case 1:
                if (fuzz::WriteFile(here / NameFrom(input), "x")) ++entries;
                break;
            case 2: {
                const std::filesystem::path folder = here / NameFrom(input);
                if (stack.size() <= kMaxDepth && std::filesystem::create_directory(folder, error)) {
                    ++entries;
                    stack.push_back(folder);
                }
                break;
            }
            case 3:
                if (stack.size() > 1) stack.pop_back();
                break;
            case 4: {
                // A link to a folder further up: a loop that only the depth limit ends.
                if (links >= kMaxLinks) break;
                const std::filesystem::path& target = stack[input.Next() % stack.size()];
                if (::symlink(target.c_str(), (here / NameFrom(input)).c_str()) == 0) {
                    ++links;
                    ++entries;
                }
                break;
            }
        }
    }

    const std::wstring actual = BuildFolderXml(0, fuzz::WideOf(root), kFolderListingDepthLimit);
    const std::wstring expected = ExpectedXml(root, 0);
    if (actual != expected) fuzz::Violation("listing differs from the tree", actual + L"\n  expected: " + expected);
    return 0;
}
