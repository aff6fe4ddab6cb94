// Byte ranges: the Range field's one-range forms read, and fitted to a file's size.
#include "server/ByteRange.h"

#include <limits>

namespace {

constexpr std::uint64_t kLargest = std::numeric_limits<std::uint64_t>::max();

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

bool IsBytesUnit(std::string_view unit) {
    constexpr std::string_view kBytes = "bytes";
    if (unit.size() != kBytes.size()) return false;
    for (std::size_t i = 0; i < unit.size(); ++i)
        if ((unit[i] | 0x20) != kBytes[i]) return false;
    return true;
}

// A run of digits (at least one); false for anything else.
bool IsDecimal(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text)
        if (!IsDigit(c)) return false;
    return true;
}

// The value of a run of digits, kLargest when it is too large to count.
std::uint64_t DecimalValue(std::string_view digits) {
    std::uint64_t value = 0;
    for (char c : digits) {
        const unsigned digit = static_cast<unsigned>(c - '0');
        if (value > (kLargest - digit) / 10) return kLargest;
        value = value * 10 + digit;
    }
    return value;
}

// Whether the number written `a` is smaller than the number written `b`
// (both runs of digits), whatever their size.
bool DecimalLess(std::string_view a, std::string_view b) {
    while (a.size() > 1 && a.front() == '0') a.remove_prefix(1);
    while (b.size() > 1 && b.front() == '0') b.remove_prefix(1);
    if (a.size() != b.size()) return a.size() < b.size();
    return a < b;
}

// One range: "first-last", "first-" or "-count".
RequestedByteRange ParseOneRange(std::string_view text) {
    RequestedByteRange asked;
    const std::size_t dash = text.find('-');
    if (dash == std::string_view::npos) return asked;
    const std::string_view before = text.substr(0, dash);
    const std::string_view after = text.substr(dash + 1);
    if (before.empty()) {
        if (!IsDecimal(after)) return asked;
        asked.form = RequestedByteRange::Form::Suffix;
        asked.count = DecimalValue(after);
        return asked;
    }
    if (!IsDecimal(before)) return asked;
    if (after.empty()) {
        asked.form = RequestedByteRange::Form::From;
        asked.first = DecimalValue(before);
        return asked;
    }
    // A last byte before the first makes the field invalid, not empty.
    if (!IsDecimal(after) || DecimalLess(after, before)) return asked;
    asked.form = RequestedByteRange::Form::FromTo;
    asked.first = DecimalValue(before);
    asked.last = DecimalValue(after);
    return asked;
}

}  // namespace

RequestedByteRange ParseByteRangeField(std::string_view value) {
    value = TrimBlanks(value);
    const std::size_t equals = value.find('=');
    if (equals == std::string_view::npos || !IsBytesUnit(value.substr(0, equals))) return {};
    std::string_view set = value.substr(equals + 1);
    // A list: elements between commas, with blanks around them; empty ones do not count.
    std::string_view only;
    std::size_t ranges = 0;
    while (true) {
        const std::size_t comma = set.find(',');
        const std::string_view element = TrimBlanks(set.substr(0, comma));
        if (!element.empty()) {
            only = element;
            if (++ranges > 1) return {};  // several ranges: the whole file
        }
        if (comma == std::string_view::npos) break;
        set.remove_prefix(comma + 1);
    }
    return ranges == 1 ? ParseOneRange(only) : RequestedByteRange{};
}

ByteRangePart SelectByteRange(const RequestedByteRange& asked, std::uint64_t size) {
    ByteRangePart part;
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    switch (asked.form) {
        case RequestedByteRange::Form::None:
            return part;
        case RequestedByteRange::Form::FromTo:
        case RequestedByteRange::Form::From:
            first = asked.first;
            last = asked.form == RequestedByteRange::Form::From || asked.last >= size ? size - 1 : asked.last;
            if (first >= size) {
                part.verdict = ByteRangePart::Verdict::NotSatisfiable;
                return part;
            }
            break;
        case RequestedByteRange::Form::Suffix:
            if (asked.count == 0) {
                part.verdict = ByteRangePart::Verdict::NotSatisfiable;
                return part;
            }
            if (size == 0) return part;
            first = asked.count >= size ? 0 : size - asked.count;
            last = size - 1;
            break;
    }
    part.verdict = ByteRangePart::Verdict::Part;
    part.first = first;
    part.length = last - first + 1;
    return part;
}
