// Fuzz target: the folder listing over trees generated from the input.
//
// The input is a little program that builds a tree in a scratch folder:
// files and folders with names from an alphabet that holds XML's special
// characters, control characters, bytes that are not UTF-8, non-characters,
// spaces, dots and multi-byte characters, nesting beyond the depth limit,
// and links to any folder made so far (to the folder itself, an ancestor, a
// sibling). Every document must parse as XML under a strict checker, and
// read back it must be the tree as std::filesystem and stat see it: every
// folder down to depth 10 with all its entries in enumeration order, nothing
// of depth 11, the names on disk (what XML cannot carry as U+FFFD), links
// followed, a folder that is one of its own ancestors empty. The first byte
// may set a small size limit: exactly the documents that pass it are refused.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "FuzzTree.h"
#include "common/Utf8.h"
#include "server/FolderListing.h"

namespace {

constexpr std::size_t kMaxEntries = 48;
constexpr std::size_t kMaxLinks = 4;
constexpr std::size_t kMaxDepth = 14;

// Pieces of names: each is one character, a multi-byte character, or bytes
// that are not UTF-8 (a lone lead byte, an encoded surrogate, an overlong form).
const char* const kAlphabet[] = {"a",  "b",  "Z",  "0",    "9",    ".",    " ",    "-",    "_",
                                 "&",  "'",  "\"", "<",    ">",    "%",    "+",    "#",    ";",
                                 "=",  "~",  "!",  "\t",   "\n",   "\r",   "\x01", "\x1F", "\x7F",
                                 "\xC3\xA9", "\xE4\xB8\xAD", "\xF0\x9F\x93\xA6", "\xFF", "\xC3",
                                 "\xED\xA0\x80", "\xC0\xAF", "\xEF\xBF\xBE", "\xEF\xBF\xBF", "&amp;", "&#38;"};
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

// The listing read back: a folder or a file, its name, a folder's entries.
struct Node {
    bool isFolder = false;
    std::wstring name;
    std::vector<Node> children;
    bool operator==(const Node&) const = default;
};

bool IsXmlChar(char32_t c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
           (c >= 0x10000 && c <= 0x10FFFF);
}

// A strict reader of the XML that a listing may use: elements with
// attributes, references, no prolog, nothing outside the root element.
// Every character must be one XML allows; "<" and a bare "&" never stand
// in attribute values; references are the five predefined ones or
// character references to allowed characters.
class XmlReader {
  public:
    struct Element {
        std::wstring name;
        std::vector<std::pair<std::wstring, std::wstring>> attributes;
        std::vector<Element> children;
        std::wstring text;
    };

    explicit XmlReader(std::wstring_view xml) : m_xml(xml) {}

    std::optional<Element> ReadDocument() {
        Element root;
        for (wchar_t c : m_xml)
            if (!IsXmlChar(static_cast<char32_t>(c))) return Fail("a character XML does not allow"), std::nullopt;
        if (!ReadElement(root)) return std::nullopt;
        if (m_pos != m_xml.size()) return Fail("text after the root element"), std::nullopt;
        return root;
    }
    const std::string& Error() const { return m_error; }

