// Builds the folder listing document: names as XML text, ancestor loops cut, size bounded.
#include "server/FolderListing.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <string_view>
#include <type_traits>
#include <vector>

#include "common/LogSink.h"
#include "common/Utf8.h"
#include "platform/FolderEnum.h"

namespace {

// ASCII characters that a name carries into the document as they are.
constexpr std::array<bool, 128> kPlainAscii = [] {
    std::array<bool, 128> plain{};
    for (int c = 0x20; c < 0x80; ++c) plain[c] = true;
    for (char c : {'&', '<', '>', '"', '\''}) plain[static_cast<unsigned char>(c)] = false;
    return plain;
}();

bool IsPlainAscii(std::uint32_t c) { return c < 0x80 && kPlainAscii[c]; }

std::size_t Utf8Length(char32_t c) { return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4; }

// The document grows in one string: a tree of thousands of entries is
// written without a copy per entry or per sub-folder, and without a full
// path per entry (sub-folders are opened relative to their parent).
class CListingBuilder {
  public:
    CListingBuilder(std::wstring& xml, std::size_t sizeLimit, const std::atomic<bool>* cancel = nullptr)
        : m_xml(xml), m_nSizeLimit(sizeLimit), m_pCancel(cancel) {}

    // Whether the text so far stays within the size limit (and the build was not cancelled).
    bool Fits() const {
        return m_xml.size() + m_nExtraBytes <= m_nSizeLimit && !(m_pCancel && m_pCancel->load(std::memory_order_relaxed));
    }

    // Appends the Folder element of the folder `reader` has open (`opened`
    // false: it could not be opened) under `name`, which is at `depth`.
    // False, with the text left unfinished, as soon as the text passes the
    // size limit.
    template <typename Name>
    bool AppendFolder(plat::CFolderReader& reader, bool opened, Name name, int depth, int depthLimit) {
        m_xml += L"<Folder Name=\"";
        AppendName(name);
        m_xml += L"\">";
        plat::FolderIdentity identity;
        const bool known = opened && reader.Identity(&identity);
        // A folder that is one of its own ancestors (reached through a link)
        // would repeat the tree above it until the depth limit.
        const bool loop =
            known && std::find(m_lstAncestors.begin(), m_lstAncestors.end(), identity) != m_lstAncestors.end();
        if (opened && !loop) {
            if (known) m_lstAncestors.push_back(identity);
            plat::FolderEntry entry;
            while (Fits() && reader.Next(&entry)) {
                if (!entry.isDirectory) {
                    m_xml += L"<File Name=\"";
                    AppendName(entry.name);
                    m_xml += L"\" />";
                } else if (depth < depthLimit) {
                    // A sub-folder one level past the limit would yield
                    // nothing, so it is not even opened.
                    plat::CFolderReader child;
                    const bool childOpened = child.OpenEntry(reader, entry.name);
                    if (!AppendFolder(child, childOpened, entry.name, depth + 1, depthLimit)) return false;
                }
            }
            if (known) m_lstAncestors.pop_back();
        }
        m_xml += L"</Folder>";
        return Fits();
    }

  private:
    // A name as the file system gives it on POSIX: UTF-8 bytes by convention.
    void AppendName(std::string_view bytes) {
        // Names are mostly plain ASCII: widened in place, the rest decoded.
        std::size_t plain = 0;
        while (plain < bytes.size() && IsPlainAscii(static_cast<unsigned char>(bytes[plain]))) ++plain;
        const std::size_t at = m_xml.size();
        m_xml.resize(at + plain);
        for (std::size_t i = 0; i < plain; ++i) m_xml[at + i] = static_cast<unsigned char>(bytes[i]);
        if (plain < bytes.size()) AppendName(std::wstring_view(Utf8ToWideLossy(bytes.substr(plain))));
    }

