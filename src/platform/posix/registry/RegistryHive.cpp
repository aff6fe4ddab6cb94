// The POSIX registry's tree of one root key and its text form on disk.
#include "platform/posix/registry/RegistryHive.h"

#include <algorithm>
#include <charconv>

namespace plat::posix {
namespace {

constexpr std::string_view kHeader = "VelmoraRegistry 1";

// The upper-case partner of a letter, by fixed tables (never the locale's).
std::uint32_t FoldCase(std::uint32_t c) {
    if (c < 0x80) return (c >= 'a' && c <= 'z') ? c - 0x20 : c;
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 0x20;
    if (c == 0xFF) return 0x178;
    if (c >= 0x100 && c <= 0x12F) return c & ~1u;
    if (c >= 0x132 && c <= 0x137) return c & ~1u;
    if (c >= 0x139 && c <= 0x148) return (c & 1u) ? c : c - 1;
    if (c >= 0x14A && c <= 0x177) return c & ~1u;
    if (c >= 0x179 && c <= 0x17E) return (c & 1u) ? c : c - 1;
    if ((c >= 0x3B1 && c <= 0x3C1) || (c >= 0x3C3 && c <= 0x3CB)) return c - 0x20;
    if (c == 0x3C2) return 0x3A3;  // final sigma
    if (c >= 0x430 && c <= 0x44F) return c - 0x20;
    if (c >= 0x450 && c <= 0x45F) return c - 0x50;
    return c;
}

void AppendQuoted(std::string& out, std::wstring_view name) {
    static const char kHex[] = "0123456789abcdef";
    out += '"';
    for (const wchar_t wc : name) {
        const auto c = static_cast<std::uint32_t>(wc);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            out += "\\u{";
            std::string digits;
            for (std::uint32_t v = c; v != 0 || digits.empty(); v >>= 4) digits.insert(digits.begin(), kHex[v & 0xF]);
            out += digits;
            out += '}';
        }
    }
    out += '"';
}

void AppendHex(std::string& out, const std::vector<std::uint8_t>& bytes) {
    static const char kHex[] = "0123456789abcdef";
    out.reserve(out.size() + bytes.size() * 2);
    for (const std::uint8_t b : bytes) {
        out += kHex[b >> 4];
        out += kHex[b & 0xF];
    }
}

void AppendKey(std::string& out, const RegistryNode& node, unsigned depth) {
    out += "key ";
    out += std::to_string(node.id);
    out += ' ';
    out += std::to_string(depth);
    out += ' ';
    AppendQuoted(out, node.name);
    out += '\n';
    for (const RegistryValue& value : node.values) {
        out += "value ";
        out += std::to_string(value.type);
        out += ' ';
        out += std::to_string(value.data.size());
        out += ' ';
        AppendQuoted(out, value.name);
        if (!value.data.empty()) {
            out += ' ';
            AppendHex(out, value.data);
        }
        out += '\n';
    }
    for (const auto& child : node.children) AppendKey(out, *child, depth + 1);
}

// Reads one line of the file at a time, strictly: every deviation fails.
class LineReader {
  public:
    explicit LineReader(std::string_view line) : m_line(line) {}

    bool Word(std::string_view word) {
        if (m_line.substr(m_pos, word.size()) != word) return false;
        m_pos += word.size();
        return true;
    }
    bool Space() { return Word(" "); }
    bool AtEnd() const { return m_pos == m_line.size(); }

    template <typename T>
    bool Number(T* value) {
        const char* first = m_line.data() + m_pos;
        const char* last = m_line.data() + m_line.size();
        if (first == last || *first < '0' || *first > '9') return false;
        const auto [end, error] = std::from_chars(first, last, *value);
        if (error != std::errc()) return false;
        m_pos += static_cast<std::size_t>(end - first);
        return true;
    }

