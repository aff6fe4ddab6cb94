// The printf-style formatter behind FormatW and FormatA.
#include "common/Format.h"

#include <cstdio>
#include <utility>

#include "common/Utf8.h"
#include "common/WideScan.h"

namespace fmt_detail {
namespace {

struct Directive {
    bool left = false, plus = false, space = false, zero = false, alt = false;
    int width = -1;
    int precision = -1;
    int lengthBits = 32;  // integer width used to wrap negative numbers under %u/%x/%X
    char conv = 0;
};

// Renders into a std::wstring always; FormatNarrow converts the result to
// UTF-8 bytes at the end, except that narrow arguments are kept byte for byte.
template <typename CharT>
struct Writer {
    std::basic_string<CharT> out;

    void Put(std::wstring_view text) {
        if constexpr (sizeof(CharT) == 1) {
            out += WideToUtf8(text);
        } else {
            out.append(text.begin(), text.end());
        }
    }
    void PutNarrow(std::string_view bytes) {
        if constexpr (sizeof(CharT) == 1) {
            out.append(bytes);
        } else {
            const std::wstring w = Utf8ToWideLossy(bytes);
            out += w;
        }
    }
    void PutAscii(const std::string& ascii) { out.append(ascii.begin(), ascii.end()); }
    // `text` with control characters as \xNN, cut after `limit` characters.
    void PutEscaped(std::wstring_view text, std::size_t limit) {
        const bool cut = text.size() > limit;
        if (cut) text = text.substr(0, limit);
        static constexpr char kHex[] = "0123456789ABCDEF";
        const wchar_t* const chars = text.data();
        const std::size_t n = text.size();
        std::size_t run = 0;  // start of the characters not yet written
        for (std::size_t i = 0;; ++i) {
            i = FindControlCharacter(chars, i, n);
            if (i == n) break;
            const wchar_t c = chars[i];
            Put(text.substr(run, i - run));
            const CharT escape[] = {'\\', 'x', static_cast<CharT>(kHex[(c >> 4) & 0xF]), static_cast<CharT>(kHex[c & 0xF])};
            out.append(escape, 4);
            run = i + 1;
        }
        Put(text.substr(run));
        if (cut) out.append(3, static_cast<CharT>('.'));
    }
    void PutPad(std::size_t n, CharT c) { out.append(n, c); }
};

std::size_t LengthOf(std::wstring_view w) { return w.size(); }

std::string FormatInteger(const Directive& directive, const Arg& arg) {
    bool negative = false;
    std::uint64_t magnitude = 0;
    const bool isSignedConv = directive.conv == 'd' || directive.conv == 'i';
    if (arg.kind == Arg::Kind::Signed) {
        if (isSignedConv) {
            negative = arg.i < 0;
            magnitude = negative ? (0 - static_cast<std::uint64_t>(arg.i)) : static_cast<std::uint64_t>(arg.i);
        } else {
            magnitude = static_cast<std::uint64_t>(arg.i);
            if (directive.lengthBits == 32) magnitude &= 0xFFFFFFFFull;
        }
    } else if (arg.kind == Arg::Kind::Unsigned) {
        magnitude = arg.u;
    } else if (arg.kind == Arg::Kind::Float) {
        negative = isSignedConv && arg.d < 0;
        const double d = negative ? -arg.d : arg.d;
        magnitude = static_cast<std::uint64_t>(d);
    } else if (arg.kind == Arg::Kind::Pointer) {
        magnitude = reinterpret_cast<std::uintptr_t>(arg.p);
    }
    std::string digits;
    const unsigned base = (directive.conv == 'x' || directive.conv == 'X') ? 16 : 10;
    const char* set = directive.conv == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
    do {
        digits.insert(digits.begin(), set[magnitude % base]);
        magnitude /= base;
    } while (magnitude != 0);
    if (directive.precision >= 0) {
        if (directive.precision == 0 && digits == "0") digits.clear();
        while (static_cast<int>(digits.size()) < directive.precision) digits.insert(digits.begin(), '0');
    }
    std::string prefix;
    if (negative) prefix = "-";
    else if (isSignedConv && directive.plus) prefix = "+";
    else if (isSignedConv && directive.space) prefix = " ";
    if (directive.alt && base == 16 && !digits.empty() && digits != "0") prefix += directive.conv == 'X' ? "0X" : "0x";
    if (directive.zero && !directive.left && directive.precision < 0 && directive.width > 0) {
        while (static_cast<int>(prefix.size() + digits.size()) < directive.width) digits.insert(digits.begin(), '0');
    }
    return prefix + digits;
}

std::string FormatFloat(const Directive& directive, const Arg& arg) {
    double v = 0;
    if (arg.kind == Arg::Kind::Float) v = arg.d;
    else if (arg.kind == Arg::Kind::Signed) v = static_cast<double>(arg.i);
    else if (arg.kind == Arg::Kind::Unsigned) v = static_cast<double>(arg.u);
    std::string f = "%";
    if (directive.plus) f += '+';
    if (directive.space) f += ' ';
    if (directive.alt) f += '#';
    if (directive.zero && !directive.left) f += '0';
    if (directive.width > 0) f += std::to_string(directive.width);
    if (directive.precision >= 0) {
        f += '.';
        f += std::to_string(directive.precision);
    }
    f += directive.conv;
    char buf[512];
    std::snprintf(buf, sizeof buf, f.c_str(), v);
    return buf;
}

// Writes the field's text (without padding) at the end of `field`.
template <typename CharT>
void PutField(Writer<CharT>& field, const Directive& directive, const Arg* arg) {
    if (arg == nullptr) {
        // Missing argument: nothing.
    } else if (directive.conv == 's' || directive.conv == 'S' || directive.conv == 'c' || directive.conv == 'C') {
        if (directive.conv == 'c' || directive.conv == 'C') {
            if (arg->kind == Arg::Kind::Signed || arg->kind == Arg::Kind::Unsigned) {
                const wchar_t c = static_cast<wchar_t>(arg->kind == Arg::Kind::Signed ? arg->i : static_cast<std::int64_t>(arg->u));
                field.Put(std::wstring_view(&c, 1));
            } else if (arg->kind == Arg::Kind::Wide) {
                field.Put(arg->wide.substr(0, 1));
            } else if (arg->kind == Arg::Kind::Narrow) {
                field.PutNarrow(arg->narrow.substr(0, 1));
            }
        } else if (arg->kind == Arg::Kind::WideEscaped) {
            field.PutEscaped(arg->wide, static_cast<std::size_t>(arg->u));
        } else if (arg->kind == Arg::Kind::Wide) {
            std::wstring_view text = arg->isNull ? std::wstring_view(L"(null)") : arg->wide;
            if (directive.precision >= 0 && static_cast<std::size_t>(directive.precision) < LengthOf(text))
                text = text.substr(0, static_cast<std::size_t>(directive.precision));
            field.Put(text);
        } else if (arg->kind == Arg::Kind::Narrow) {
            std::string_view text = arg->isNull ? std::string_view("(null)") : arg->narrow;
            if (directive.precision >= 0 && static_cast<std::size_t>(directive.precision) < text.size())
                text = text.substr(0, static_cast<std::size_t>(directive.precision));
            field.PutNarrow(text);
        } else if (arg->kind == Arg::Kind::Pointer && arg->isNull) {
            field.PutAscii("(null)");
        } else if (arg->kind == Arg::Kind::Float) {
            Directive g = directive;
            g.conv = 'g';
            g.precision = -1;
            g.width = -1;
            field.PutAscii(FormatFloat(g, *arg));
        } else {
            Directive d = directive;
            d.conv = arg->kind == Arg::Kind::Unsigned ? 'u' : 'd';
            d.precision = -1;
            d.width = -1;
            field.PutAscii(FormatInteger(d, *arg));
        }
    } else if (directive.conv == 'f' || directive.conv == 'F' || directive.conv == 'e' || directive.conv == 'E' ||
               directive.conv == 'g' || directive.conv == 'G') {
        Directive f = directive;
        f.width = -1;
        field.PutAscii(FormatFloat(f, *arg));
    } else if (directive.conv == 'p') {
        Directive p = directive;
        p.conv = 'X';
        p.precision = 2 * static_cast<int>(sizeof(void*));
        field.PutAscii(FormatInteger(p, *arg));
    } else if (arg->kind == Arg::Kind::Wide || arg->kind == Arg::Kind::Narrow || arg->kind == Arg::Kind::WideEscaped) {
        // A string for an integer conversion: render the string itself.
        if (arg->kind == Arg::Kind::WideEscaped) field.PutEscaped(arg->wide, static_cast<std::size_t>(arg->u));
        else if (arg->kind == Arg::Kind::Wide) field.Put(arg->isNull ? std::wstring_view(L"(null)") : arg->wide);
        else field.PutNarrow(arg->isNull ? std::string_view("(null)") : arg->narrow);
    } else {
        field.PutAscii(FormatInteger(directive, *arg));
    }
}

template <typename CharT>
void Emit(Writer<CharT>& w, const Directive& directive, const Arg* arg) {
    const std::size_t width = directive.width > 0 ? static_cast<std::size_t>(directive.width) : 0;
    if (width == 0) {
        // No padding (the usual case): straight into the result.
        PutField(w, directive, arg);
        return;
    }
    // Text of the field, then padding to the width.
    Writer<CharT> field;
    PutField(field, directive, arg);
    std::size_t visible = field.out.size();
    if constexpr (sizeof(CharT) == 1) {
        // Count characters, not UTF-8 bytes, for the width.
        visible = 0;
        for (unsigned char c : field.out)
            if ((c & 0xC0) != 0x80) ++visible;
    }
    if (!directive.left && visible < width) w.PutPad(width - visible, static_cast<CharT>(' '));
    w.out += field.out;
    if (directive.left && visible < width) w.PutPad(width - visible, static_cast<CharT>(' '));
}

// Room for the usual result at once: the format, the texts, and a number's digits.
std::size_t ResultRoom(std::size_t formatSize, const Arg* args, std::size_t count) {
    std::size_t room = formatSize;
    for (std::size_t a = 0; a < count; ++a)
        room += args[a].kind == Arg::Kind::Wide || args[a].kind == Arg::Kind::WideEscaped ? args[a].wide.size()
                : args[a].kind == Arg::Kind::Narrow ? args[a].narrow.size() : 24;
    return room;
}

// A position in the format, and the arguments not yet taken.
template <typename CharT>
struct Cursor {
    std::basic_string_view<CharT> format;
    std::size_t i = 0;
    const Arg* args = nullptr;
    std::size_t count = 0;
    std::size_t next = 0;