  private:
    bool Fail(const char* what) {
        if (m_error.empty()) m_error = std::string(what) + " at " + std::to_string(m_pos);
        return false;
    }
    bool Peek(wchar_t c) const { return m_pos < m_xml.size() && m_xml[m_pos] == c; }
    bool Eat(std::wstring_view literal) {
        if (m_xml.substr(m_pos, literal.size()) != literal) return false;
        m_pos += literal.size();
        return true;
    }
    bool SkipSpace() {
        const std::size_t start = m_pos;
        while (Peek(L' ') || Peek(L'\t') || Peek(L'\n') || Peek(L'\r')) ++m_pos;
        return m_pos > start;
    }
    static bool IsNameChar(wchar_t c, bool first) {
        return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || c == L'_' || c == L':' ||
               (!first && ((c >= L'0' && c <= L'9') || c == L'.' || c == L'-'));
    }
    bool ReadName(std::wstring& name) {
        const std::size_t start = m_pos;
        while (m_pos < m_xml.size() && IsNameChar(m_xml[m_pos], m_pos == start)) ++m_pos;
        name = m_xml.substr(start, m_pos - start);
        return !name.empty() || Fail("a name expected");
    }
    // A reference after its "&"; appends the character it stands for.
    bool ReadReference(std::wstring& out) {
        static const std::pair<const wchar_t*, wchar_t> kEntities[] = {
            {L"amp;", L'&'}, {L"lt;", L'<'}, {L"gt;", L'>'}, {L"quot;", L'"'}, {L"apos;", L'\''}};
        for (const auto& [entity, c] : kEntities) {
            if (Eat(entity)) {
                out += c;
                return true;
            }
        }
        if (!Eat(L"#")) return Fail("an unknown entity");
        const bool hex = Eat(L"x");
        char32_t value = 0;
        std::size_t digits = 0;
        for (; m_pos < m_xml.size() && m_xml[m_pos] != L';'; ++m_pos, ++digits) {
            const wchar_t c = m_xml[m_pos];
            int digit = -1;
            if (c >= L'0' && c <= L'9') digit = c - L'0';
            if (hex && c >= L'a' && c <= L'f') digit = c - L'a' + 10;
            if (hex && c >= L'A' && c <= L'F') digit = c - L'A' + 10;
            if (digit < 0 || value > 0x10FFFF) return Fail("a bad character reference");
            value = value * (hex ? 16 : 10) + static_cast<char32_t>(digit);
        }
        if (digits == 0 || !Eat(L";") || !IsXmlChar(value)) return Fail("a bad character reference");
        out += static_cast<wchar_t>(value);
        return true;
    }
    bool ReadAttributeValue(std::wstring& value) {
        const wchar_t quote = m_pos < m_xml.size() ? m_xml[m_pos] : 0;
        if (quote != L'"' && quote != L'\'') return Fail("a quoted value expected");
        ++m_pos;
        for (;;) {
            if (m_pos >= m_xml.size()) return Fail("an unterminated value");
            const wchar_t c = m_xml[m_pos++];
            if (c == quote) return true;
            if (c == L'<') return Fail("'<' in a value");
            if (c == L'&') {
                if (!ReadReference(value)) return false;
            } else {
                // Attribute-value normalisation: white space reads as a space.
                value += (c == L'\t' || c == L'\n' || c == L'\r') ? L' ' : c;
            }
        }
    }
    bool ReadElement(Element& element) {
        if (!Eat(L"<") || !ReadName(element.name)) return Fail("an element expected");
        for (;;) {
            const bool space = SkipSpace();
            if (Eat(L"/>")) return true;
            if (Eat(L">")) break;
            std::pair<std::wstring, std::wstring> attribute;
            if (!space || !ReadName(attribute.first)) return Fail("an attribute expected");
            SkipSpace();
            if (!Eat(L"=")) return Fail("'=' expected");
            SkipSpace();
            if (!ReadAttributeValue(attribute.second)) return false;
            for (const auto& other : element.attributes)
                if (other.first == attribute.first) return Fail("a repeated attribute");
            element.attributes.push_back(std::move(attribute));
        }
        for (;;) {
            if (Eat(L"</")) {
                std::wstring name;
                if (!ReadName(name) || name != element.name) return Fail("a mismatched end tag");
                SkipSpace();
                return Eat(L">") || Fail("'>' expected");
            }
            if (Peek(L'<')) {
                element.children.emplace_back();
                if (!ReadElement(element.children.back())) return false;
            } else if (m_pos >= m_xml.size()) {
                return Fail("an unclosed element");
            } else if (Eat(L"&")) {
                if (!ReadReference(element.text)) return false;
            } else {
                if (Eat(L"]]>")) return Fail("']]>' in text");
                element.text += m_xml[m_pos++];
            }
        }
    }

    std::wstring_view m_xml;
    std::size_t m_pos = 0;
    std::string m_error;
};

// The listing's own grammar on top of XML: Folder and File elements with one
// Name attribute each, no text anywhere, Files empty.
bool ToNode(const XmlReader::Element& element, Node& node) {
    node.isFolder = element.name == L"Folder";
    if ((!node.isFolder && element.name != L"File") || element.attributes.size() != 1 ||
        element.attributes[0].first != L"Name" || !element.text.empty() || (!node.isFolder && !element.children.empty()))
        return false;
    node.name = element.attributes[0].second;
    for (const XmlReader::Element& child : element.children) {
        node.children.emplace_back();
        if (!ToNode(child, node.children.back())) return false;
    }
    return true;
}

// A name on disk as the listing shows it: decoded from UTF-8 (a sequence
// that is not UTF-8 as U+FFFD), and every character that XML cannot carry
// as U+FFFD.
std::wstring ShownName(const std::string& bytes) {
    std::wstring name = Utf8ToWideLossy(bytes);
    for (wchar_t& c : name)
        if (!IsXmlChar(static_cast<char32_t>(c))) c = L'\uFFFD';
    return name;
}

// The tree on disk as the listing must show it, from std::filesystem and stat.
Node ExpectedTree(const std::filesystem::path& folder, std::wstring name, int depth,
                  std::vector<std::pair<dev_t, ino_t>>& ancestors) {
    Node node{true, std::move(name), {}};
    struct stat info;
    if (::stat(folder.c_str(), &info) != 0) return node;
    const std::pair<dev_t, ino_t> identity{info.st_dev, info.st_ino};
    for (const auto& ancestor : ancestors)
        if (ancestor == identity) return node;
    ancestors.push_back(identity);
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        std::error_code kindError;
        const std::wstring shown = ShownName(it->path().filename().native());
        if (!it->is_directory(kindError)) {
            node.children.push_back(Node{false, shown, {}});
        } else if (depth < kFolderListingDepthLimit) {
            node.children.push_back(ExpectedTree(it->path(), shown, depth + 1, ancestors));
        }
    }
    ancestors.pop_back();
    return node;
}