    bool Quoted(std::wstring* name) {
        if (!Word("\"")) return false;
        name->clear();
        while (m_pos < m_line.size()) {
            const char c = m_line[m_pos++];
            if (c == '"') return true;
            if (c != '\\') {
                if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) return false;
                name->push_back(static_cast<wchar_t>(c));
                continue;
            }
            if (m_pos >= m_line.size()) return false;
            const char escaped = m_line[m_pos++];
            if (escaped == '"' || escaped == '\\') {
                name->push_back(static_cast<wchar_t>(escaped));
                continue;
            }
            if (escaped != 'u' || !Word("{")) return false;
            std::uint32_t value = 0;
            int digits = 0;
            while (m_pos < m_line.size() && m_line[m_pos] != '}') {
                const int digit = HexDigit(m_line[m_pos++]);
                if (digit < 0 || ++digits > 8) return false;
                value = (value << 4) | static_cast<std::uint32_t>(digit);
            }
            if (digits == 0 || !Word("}")) return false;
            name->push_back(static_cast<wchar_t>(value));
        }
        return false;
    }

    bool Hex(std::size_t size, std::vector<std::uint8_t>* bytes) {
        if (size > m_line.size() || m_line.size() - m_pos != size * 2) return false;
        bytes->resize(size);
        for (std::size_t i = 0; i < size; ++i) {
            const int high = HexDigit(m_line[m_pos++]);
            const int low = HexDigit(m_line[m_pos++]);
            if (high < 0 || low < 0) return false;
            (*bytes)[i] = static_cast<std::uint8_t>((high << 4) | low);
        }
        return true;
    }

  private:
    static int HexDigit(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    }

    std::string_view m_line;
    std::size_t m_pos = 0;
};

}  // namespace

bool RegistryNamesEqual(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (FoldCase(static_cast<std::uint32_t>(a[i])) != FoldCase(static_cast<std::uint32_t>(b[i]))) return false;
    return true;
}

bool SplitRegistryPath(const wchar_t* path, std::vector<std::wstring>* parts) {
    parts->clear();
    if (path == nullptr || path[0] == L'\0') return true;
    if (path[0] == L'\\') return false;
    std::wstring_view rest(path);
    while (!rest.empty()) {
        const std::size_t separator = rest.find(L'\\');
        const std::wstring_view part = rest.substr(0, separator);
        if (part.empty()) return false;
        parts->emplace_back(part);
        if (separator == std::wstring_view::npos) break;
        rest.remove_prefix(separator + 1);
    }
    return true;
}

RegistryHive::RegistryHive() : m_root(std::make_unique<RegistryNode>()) { m_root->id = kRootId; }

RegistryHive RegistryHive::Fresh() {
    RegistryHive hive;
    RegistryNode* node = &hive.Root();
    for (const wchar_t* name : {L"SYSTEM", L"CurrentControlSet", L"Services", L"EventLog", L"Application"})
        node = &hive.AddChild(*node, name);
    SetValue(*node, L"Sources", 7, {0, 0});
    return hive;
}

RegistryNode* RegistryHive::Find(std::uint64_t id) {
    std::vector<RegistryNode*> pending{m_root.get()};
    while (!pending.empty()) {
        RegistryNode* node = pending.back();
        pending.pop_back();
        if (node->id == id) return node;
        for (const auto& child : node->children) pending.push_back(child.get());
    }
    return nullptr;
}

RegistryNode* RegistryHive::FindChild(RegistryNode& node, std::wstring_view name) {
    for (const auto& child : node.children)
        if (RegistryNamesEqual(child->name, name)) return child.get();
    return nullptr;
}

RegistryNode& RegistryHive::AddChild(RegistryNode& node, const std::wstring& name) {
    auto child = std::make_unique<RegistryNode>();
    child->id = m_nextId++;
    child->name = name;
    child->parent = &node;
    node.children.push_back(std::move(child));
    return *node.children.back();
}

