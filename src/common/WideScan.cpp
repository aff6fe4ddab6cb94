// Wide text scans with SSE2 where the compiler offers it (every x86-64
// target), a plain loop elsewhere and for the last few characters.
#include "common/WideScan.h"

#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

using Unit = std::make_unsigned_t<wchar_t>;
constexpr std::size_t kBlock = 16;

bool IsControl(wchar_t c) { return !(c >= 0x20 && c != 0x7F); }

#if defined(__SSE2__)
__m128i Load(const wchar_t* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); }

// Whether the sixteen characters at `at` are all ASCII; if so, stores them at `to`.
bool CopyAsciiBlock(const wchar_t* at, char* to) {
    if constexpr (sizeof(wchar_t) == 4) {
        const __m128i a = Load(at), b = Load(at + 4), c = Load(at + 8), d = Load(at + 12);
        const __m128i high = _mm_and_si128(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d)), _mm_set1_epi32(~0x7F));
        if (_mm_movemask_epi8(_mm_cmpeq_epi32(high, _mm_setzero_si128())) != 0xFFFF) return false;
        // Every value fits in 7 bits: the saturating packs keep them as they are.
        const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to), bytes);
    } else {
        const __m128i a = Load(at), b = Load(at + 8);
        const __m128i high = _mm_and_si128(_mm_or_si128(a, b), _mm_set1_epi16(static_cast<short>(~0x7F)));
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(high, _mm_setzero_si128())) != 0xFFFF) return false;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to), _mm_packus_epi16(a, b));
    }
    return true;
}

// Whether any of the sixteen characters at `at` is a control character.
bool AnyControlInBlock(const wchar_t* at) {
    __m128i found = _mm_setzero_si128();
    if constexpr (sizeof(wchar_t) == 4) {
        // Signed lanes: a negative value is below 0x20 too, as IsControl has it.
        for (std::size_t k = 0; k < kBlock; k += 4) {
            const __m128i c = Load(at + k);
            found = _mm_or_si128(found, _mm_or_si128(_mm_cmplt_epi32(c, _mm_set1_epi32(0x20)),
                                                     _mm_cmpeq_epi32(c, _mm_set1_epi32(0x7F))));
        }
    } else {
        // Unsigned lanes, compared as signed after flipping the top bit.
        const __m128i flip = _mm_set1_epi16(static_cast<short>(0x8000));
        for (std::size_t k = 0; k < kBlock; k += 8) {
            const __m128i c = Load(at + k);
            found = _mm_or_si128(found, _mm_or_si128(_mm_cmplt_epi16(_mm_xor_si128(c, flip),
                                                                     _mm_set1_epi16(static_cast<short>(0x8020))),
                                                     _mm_cmpeq_epi16(c, _mm_set1_epi16(0x7F))));
        }
    }
    return _mm_movemask_epi8(found) != 0;
}
#else
bool CopyAsciiBlock(const wchar_t* at, char* to) {
    Unit any = 0;
    for (std::size_t k = 0; k < kBlock; ++k) any |= static_cast<Unit>(at[k]);
    if (any >= 0x80) return false;
    for (std::size_t k = 0; k < kBlock; ++k) to[k] = static_cast<char>(at[k]);
    return true;
}

bool AnyControlInBlock(const wchar_t* at) {
    bool any = false;
    for (std::size_t k = 0; k < kBlock; ++k) any |= IsControl(at[k]);
    return any;
}
#endif

}  // namespace

std::size_t CopyAsciiPrefix(const wchar_t* from, std::size_t count, char* to) {
    std::size_t i = 0;
    while (i + kBlock <= count && CopyAsciiBlock(from + i, to + i)) i += kBlock;
    while (i < count && static_cast<Unit>(from[i]) < 0x80) {
        to[i] = static_cast<char>(from[i]);
        ++i;
    }
    return i;
}

std::size_t FindControlCharacter(const wchar_t* chars, std::size_t start, std::size_t count) {
    std::size_t i = start;
    while (i + kBlock <= count && !AnyControlInBlock(chars + i)) i += kBlock;
    while (i < count && !IsControl(chars[i])) ++i;
    return i;
}