    // A name as wide text (UTF-16 on Windows, UTF-32 elsewhere).
    void AppendName(std::wstring_view text) {
        std::size_t i = 0;
        while (i < text.size()) {
            std::size_t plain = i;
            while (plain < text.size() && IsPlainAscii(Unit(text[plain]))) ++plain;
            m_xml.append(text.substr(i, plain - i));
            if (plain == text.size()) break;
            i = plain;
            const std::uint32_t unit = Unit(text[i]);
            if (unit < 0x80) {
                AppendAsciiEscaped(static_cast<char>(unit));
                ++i;
                continue;
            }
            char32_t c = unit;
            std::size_t units = 1;
            if constexpr (sizeof(wchar_t) == 2) {
                if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size()) {
                    const std::uint32_t low = Unit(text[i + 1]);
                    if (low >= 0xDC00 && low <= 0xDFFF) {
                        c = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                        units = 2;
                    }
                }
            }
            // Unpaired surrogates, U+FFFE, U+FFFF and what lies beyond
            // U+10FFFF are not characters that XML can carry.
            if ((c >= 0xD800 && c <= 0xDFFF) || c == 0xFFFE || c == 0xFFFF || c > 0x10FFFF) {
                AppendReplacement();
            } else {
                m_xml.append(text.substr(i, units));
                m_nExtraBytes += Utf8Length(c) - units;
            }
            i += units;
        }
    }

    void AppendAsciiEscaped(char c) {
        switch (c) {
            case '&': m_xml += L"&amp;"; break;
            case '<': m_xml += L"&lt;"; break;
            case '>': m_xml += L"&gt;"; break;
            case '"': m_xml += L"&quot;"; break;
            case '\'': m_xml += L"&apos;"; break;
            // A parser reads these as spaces when they stand in an attribute
            // as they are; references keep the name as it is.
            case '\t': m_xml += L"&#9;"; break;
            case '\n': m_xml += L"&#10;"; break;
            case '\r': m_xml += L"&#13;"; break;
            default: AppendReplacement(); break;  // the other control characters
        }
    }

    void AppendReplacement() {
        m_xml += L'\uFFFD';
        m_nExtraBytes += Utf8Length(0xFFFD) - 1;
    }

    static std::uint32_t Unit(wchar_t c) { return static_cast<std::make_unsigned_t<wchar_t>>(c); }

    std::wstring& m_xml;
    std::size_t m_nSizeLimit;
    const std::atomic<bool>* m_pCancel;
    // UTF-8 bytes of the text beyond one per wide character.
    std::size_t m_nExtraBytes = 0;
    // The identities of the folders from the requested one down to the
    // current one, where the platform could tell them.
    std::vector<plat::FolderIdentity> m_lstAncestors;
};

// Appends the Folder element of `folderPath` at `depth`; false when the
// text passes the builder's size limit.
bool AppendFolderXml(CListingBuilder& builder, int depth, const std::wstring& folderPath, int depthLimit) {
    if (depth > depthLimit) return true;
    plat::CFolderReader reader;
    const bool opened = reader.Open(folderPath);
    return builder.AppendFolder(reader, opened, std::wstring_view(plat::LastPathComponent(folderPath)), depth,
                                depthLimit);
}

}  // namespace

std::wstring BuildFolderXml(int depth, const std::wstring& folderPath, int depthLimit, std::size_t sizeLimit) {
    std::wstring xml;
    CListingBuilder builder(xml, sizeLimit);
    if (!AppendFolderXml(builder, depth, folderPath, depthLimit)) return std::wstring();
    return xml;
}

bool BuildFolderListingDocument(const std::wstring& folderPath, std::wstring& document, std::size_t limit,
                                const std::atomic<bool>* cancel) {
    // "<FileIndex>%s</FileIndex>" around the folder's element, built in place.
    document = L"<FileIndex>";
    CListingBuilder builder(document, limit, cancel);
    bool fits = AppendFolderXml(builder, 0, folderPath, kFolderListingDepthLimit);
    if (fits) {
        document += L"</FileIndex>";
        fits = builder.Fits();
    }
    if (!fits) {
        std::wstring().swap(document);  // its memory too
        if (cancel != nullptr && cancel->load()) return false;
        AppLog(L"Folder listing of '%s' not sent: it passes the size limit of %llu bytes", folderPath,
               static_cast<unsigned long long>(limit));
        return false;
    }
    return true;
}
