// The system's 8-bit text: the active ANSI code page on Windows, UTF-8 on POSIX.
#pragma once

#include <string>
#include <string_view>

namespace plat {

// Characters the code page cannot represent become its default character.
std::string WideToAnsi(std::wstring_view text);
// The same, appended to `out` (whose room is reused).
void AppendWideAsAnsi(std::string& out, std::wstring_view text);
std::wstring AnsiToWide(std::string_view bytes);

// An XML document as 8-bit text that XML parsers read as it was meant.
// POSIX: UTF-8, the bytes of WideToAnsi. Windows: a document of ASCII
// characters only is the bytes of WideToAnsi; any other starts with an XML
// declaration naming the active code page, and each character that code page
// cannot hold is written as a numeric character reference ("&#26085;") rather
// than the default character. So `document` must not hold a declaration of
// its own, and its characters beyond ASCII must stand where references may
// (attribute values and element content).
std::string XmlDocumentToAnsi(std::wstring_view document);

}  // namespace plat
