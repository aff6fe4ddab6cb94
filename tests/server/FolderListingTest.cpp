// The folder listing on real trees built on disk by each test.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/Format.h"
#include "platform/FolderEnum.h"
#include "platform/Handles.h"
#include "server/FolderListing.h"
#include "support/TempDir.h"

namespace {

std::wstring File(const std::wstring& name) { return L"<File Name=\"" + name + L"\" />"; }

template <typename... Entries>
std::wstring Folder(const std::wstring& name, const Entries&... entries) {
    std::wstring xml = L"<Folder Name=\"" + name + L"\">";
    ((xml += entries), ...);
    return xml + L"</Folder>";
}

// The listing read back as a tree, so that two listings can be compared
// without regard to the file system's enumeration order.
struct Node {
    bool isFolder = false;
    std::wstring name;
    std::vector<Node> children;
};

class StrictReader {
  public:
    explicit StrictReader(std::wstring_view xml) : m_xml(xml) {}

    // Reads exactly one Folder element covering the whole text.
    std::optional<Node> ReadDocument() {
        Node root;
        if (!ReadFolder(root) || m_pos != m_xml.size()) return std::nullopt;
        return root;
    }

  private:
    bool Eat(std::wstring_view literal) {
        if (m_xml.substr(m_pos, literal.size()) != literal) return false;
        m_pos += literal.size();
        return true;
    }
    bool ReadName(std::wstring& name) {
        const std::size_t quote = m_xml.find(L'"', m_pos);
        if (quote == std::wstring_view::npos) return false;
        name = m_xml.substr(m_pos, quote - m_pos);
        m_pos = quote + 1;
        return true;
    }
    bool ReadFolder(Node& folder) {
        folder.isFolder = true;
        if (!Eat(L"<Folder Name=\"") || !ReadName(folder.name) || !Eat(L">")) return false;
        while (!Eat(L"</Folder>")) {
            Node child;
            if (Eat(L"<File Name=\"")) {
                if (!ReadName(child.name) || !Eat(L" />")) return false;
            } else if (!ReadFolder(child)) {
                return false;
            }
            folder.children.push_back(std::move(child));
        }
        return true;
    }

    std::wstring_view m_xml;
    std::size_t m_pos = 0;
};

void Write(const Node& node, std::wstring& out) {
    if (!node.isFolder) {
        out += File(node.name);
        return;
    }
    out += L"<Folder Name=\"" + node.name + L"\">";
    for (const Node& child : node.children) Write(child, out);
    out += L"</Folder>";
}

void SortTree(Node& node) {
    for (Node& child : node.children) SortTree(child);
    std::sort(node.children.begin(), node.children.end(), [](const Node& a, const Node& b) {
        return a.isFolder != b.isFolder ? a.isFolder < b.isFolder : a.name < b.name;
    });
}

// The listing with every folder's entries in one fixed order, or "not the
// grammar" when the text is not exactly one well-formed Folder element.
std::wstring Canonical(const std::wstring& xml) {
    std::optional<Node> tree = StrictReader(xml).ReadDocument();
    if (!tree) return L"not the grammar: " + xml;
    SortTree(*tree);
    std::wstring out;
    Write(*tree, out);
    return out;
}

// The expected listing of the loop tree: each "a" holds a link "up" back to
// the root, which holds r.txt and a; the depth limit ends the descent.
std::wstring LoopListing(const std::wstring& name, int depth, int limit) {
    if (depth > limit) return std::wstring();
    if (name == L"a") return Folder(L"a", LoopListing(L"up", depth + 1, limit));
    return Folder(name, File(L"r.txt"), LoopListing(L"a", depth + 1, limit));
}

}  // namespace

