// Strict UTF-8 <-> wide text conversion, identical on every platform.
// wchar_t holds UTF-16 on Windows and UTF-32 elsewhere; both are handled.
#pragma once

#include <string>
#include <string_view>

// Encodes wide text as UTF-8. Unpaired surrogates become U+FFFD.
std::string WideToUtf8(std::wstring_view text);
// The same, appended to `out` (whose room is reused).
void AppendWideToUtf8(std::string& out, std::wstring_view text);

// Decodes UTF-8 strictly (no overlong forms, no surrogates, nothing above
// U+10FFFF). Returns false and leaves `out` empty when `bytes` is not valid.
bool TryUtf8ToWide(std::string_view bytes, std::wstring& out);

// Decodes UTF-8, replacing every invalid sequence by U+FFFD.
std::wstring Utf8ToWideLossy(std::string_view bytes);

// One wide character per byte (bytes 0x80-0xFF become U+0080-U+00FF), and back
// (the low 8 bits of each character). Used where bytes travel inside wide text.
std::wstring BytesToWide(std::string_view bytes);
std::string WideToBytes(std::wstring_view text);

// ASCII-only case folding, for the program's ASCII words (verbs, options, prefixes).
std::wstring AsciiLower(std::wstring_view text);
std::wstring AsciiUpper(std::wstring_view text);
bool AsciiEqualsNoCase(std::wstring_view a, std::wstring_view b);
bool AsciiStartsWithNoCase(std::wstring_view text, std::wstring_view prefix);
bool AsciiEndsWithNoCase(std::wstring_view text, std::wstring_view suffix);
