// Trailing line breaks and white space cut off a text.
#include "common/TextTrim.h"

#include <utility>

namespace {

bool IsLineBreak(wchar_t c) { return c == L'\r' || c == L'\n'; }
bool IsAsciiWhitespace(wchar_t c) { return c == L' ' || (c >= L'\t' && c <= L'\r'); }

template <typename Predicate>
std::wstring WithoutTrailing(std::wstring text, Predicate cut) {
    while (!text.empty() && cut(text.back())) text.pop_back();
    return text;
}

}  // namespace

std::wstring WithoutTrailingLineBreaks(std::wstring text) { return WithoutTrailing(std::move(text), IsLineBreak); }

std::wstring WithoutTrailingWhitespace(std::wstring text) {
    return WithoutTrailing(std::move(text), IsAsciiWhitespace);
}