// The listing text of a tree, with the escapes the format names.
void Write(const Node& node, std::wstring& out) {
    out += node.isFolder ? L"<Folder Name=\"" : L"<File Name=\"";
    for (wchar_t c : node.name) {
        switch (c) {
            case L'&': out += L"&amp;"; break;
            case L'<': out += L"&lt;"; break;
            case L'>': out += L"&gt;"; break;
            case L'"': out += L"&quot;"; break;
            case L'\'': out += L"&apos;"; break;
            case L'\t': out += L"&#9;"; break;
            case L'\n': out += L"&#10;"; break;
            case L'\r': out += L"&#13;"; break;
            default: out += c;
        }
    }
    if (!node.isFolder) {
        out += L"\" />";
        return;
    }
    out += L"\">";
    for (const Node& child : node.children) Write(child, out);
    out += L"</Folder>";
}

void CheckDocument(const std::wstring& document, const Node& expected) {
    XmlReader reader(document);
    const std::optional<XmlReader::Element> root = reader.ReadDocument();
    if (!root) fuzz::Violation(("the listing is not well-formed XML: " + reader.Error()).c_str(), document);
    Node folder;
    if (root->name != L"FileIndex" || !root->attributes.empty() || !root->text.empty() || root->children.size() != 1 ||
        !ToNode(root->children[0], folder) || !folder.isFolder)
        fuzz::Violation("the listing does not follow the FileIndex/Folder/File grammar", document);
    std::wstring expectedText;
    Write(expected, expectedText);
    if (!(folder == expected))
        fuzz::Violation("the names read back differ from the tree on disk", document + L"\n  expected: " + expectedText);
    // And byte for byte: no white space between elements, " />" for files.
    if (document != L"<FileIndex>" + expectedText + L"</FileIndex>")
        fuzz::Violation("the listing differs from its format", document + L"\n  expected: " + expectedText);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::filesystem::path scratch = fuzz::MakeScratchFolder("listing");
    const std::filesystem::path root = scratch / "Packages";
    std::error_code error;
    std::filesystem::remove_all(root, error);
    std::filesystem::create_directory(root, error);

    Input input(data, size);
    // One input in four lists under a size limit of a few hundred bytes.
    const std::uint8_t limitChoice = input.Next();
    const std::optional<std::size_t> limit =
        limitChoice % 4 == 0 ? std::optional<std::size_t>(limitChoice * 4u + input.Next()) : std::nullopt;

    std::vector<std::filesystem::path> stack{root};
    std::vector<std::filesystem::path> folders{root};
    std::size_t entries = 0, links = 0;
    while (!input.Empty() && entries < kMaxEntries) {
        const std::uint8_t op = input.Next();
        const std::filesystem::path here = stack.back();
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
                    folders.push_back(folder);
                }
                break;
            }
            case 3:
                if (stack.size() > 1) stack.pop_back();
                break;
            case 4: {
                // A link to any folder made so far: itself, an ancestor
                // (a loop), or one elsewhere in the tree.
                if (links >= kMaxLinks) break;
                const std::filesystem::path& target = folders[input.Next() % folders.size()];
                if (::symlink(target.c_str(), (here / NameFrom(input)).c_str()) == 0) {
                    ++links;
                    ++entries;
                }
                break;
            }
        }
    }

    std::vector<std::pair<dev_t, ino_t>> ancestors;
    const Node expected = ExpectedTree(root, L"Packages", 0, ancestors);
    std::wstring document;
    if (!BuildFolderListingDocument(fuzz::WideOf(root), document))
        fuzz::Violation("a small tree passes the size limit", fuzz::WideOf(root));
    CheckDocument(document, expected);

    if (limit) {
        std::wstring limited;
        const bool sent = BuildFolderListingDocument(fuzz::WideOf(root), limited, *limit);
        const bool fits = WideToUtf8(document).size() <= *limit;
        if (sent != fits || (sent && limited != document) || (!sent && !limited.empty()))
            fuzz::Violation(sent ? "a document past the size limit was built" : "a document within the limit was refused",
                            document);
    }
    return 0;
}
