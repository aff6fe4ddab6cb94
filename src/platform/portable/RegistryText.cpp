// String data of registry values: wide text to UTF-16LE bytes and back
// (platform-independent: wide text is UTF-16 on Windows, UTF-32 elsewhere).
#include "platform/Registry.h"

namespace plat {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUnit(std::vector<std::uint8_t>& bytes, std::uint32_t unit) {
    bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>((unit >> 8) & 0xFF));
}

}  // namespace

std::vector<std::uint8_t> RegistryStringBytes(std::wstring_view text) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() * 2);
    for (const wchar_t c : text) {
        const auto value = static_cast<std::uint32_t>(c);
        if constexpr (sizeof(wchar_t) == 2) {
            AppendUnit(bytes, value);
        } else if (value >= 0x10000 && value <= 0x10FFFF) {
            const std::uint32_t v = value - 0x10000;
            AppendUnit(bytes, 0xD800 + (v >> 10));
            AppendUnit(bytes, 0xDC00 + (v & 0x3FF));
        } else if (value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
            AppendUnit(bytes, kReplacement);
        } else {
            AppendUnit(bytes, value);
        }
    }
    return bytes;
}

std::wstring RegistryStringFromBytes(const std::uint8_t* data, std::size_t size) {
    std::wstring text;
    if (data == nullptr) return text;
    const std::size_t units = size / 2;
    text.reserve(units);
    auto unitAt = [data](std::size_t i) { return static_cast<std::uint32_t>(data[2 * i] | (data[2 * i + 1] << 8)); };
    for (std::size_t i = 0; i < units; ++i) {
        const std::uint32_t unit = unitAt(i);
        if constexpr (sizeof(wchar_t) == 2) {
            text.push_back(static_cast<wchar_t>(unit));
        } else if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units && unitAt(i + 1) >= 0xDC00 &&
                   unitAt(i + 1) <= 0xDFFF) {
            text.push_back(static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (unitAt(i + 1) - 0xDC00)));
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            text.push_back(static_cast<wchar_t>(kReplacement));
        } else {
            text.push_back(static_cast<wchar_t>(unit));
        }
    }
    return text;
}

}  // namespace plat
