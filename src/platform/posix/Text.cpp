// POSIX 8-bit text is UTF-8.
#include "platform/Text.h"

#include "common/Utf8.h"

namespace plat {

std::string WideToAnsi(std::wstring_view text) { return WideToUtf8(text); }
void AppendWideAsAnsi(std::string& out, std::wstring_view text) { AppendWideToUtf8(out, text); }
std::wstring AnsiToWide(std::string_view bytes) { return Utf8ToWideLossy(bytes); }
// UTF-8 is what an XML document without a declaration is read as.
std::string XmlDocumentToAnsi(std::wstring_view document) { return WideToUtf8(document); }

}  // namespace plat