TEST(FolderListing, EmptyFolderIsOneElementWithNothingInside) {
    CTempDir dir;
    ASSERT_TRUE(dir.MakeFolder(L"Packages"));
    EXPECT_EQ(BuildFolderXml(0, dir.PathOf(L"Packages"), kFolderListingDepthLimit), L"<Folder Name=\"Packages\"></Folder>");
    // A trailing separator does not change the folder's name.
    EXPECT_EQ(BuildFolderXml(0, dir.PathOf(L"Packages/"), kFolderListingDepthLimit), L"<Folder Name=\"Packages\"></Folder>");
    EXPECT_EQ(FormatW(L"<FileIndex>%s</FileIndex>", BuildFolderXml(0, dir.PathOf(L"Packages"), kFolderListingDepthLimit)),
              L"<FileIndex><Folder Name=\"Packages\"></Folder></FileIndex>");
}

TEST(FolderListing, NestedFilesAndFoldersFollowTheGrammarExactly) {
    CTempDir dir;
    ASSERT_TRUE(dir.MakeFile(L"Packages/a.zip", "zip"));
    ASSERT_TRUE(dir.MakeFile(L"Packages/sub/b.msi", "msi"));
    const std::wstring xml = BuildFolderXml(0, dir.PathOf(L"Packages"), kFolderListingDepthLimit);
    EXPECT_EQ(Canonical(xml), Canonical(Folder(L"Packages", File(L"a.zip"), Folder(L"sub", File(L"b.msi")))));
    // Listing the sub-folder on its own.
    EXPECT_EQ(BuildFolderXml(0, dir.PathOf(L"Packages/sub"), kFolderListingDepthLimit),
              L"<Folder Name=\"sub\"><File Name=\"b.msi\" /></Folder>");
}

TEST(FolderListing, EntriesKeepTheFileSystemsOrderInterleaved) {
    CTempDir dir;
    for (const wchar_t* name : {L"m1", L"c2", L"x3", L"b4", L"q5", L"k6"}) ASSERT_TRUE(dir.MakeFile(FormatW(L"P/%s.bin", name)));
    for (const wchar_t* name : {L"f1", L"z2", L"a3", L"n4"}) ASSERT_TRUE(dir.MakeFolder(FormatW(L"P/%s", name)));

    std::vector<plat::FolderEntry> entries;
    ASSERT_TRUE(plat::EnumerateFolder(dir.PathOf(L"P"), &entries));
    std::wstring expected = L"<Folder Name=\"P\">";
    for (const plat::FolderEntry& entry : entries) {
        if (entry.isDots) continue;
        expected += entry.isDirectory ? Folder(entry.name) : File(entry.name);
    }
    expected += L"</Folder>";
    EXPECT_EQ(BuildFolderXml(0, dir.PathOf(L"P"), kFolderListingDepthLimit), expected);
}

TEST(FolderListing, TwelveLevelsStopBelowTheTenth) {
    CTempDir dir;
    std::wstring relative = L"root";
    ASSERT_TRUE(dir.MakeFile(L"root/f0.txt"));
    for (int level = 1; level <= 12; ++level) {
        relative += FormatW(L"/d%d", level);
        ASSERT_TRUE(dir.MakeFile(FormatW(L"%s/f%d.txt", relative, level)));
    }
    // Depth 10 lists its file only; d11 and everything in it is missing.
    std::wstring expected = Folder(L"d10", File(L"f10.txt"));
    for (int level = 9; level >= 1; --level)
        expected = Folder(FormatW(L"d%d", level), File(FormatW(L"f%d.txt", level)), expected);
    expected = Folder(L"root", File(L"f0.txt"), expected);

    const std::wstring xml = BuildFolderXml(0, dir.PathOf(L"root"), kFolderListingDepthLimit);
    EXPECT_EQ(Canonical(xml), Canonical(expected));
    EXPECT_EQ(xml.find(L"d11"), std::wstring::npos);
    EXPECT_EQ(xml.find(L"f11.txt"), std::wstring::npos);

    // A folder below the limit yields no text at all.
    EXPECT_EQ(BuildFolderXml(11, dir.PathOf(L"root"), kFolderListingDepthLimit), L"");
    // The caller's limit holds at every level, not only at the top.
    EXPECT_EQ(Canonical(BuildFolderXml(0, dir.PathOf(L"root"), 1)),
              Canonical(Folder(L"root", File(L"f0.txt"), Folder(L"d1", File(L"f1.txt")))));
}

