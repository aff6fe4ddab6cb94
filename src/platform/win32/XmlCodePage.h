// XML documents in a Windows code page: the name a declaration gives it, and references for what it cannot hold.
#pragma once

#include <string>
#include <string_view>

namespace plat {

// The encoding name an XML declaration gives `codePage`, as MSXML (through
// the system's charset names) and other parsers read it; nullptr for a code
// page without a name that parsers agree on.
const char* XmlEncodingName(unsigned codePage);

// `document` in `codePage`, as XmlDocumentToAnsi describes: an ASCII-only
// document as plain bytes; any other with a declaration naming the code page
// and references for the characters it cannot hold. A code page without an
// XML name gets no declaration and references for every character beyond
// ASCII, which every parser reads as UTF-8 would.
std::string XmlDocumentToCodePage(std::wstring_view document, unsigned codePage);

}  // namespace plat
