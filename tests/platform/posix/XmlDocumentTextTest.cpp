// XML documents on POSIX are UTF-8 as they stand: no declaration, no references.
#include <gtest/gtest.h>

#include <string>

#include "platform/Text.h"

TEST(XmlDocumentText, IsTheUtf8OfTheDocument) {
    const struct {
        std::wstring document;
        std::string bytes;
    } cases[] = {
        {L"<File Name=\"a.zip\" />", "<File Name=\"a.zip\" />"},
        {L"<File Name=\"caf\u00e9.txt\" />", "<File Name=\"caf\xc3\xa9.txt\" />"},
        {L"<a>\u65e5\u672c \U0001F4E6</a>", "<a>\xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x93\xa6</a>"},
    };
    for (const auto& c : cases) EXPECT_EQ(plat::XmlDocumentToAnsi(c.document), c.bytes) << c.bytes;
}
