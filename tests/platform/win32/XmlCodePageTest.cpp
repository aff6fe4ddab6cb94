// XML documents in a Windows code page: declarations, references for what the code page cannot hold, ASCII unchanged.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/Text.h"
#include "platform/win32/XmlCodePage.h"

namespace {

constexpr unsigned kWestern = 1252, kJapanese = 932, kUtf8 = 65001, kOem = 437;
const std::string kWesternDeclaration = "<?xml version=\"1.0\" encoding=\"windows-1252\"?>";
const std::string kJapaneseDeclaration = "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>";

TEST(XmlCodePage, NamesInTheCodePageAsBytesOthersAsReferences) {
    const struct {
        unsigned codePage;
        std::wstring document;
        std::string bytes;
    } cases[] = {
        // All ASCII: the bytes as they are, no declaration, in every code page.
        {kWestern, L"<File Name=\"a&amp;b.zip\" />", "<File Name=\"a&amp;b.zip\" />"},
        {kJapanese, L"<File Name=\"a.zip\" />", "<File Name=\"a.zip\" />"},
        {kOem, L"<File Name=\"a.zip\" />", "<File Name=\"a.zip\" />"},
        // In the code page: its bytes, after a declaration that names it.
        {kWestern, L"<File Name=\"caf\u00e9.txt\" />", kWesternDeclaration + "<File Name=\"caf\xe9.txt\" />"},
        {kJapanese, L"<a>\u65e5\u672c</a>", kJapaneseDeclaration + "<a>\x93\xfa\x96\x7b</a>"},
        // Outside it: one reference per character, never the default "?"
        // nor a look-alike ("e" for "é" in Shift_JIS).
        {kWestern, L"<a>\u65e5\u672c.txt</a>", kWesternDeclaration + "<a>&#26085;&#26412;.txt</a>"},
        {kWestern, L"<a>\u00e9\u65e5?</a>", kWesternDeclaration + "<a>\xe9&#26085;?</a>"},
        {kJapanese, L"<a>caf\u00e9\u65e5</a>", kJapaneseDeclaration + "<a>caf&#233;\x93\xfa</a>"},
        // Beyond the BMP: one reference of the code point, not two surrogates.
        {kWestern, L"<a>\U0001F4E6</a>", kWesternDeclaration + "<a>&#128230;</a>"},
        // UTF-8 holds everything.
        {kUtf8, L"<a>\u00e9\u65e5</a>", "<?xml version=\"1.0\" encoding=\"UTF-8\"?><a>\xc3\xa9\xe6\x97\xa5</a>"},
        // A code page without an XML name: references only, read as UTF-8 would.
        {kOem, L"<a>\u00e9\u65e5</a>", "<a>&#233;&#26085;</a>"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(plat::XmlDocumentToCodePage(c.document, c.codePage), c.bytes)
            << "code page " << c.codePage << ": " << plat::WideToAnsi(c.document);
    }
}

TEST(XmlCodePage, TheActiveCodePageIsTheOneDeclared) {
    const std::wstring document = L"<a>caf\u00e9 \u65e5</a>";
    EXPECT_EQ(plat::XmlDocumentToAnsi(document), plat::XmlDocumentToCodePage(document, ::GetACP()));
    EXPECT_EQ(plat::XmlDocumentToAnsi(L"<a>b</a>"), plat::WideToAnsi(L"<a>b</a>"));
}

}  // namespace