TEST(FolderListing, NamesAreWrittenUnescapedAndHiddenEntriesListed) {
    CTempDir dir;
    ASSERT_TRUE(dir.MakeFile(L"P/Tom & Jerry's.zip"));
    ASSERT_TRUE(dir.MakeFile(L"P/R&D's/a&b.txt"));
    ASSERT_TRUE(dir.MakeFile(L"P/.hidden"));
    const std::wstring xml = BuildFolderXml(0, dir.PathOf(L"P"), kFolderListingDepthLimit);
    EXPECT_EQ(Canonical(xml), Canonical(Folder(L"P", File(L"Tom & Jerry's.zip"), File(L".hidden"),
                                               Folder(L"R&D's", File(L"a&b.txt")))));
    EXPECT_NE(xml.find(L"<File Name=\"Tom & Jerry's.zip\" />"), std::wstring::npos);
}

TEST(FolderListing, NonAsciiNamesRoundTrip) {
    CTempDir dir;
    ASSERT_TRUE(dir.MakeFile(L"P/caf\u00e9.zip"));
    ASSERT_TRUE(dir.MakeFile(L"P/\u4e2d\u6587/\u00fcber \u00e9t\u00e9.msi"));
    EXPECT_EQ(Canonical(BuildFolderXml(0, dir.PathOf(L"P"), kFolderListingDepthLimit)),
              Canonical(Folder(L"P", File(L"caf\u00e9.zip"), Folder(L"\u4e2d\u6587", File(L"\u00fcber \u00e9t\u00e9.msi")))));
    EXPECT_EQ(BuildFolderXml(0, dir.PathOf(L"P/\u4e2d\u6587"), kFolderListingDepthLimit),
              L"<Folder Name=\"\u4e2d\u6587\"><File Name=\"\u00fcber \u00e9t\u00e9.msi\" /></Folder>");
}

TEST(FolderListing, PathNamingAFileOrNothingGivesAnEmptyElement) {
    CTempDir dir;
    ASSERT_TRUE(dir.MakeFile(L"P/setup.exe", "MZ"));
    EXPECT_EQ(BuildFolderXml(0, dir.PathOf(L"P/setup.exe"), kFolderListingDepthLimit), L"<Folder Name=\"setup.exe\"></Folder>");
    EXPECT_EQ(BuildFolderXml(0, dir.PathOf(L"P/missing"), kFolderListingDepthLimit), L"<Folder Name=\"missing\"></Folder>");
}

TEST(FolderListing, LinkBackUpTheTreeIsFollowedUntilTheDepthLimit) {
    CTempDir dir;
    ASSERT_TRUE(dir.MakeFile(L"root/r.txt"));
    ASSERT_TRUE(dir.MakeFolder(L"root/a"));
    if (!dir.MakeFolderLink(L"root/a/up", dir.PathOf(L"root")))
        GTEST_SKIP() << "folder links cannot be created here (error " << plat::LastError()
                     << "): Windows needs the symbolic-link privilege or developer mode, and Wine does not create them";

    const std::wstring xml = BuildFolderXml(0, dir.PathOf(L"root"), kFolderListingDepthLimit);
    EXPECT_EQ(Canonical(xml), Canonical(LoopListing(L"root", 0, kFolderListingDepthLimit)));
    // The link leads to depths 2, 4, ... 10: five times through it.
    std::size_t links = 0;
    for (std::size_t at = xml.find(L"Name=\"up\""); at != std::wstring::npos; at = xml.find(L"Name=\"up\"", at + 1))
        ++links;
    EXPECT_EQ(links, 5u);
}
