// One type-checked printf-style formatter for the program's texts.
//
// The program's log lines, replies and messages are written as printf formats
// ("Request for: '%s'", "Content-Length: %ld"). They are filled in here from
// typed arguments instead of C varargs, so a wrong argument can never read
// garbage or crash, and "%s" means a string on every platform (glibc and
// mingw disagree about it in wide formats). A finished text must be passed as
// an argument of "%s", never as the format.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

// Text from outside (a request, a name on disk) for a line of the program's
// own: written with its control characters (below 0x20, and 0x7F) as \xNN,
// so it can neither end the line nor drive a terminal, and cut after
// `limit` characters, ending in "..." then. Only a view: the text must
// outlive the formatting call, and nothing is copied unless it is written.
struct EscapedText {
    std::wstring_view text;
    std::size_t limit;
};

namespace fmt_detail {

// One formatting argument, erased to a small tagged value.
struct Arg {
    enum class Kind { Signed, Unsigned, Float, Wide, Narrow, Pointer, WideEscaped } kind;
    union {
        std::int64_t i;
        std::uint64_t u;
        double d;
        const void* p;
    };
    std::wstring_view wide;
    std::string_view narrow;
    bool isNull = false;
};

template <typename T>
Arg MakeArg(const T& value) {
    Arg a{};
    using D = std::decay_t<T>;
    if constexpr (std::is_same_v<D, bool>) {
        a.kind = Arg::Kind::Signed;
        a.i = value ? 1 : 0;
    } else if constexpr (std::is_enum_v<D>) {
        a.kind = Arg::Kind::Signed;
        a.i = static_cast<std::int64_t>(value);
    } else if constexpr (std::is_integral_v<D> && std::is_signed_v<D>) {
        a.kind = Arg::Kind::Signed;
        a.i = value;
    } else if constexpr (std::is_integral_v<D>) {
        a.kind = Arg::Kind::Unsigned;
        a.u = value;
    } else if constexpr (std::is_floating_point_v<D>) {
        a.kind = Arg::Kind::Float;
        a.d = static_cast<double>(value);
    } else if constexpr (std::is_same_v<D, EscapedText>) {
        a.kind = Arg::Kind::WideEscaped;
        a.wide = value.text;
        a.u = value.limit;
    } else if constexpr (std::is_same_v<D, std::wstring> || std::is_same_v<D, std::wstring_view>) {
        a.kind = Arg::Kind::Wide;
        a.wide = value;
    } else if constexpr (std::is_same_v<D, std::string> || std::is_same_v<D, std::string_view>) {
        a.kind = Arg::Kind::Narrow;
        a.narrow = value;
    } else if constexpr (std::is_array_v<T> && std::is_same_v<std::remove_cv_t<std::remove_extent_t<T>>, wchar_t>) {
        a.kind = Arg::Kind::Wide;
        a.wide = std::wstring_view(value);
    } else if constexpr (std::is_array_v<T> && std::is_same_v<std::remove_cv_t<std::remove_extent_t<T>>, char>) {
        a.kind = Arg::Kind::Narrow;
        a.narrow = std::string_view(value);
    } else if constexpr (std::is_same_v<D, const wchar_t*> || std::is_same_v<D, wchar_t*>) {
        a.kind = Arg::Kind::Wide;
        a.isNull = value == nullptr;
        if (value) a.wide = value;
    } else if constexpr (std::is_same_v<D, const char*> || std::is_same_v<D, char*>) {
        a.kind = Arg::Kind::Narrow;
        a.isNull = value == nullptr;
        if (value) a.narrow = value;
    } else if constexpr (std::is_same_v<D, std::nullptr_t>) {
        a.kind = Arg::Kind::Pointer;
        a.p = nullptr;
        a.isNull = true;
    } else if constexpr (std::is_pointer_v<D>) {
        a.kind = Arg::Kind::Pointer;
        a.p = static_cast<const void*>(value);
    } else {
        static_assert(sizeof(T) == 0, "unsupported argument type for the formatter");
    }
    return a;
}

std::wstring FormatWide(std::wstring_view format, const Arg* args, std::size_t count);
// The same, appended to `out` (whose room is reused).
void AppendFormatWide(std::wstring& out, std::wstring_view format, const Arg* args, std::size_t count);
std::string FormatNarrow(std::string_view format, const Arg* args, std::size_t count);

}  // namespace fmt_detail

// Fills a wide printf-style format from typed arguments. Supported: %s %c %d %i
// %u %x %X %f %p %% with flags (- + space 0 #), width, precision and the
// length modifiers h, l, ll, z, j, t, I64 (which only choose the integer width
// used for negative numbers under %u, %x and %X). Missing arguments render as
// nothing; a mismatched argument is rendered by its own type.
template <typename... Args>
std::wstring FormatW(std::wstring_view format, const Args&... args) {
    if constexpr (sizeof...(Args) == 0) {
        return fmt_detail::FormatWide(format, nullptr, 0);
    } else {
        const fmt_detail::Arg list[] = {fmt_detail::MakeArg(args)...};
        return fmt_detail::FormatWide(format, list, sizeof...(Args));
    }
}

// The same for 8-bit formats (HTTP header texts). Wide string arguments are
// written as UTF-8.
template <typename... Args>
std::string FormatA(std::string_view format, const Args&... args) {
    if constexpr (sizeof...(Args) == 0) {
        return fmt_detail::FormatNarrow(format, nullptr, 0);
    } else {
        const fmt_detail::Arg list[] = {fmt_detail::MakeArg(args)...};
        return fmt_detail::FormatNarrow(format, list, sizeof...(Args));
    }
}