    bool At(char c) const { return i < format.size() && format[i] == static_cast<CharT>(c); }
    const Arg* NextArg() { return next < count ? &args[next++] : nullptr; }
};

template <typename CharT>
void ReadFlags(Cursor<CharT>& at, Directive& directive) {
    for (; at.i < at.format.size(); ++at.i) {
        const CharT f = at.format[at.i];
        if (f == '-') directive.left = true;
        else if (f == '+') directive.plus = true;
        else if (f == ' ') directive.space = true;
        else if (f == '0') directive.zero = true;
        else if (f == '#') directive.alt = true;
        else break;
    }
}

// A width or precision: digits (-1 when there are none), or '*' for the next argument.
template <typename CharT>
int ReadNumber(Cursor<CharT>& at) {
    if (at.At('*')) {
        ++at.i;
        const Arg* a = at.NextArg();
        return a && a->kind == Arg::Kind::Signed     ? static_cast<int>(a->i)
               : a && a->kind == Arg::Kind::Unsigned ? static_cast<int>(a->u)
                                                     : 0;
    }
    int v = -1;
    while (at.i < at.format.size() && at.format[at.i] >= '0' && at.format[at.i] <= '9') {
        v = (v < 0 ? 0 : v) * 10 + static_cast<int>(at.format[at.i] - '0');
        if (v > 100000) v = 100000;
        ++at.i;
    }
    return v;
}

template <typename CharT>
void ReadLengthModifiers(Cursor<CharT>& at, Directive& directive) {
    const std::basic_string_view<CharT> format = at.format;
    const std::size_t n = format.size();
    std::size_t& i = at.i;
    while (i < n) {
        const CharT m = format[i];
        if (m == 'l') {
            if (i + 1 < n && format[i + 1] == 'l') { directive.lengthBits = 64; i += 2; }
            else { directive.lengthBits = 32; ++i; }  // "long" is 32-bit in the program's formats
        } else if (m == 'h') {
            ++i;
        } else if (m == 'z' || m == 'j' || m == 't') {
            directive.lengthBits = 64;
            ++i;
        } else if (m == 'I' && i + 2 < n && format[i + 1] == '6' && format[i + 2] == '4') {
            directive.lengthBits = 64;
            i += 3;
        } else {
            break;
        }
    }
}

// Reads a directive after its '%' up to and including its conversion
// character; false when the format ends first.
template <typename CharT>
bool ReadDirective(Cursor<CharT>& at, Directive& directive) {
    ReadFlags(at, directive);
    directive.width = ReadNumber(at);
    if (directive.width < -1) { directive.left = true; directive.width = -directive.width; }
    if (at.At('.')) {
        ++at.i;
        directive.precision = ReadNumber(at);
        if (directive.precision < 0) directive.precision = 0;
    }
    ReadLengthModifiers(at, directive);
    if (at.i >= at.format.size()) return false;
    directive.conv = static_cast<char>(at.format[at.i++]);
    return true;
}

bool IsConversion(char conv) {
    switch (conv) {
        case 's': case 'S': case 'c': case 'C': case 'd': case 'i': case 'u': case 'x': case 'X':
        case 'f': case 'F': case 'e': case 'E': case 'g': case 'G': case 'p':
            return true;
        default:
            return false;
    }
}

template <typename CharT>
std::basic_string<CharT> Run(std::basic_string_view<CharT> format, const Arg* args, std::size_t count,
                             std::basic_string<CharT> start = {}) {
    Writer<CharT> w;
    w.out = std::move(start);
    w.out.reserve(w.out.size() + ResultRoom(format.size(), args, count));
    Cursor<CharT> at{format, 0, args, count, 0};
    const std::size_t n = format.size();
    while (at.i < n) {
        if (!at.At('%')) {
            // Literal text runs up to the next directive: copied in one piece.
            std::size_t end = format.find(static_cast<CharT>('%'), at.i);
            if (end == std::basic_string_view<CharT>::npos) end = n;
            w.out.append(format.data() + at.i, end - at.i);
            at.i = end;
            continue;
        }
        if (at.i + 1 < n && format[at.i + 1] == static_cast<CharT>('%')) {
            w.out.push_back(static_cast<CharT>('%'));
            at.i += 2;
            continue;
        }
        if (at.i + 1 < n && format[at.i + 1] == static_cast<CharT>('s')) {
            // A plain "%s", the most usual directive by far: no flags to read.
            at.i += 2;
            Directive directive;
            directive.conv = 's';
            PutField(w, directive, at.NextArg());
            continue;
        }
        const std::size_t start = at.i++;
        Directive directive;
        if (!ReadDirective(at, directive)) {
            // A lone "%..." at the end: written as it stands.
            w.out.append(format.data() + start, n - start);
            break;
        }
        if (IsConversion(directive.conv)) Emit(w, directive, at.NextArg());
        else w.out.append(format.data() + start, at.i - start);  // unknown conversion: kept literally
    }
    return std::move(w.out);
}

}  // namespace

std::wstring FormatWide(std::wstring_view format, const Arg* args, std::size_t count) {
    return Run<wchar_t>(format, args, count);
}

void AppendFormatWide(std::wstring& out, std::wstring_view format, const Arg* args, std::size_t count) {
    out = Run<wchar_t>(format, args, count, std::move(out));
}

std::string FormatNarrow(std::string_view format, const Arg* args, std::size_t count) {
    return Run<char>(format, args, count);
}

}  // namespace fmt_detail
