// The folder listing on real trees built on disk by each test.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/Format.h"
#include "common/Utf8.h"
#include "platform/FolderEnum.h"
#include "platform/Handles.h"
#include "server/FolderListing.h"
#include "server/ServerFixture.h"
#include "support/TempDir.h"

namespace {

constexpr const char* kNoLinks =
    "folder links cannot be created here: Windows needs the symbolic-link privilege or developer mode, "
    "and Wine creates neither symbolic links nor junctions";

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

    plat::CFolderReader reader;
    ASSERT_TRUE(reader.Open(dir.PathOf(L"P")));
    std::wstring expected = L"<Folder Name=\"P\">";
    for (plat::FolderEntry entry; reader.Next(&entry);) {
        const std::wstring name(entry.name.begin(), entry.name.end());  // ASCII names
        expected += entry.isDirectory ? Folder(name) : File(name);
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

TEST(FolderListing, NamesAreWrittenAsXmlText) {
    struct Case {
        const wchar_t* name;
        const wchar_t* written;
    };
    const Case cases[] = {
        {L"a&b.zip", L"a&amp;b.zip"},
        {L"l<t", L"l&lt;t"},
        {L"g>t", L"g&gt;t"},
        {L"q\"uote.msi", L"q&quot;uote.msi"},
        {L"Tom & Jerry's.zip", L"Tom &amp; Jerry&apos;s.zip"},
        {L"&<>\"'", L"&amp;&lt;&gt;&quot;&apos;"},
        {L"x\"><img src=x onerror=alert(1)>.msi", L"x&quot;&gt;&lt;img src=x onerror=alert(1)&gt;.msi"},
        // Control characters: tab, LF and CR as references (a parser would read
        // them as spaces), the others as U+FFFD; DEL is a character XML carries.
        {L"c\x01" L"d\x1F.bin", L"c\uFFFDd\uFFFD.bin"},
        {L"t\tl\nr\r", L"t&#9;l&#10;r&#13;"},
        {L"del\x7F", L"del\x7F"},
        // Unpaired surrogates and the non-characters U+FFFE and U+FFFF.
        {L"s\xD800.zip", L"s\uFFFD.zip"},
        {L"n\xFFFE\xFFFF", L"n\uFFFD\uFFFD"},
        // Ordinary text of every length stays as it is.
        {L"caf\u00e9 \u4e2d \U0001F4E6.zip", L"caf\u00e9 \u4e2d \U0001F4E6.zip"},
        {L".hidden", L".hidden"},
    };
    CTempDir dir;
    int onDisk = 0;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const std::wstring name = cases[i].name;
        // The requested folder's own name, whether it exists or not.
        EXPECT_EQ(BuildFolderXml(0, dir.PathOf(L"missing/" + name), kFolderListingDepthLimit),
                  Folder(cases[i].written))
            << i;
        // The same name on disk, where the file system takes it (Windows
        // refuses < > " and control characters in names).
        const std::wstring folder = FormatW(L"P%u", static_cast<unsigned>(i));
        if (!dir.MakeFile(folder + L"/" + name)) continue;
        ++onDisk;
        EXPECT_EQ(BuildFolderXml(0, dir.PathOf(folder), kFolderListingDepthLimit),
                  Folder(folder, File(cases[i].written)))
            << i;
    }
    EXPECT_GE(onDisk, 5);  // &, ' and the plain names are possible everywhere
}

// A name that is not text on disk: a byte that UTF-8 never uses (POSIX), or
// an unpaired surrogate (Windows). The folder is still entered by that name.
TEST(FolderListing, FolderNamedWithBytesThatAreNotTextIsListed) {
    CTempDir dir;
    ASSERT_TRUE(dir.MakeFolder(L"P"));
    const auto notText = static_cast<plat::FileNameChar>(sizeof(plat::FileNameChar) == 1 ? 0xFF : 0xD800);
    const plat::FileNameString bad{'b', notText, 'd'};
    const std::filesystem::path folder = server_test::FsPath(dir.PathOf(L"P")) / std::filesystem::path(bad);
    std::error_code error;
    if (!std::filesystem::create_directory(folder, error))
        GTEST_SKIP() << "this file system refuses such a name (Wine cannot store an unpaired surrogate): "
                     << error.message();
    ASSERT_TRUE(std::ofstream(folder / "inside.txt").good());
    EXPECT_EQ(BuildFolderXml(0, dir.PathOf(L"P"), kFolderListingDepthLimit),
              Folder(L"P", Folder(L"b\uFFFDd", File(L"inside.txt"))));
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

TEST(FolderListing, FolderThatIsItsOwnAncestorIsWrittenEmptyAndNotEntered) {
    CTempDir dir;
    ASSERT_TRUE(dir.MakeFile(L"self/s.txt"));
    ASSERT_TRUE(dir.MakeFile(L"parent/a/p.txt"));
    ASSERT_TRUE(dir.MakeFolder(L"two/x"));
    ASSERT_TRUE(dir.MakeFolder(L"two/y"));
    ASSERT_TRUE(dir.MakeFolder(L"other"));
    if (!dir.MakeFolderLink(L"self/me", dir.PathOf(L"self"))) GTEST_SKIP() << kNoLinks;
    ASSERT_TRUE(dir.MakeFolderLink(L"parent/a/up", dir.PathOf(L"parent")));
    ASSERT_TRUE(dir.MakeFolderLink(L"two/x/to-y", dir.PathOf(L"two/y")));
    ASSERT_TRUE(dir.MakeFolderLink(L"two/y/to-x", dir.PathOf(L"two/x")));
    // A link to a folder outside the line of ancestors is followed as before.
    ASSERT_TRUE(dir.MakeFolderLink(L"other/elsewhere", dir.PathOf(L"parent/a")));
    const auto list = [&](const wchar_t* folder) {
        return BuildFolderXml(0, dir.PathOf(folder), kFolderListingDepthLimit);
    };

    EXPECT_EQ(Canonical(list(L"self")), Canonical(Folder(L"self", File(L"s.txt"), Folder(L"me"))));
    EXPECT_EQ(Canonical(list(L"parent/a")), Canonical(Folder(L"a", File(L"p.txt"), Folder(L"up", Folder(L"a")))));
    EXPECT_EQ(Canonical(list(L"parent")),
              Canonical(Folder(L"parent", Folder(L"a", File(L"p.txt"), Folder(L"up")))));
    EXPECT_EQ(list(L"two/x"), Folder(L"x", Folder(L"to-y", Folder(L"to-x"))));
    EXPECT_EQ(Canonical(list(L"two")), Canonical(Folder(L"two", Folder(L"x", Folder(L"to-y", Folder(L"to-x"))),
                                                         Folder(L"y", Folder(L"to-x", Folder(L"to-y"))))));
    EXPECT_EQ(Canonical(list(L"other")),
              Canonical(Folder(L"other", Folder(L"elsewhere", File(L"p.txt"), Folder(L"up", Folder(L"a"))))));
}

// The limit counts the document's UTF-8 bytes: a document exactly at the
// limit is sent, one byte less refuses it with one log line.
TEST(FolderListing, DocumentPastTheSizeLimitIsRefusedWithOneLogLine) {
    CTempDir dir;
    ASSERT_TRUE(dir.MakeFile(L"P/caf\u00e9.zip"));
    ASSERT_TRUE(dir.MakeFile(L"P/sub/\U0001F4E6 & co.msi"));
    server_test::TestLog log;
    std::wstring whole;
    ASSERT_TRUE(BuildFolderListingDocument(dir.PathOf(L"P"), whole));
    const std::size_t bytes = WideToUtf8(whole).size();
    ASSERT_GT(bytes, whole.size());

    std::wstring document;
    EXPECT_TRUE(BuildFolderListingDocument(dir.PathOf(L"P"), document, bytes));
    EXPECT_EQ(document, whole);
    EXPECT_EQ(BuildFolderXml(0, dir.PathOf(L"P"), kFolderListingDepthLimit, bytes),
              whole.substr(11, whole.size() - 23));  // without <FileIndex> and </FileIndex>
    EXPECT_TRUE(log.New().empty());

    EXPECT_FALSE(BuildFolderListingDocument(dir.PathOf(L"P"), document, bytes - 1));
    EXPECT_EQ(document, L"");
    EXPECT_EQ(log.New(), std::vector<std::wstring>{FormatW(
                             L"Folder listing of '%s' not sent: it passes the size limit of %llu bytes",
                             dir.PathOf(L"P"), static_cast<unsigned long long>(bytes - 1))});
    // Passed inside the tree, not only by the closing tags.
    EXPECT_FALSE(BuildFolderListingDocument(dir.PathOf(L"P"), document, bytes / 2));
    EXPECT_EQ(BuildFolderXml(0, dir.PathOf(L"P"), kFolderListingDepthLimit, bytes / 2), L"");
    EXPECT_EQ(log.New().size(), 1u);
}

namespace {

const std::string kSubListing = "<FileIndex><Folder Name=\"sub\"><File Name=\"a.zip\" /></Folder></FileIndex>";

// The server's listing limit is the document's size (true) or one byte less.
class ListingOverSocket : public server_test::ServerFixture, public ::testing::WithParamInterface<bool> {
  protected:
    void SetUp() override {
        m_pConfig->limits.nListingBytes = kSubListing.size() - (GetParam() ? 0 : 1);
        ServerFixture::SetUp();
    }
};

}  // namespace

TEST_P(ListingOverSocket, RefusedDocumentGetsTheNotFoundReply) {
    ASSERT_TRUE(MakePackage(L"sub/a.zip", "a"));
    CHttpClient client;
    Connect(client);
    CHttpClient::Reply reply;
    ASSERT_TRUE(client.Send("GET /packages/sub/ListFolderContents.asp HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(client.ReceiveReply(reply, 10000));
    Sync();
    const std::vector<std::wstring> log = m_pLog->New();
    if (GetParam()) {
        EXPECT_EQ(reply.status, 200);
        EXPECT_EQ(reply.body, kSubListing);
        EXPECT_EQ(log.size(), 2u);
        return;
    }
    EXPECT_EQ(reply.head, server_test::kNotFoundHead);
    EXPECT_EQ(log, (std::vector<std::wstring>{
                       L"Request for: '/packages/sub/ListFolderContents.asp'",
                       FormatW(L"Folder listing of '%s' not sent: it passes the size limit of %llu bytes",
                               PackagePath(L"sub"), static_cast<unsigned long long>(kSubListing.size() - 1)),
                       L"Transmitting file  completed..."}));
}

INSTANTIATE_TEST_SUITE_P(AtAndPastTheLimit, ListingOverSocket, ::testing::Bool());