void RegistryHive::RemoveChild(RegistryNode& node, const RegistryNode* child) {
    std::erase_if(node.children, [child](const std::unique_ptr<RegistryNode>& c) { return c.get() == child; });
}

RegistryValue* RegistryHive::FindValue(RegistryNode& node, std::wstring_view name) {
    for (RegistryValue& value : node.values)
        if (RegistryNamesEqual(value.name, name)) return &value;
    return nullptr;
}

void RegistryHive::SetValue(RegistryNode& node, const std::wstring& name, DWORD type, std::vector<std::uint8_t> data) {
    RegistryValue* value = FindValue(node, name);
    if (value == nullptr) {
        node.values.push_back(RegistryValue{name, type, {}});
        value = &node.values.back();
    }
    value->type = type;
    value->data = std::move(data);
}

bool RegistryHive::DeleteValue(RegistryNode& node, std::wstring_view name) {
    return std::erase_if(node.values, [name](const RegistryValue& v) { return RegistryNamesEqual(v.name, name); }) != 0;
}

std::string RegistryHive::Serialise() const {
    std::string out(kHeader);
    out += "\nnext ";
    out += std::to_string(m_nextId);
    out += '\n';
    AppendKey(out, *m_root, 0);
    out += "end\n";
    return out;
}

bool RegistryHive::Parse(std::string_view text, RegistryHive* hive) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        if (end == std::string_view::npos) return false;  // every line, "end" too, ends with LF
        lines.push_back(text.substr(0, end));
        text.remove_prefix(end + 1);
    }
    if (lines.size() < 4 || lines.front() != kHeader || lines.back() != "end") return false;

    RegistryHive parsed;
    LineReader next(lines[1]);
    if (!next.Word("next ") || !next.Number(&parsed.m_nextId) || !next.AtEnd()) return false;

    std::vector<RegistryNode*> path;  // the key of each depth on the way to the current key
    std::vector<std::uint64_t> ids;
    for (std::size_t i = 2; i + 1 < lines.size(); ++i) {
        LineReader line(lines[i]);
        if (line.Word("key ")) {
            std::uint64_t id = 0;
            std::size_t depth = 0;
            std::wstring name;
            if (!line.Number(&id) || !line.Space() || !line.Number(&depth) || !line.Space() || !line.Quoted(&name) ||
                !line.AtEnd())
                return false;
            if (id == 0 || id >= parsed.m_nextId || depth > path.size()) return false;
            if (depth == 0) {
                if (!path.empty() || id != kRootId || !name.empty()) return false;
                path.push_back(parsed.m_root.get());
            } else {
                RegistryNode& parent = *path[depth - 1];
                if (name.empty() || name.find(L'\\') != std::wstring::npos || parsed.FindChild(parent, name))
                    return false;
                auto child = std::make_unique<RegistryNode>();
                child->id = id;
                child->name = std::move(name);
                child->parent = &parent;
                parent.children.push_back(std::move(child));
                path.resize(depth);
                path.push_back(parent.children.back().get());
            }
            ids.push_back(id);
        } else if (line.Word("value ")) {
            DWORD type = 0;
            std::size_t size = 0;
            std::wstring name;
            std::vector<std::uint8_t> data;
            if (path.empty() || !line.Number(&type) || !line.Space() || !line.Number(&size) || !line.Space() ||
                !line.Quoted(&name))
                return false;
            if (size > 0 && (!line.Space() || !line.Hex(size, &data))) return false;
            if (!line.AtEnd() || FindValue(*path.back(), name)) return false;
            path.back()->values.push_back(RegistryValue{std::move(name), type, std::move(data)});
        } else {
            return false;
        }
    }
    if (path.empty()) return false;
    std::sort(ids.begin(), ids.end());
    if (std::adjacent_find(ids.begin(), ids.end()) != ids.end()) return false;
    *hive = std::move(parsed);
    return true;
}

}  // namespace plat::posix
