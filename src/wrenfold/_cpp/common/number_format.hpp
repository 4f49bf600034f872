// Native text for exact ints and floats, byte for byte what the interpreter's str() gives,
// so the encoder does not pay for a str() call per number. No Python.h: tested standalone.
#pragma once

#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <wrenfold/_cpp/common/shortest_decimal.hpp>

namespace wrenfold::common {

// Room `out` must have: "-9223372036854775808".
inline constexpr int kMaxInt64Chars = 20;
// The longest repr: "-2.2250738585072014e-308".
inline constexpr int kMaxDoubleReprLen = 24;
// Room `out` must have for format_double_repr, which may write scratch bytes anywhere in this
// window, past the end pointer it returns: it copies digits in blocks of 16.
inline constexpr int kMaxDoubleReprChars = 40;

namespace detail {

struct DigitPairs {
    char c[200];
};

inline constexpr DigitPairs kDigitPairs = [] {
    DigitPairs t{};
    for (int i = 0; i < 100; i++) {
        t.c[2 * i] = static_cast<char>('0' + i / 10);
        t.c[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return t;
}();

inline constexpr uint64_t kPow10[20] = {
    1ull,
    10ull,
    100ull,
    1000ull,
    10000ull,
    100000ull,
    1000000ull,
    10000000ull,
    100000000ull,
    1000000000ull,
    10000000000ull,
    100000000000ull,
    1000000000000ull,
    10000000000000ull,
    100000000000000ull,
    1000000000000000ull,
    10000000000000000ull,
    100000000000000000ull,
    1000000000000000000ull,
    10000000000000000000ull,
};

inline int count_digits(uint64_t u) noexcept {
    // Setting the low bit changes no digit count and gives zero its one digit.
    u |= 1;
    // 1233/4096 approximates log10(2); the guess is at most one too high.
    const int t = (std::bit_width(u) * 1233) >> 12;
    return t + 1 - (u < kPow10[t]);
}

// The eight decimal digits of `v` (below 10**8), zero-padded, as the bytes of a word: the
// first digit in the lowest byte, which comes first in memory on a little-endian machine.
// Each step divides every lane of the word at once, by multiplying with a reciprocal.
inline uint64_t eight_digits(uint32_t v) noexcept {
    static_assert(std::endian::native == std::endian::little);
    // Two lanes of 32 bits: the first four digits, the last four.
    const uint64_t fours = v / 10000 | uint64_t{v % 10000} << 32;
    // x / 100 is (x * 10486) >> 20 for x < 10,000.
    const uint64_t hundreds = ((fours * 10486) >> 20) & 0x0000007F0000007Full;
    // Four lanes of 16 bits, each two digits.
    const uint64_t twos = hundreds | (fours - hundreds * 100) << 16;
    // x / 10 is (x * 103) >> 10 for x < 100.
    const uint64_t tens = ((twos * 103) >> 10) & 0x000F000F000F000Full;
    return (tens | (twos - tens * 10) << 8) | 0x3030303030303030ull;
}

inline void store8(char* out, uint64_t w) noexcept {
    std::memcpy(out, &w, 8);
}

// One bit per character of the 16 at `digits` that is '0', the first in bit 0.
inline uint32_t zero_digit_bits(const char* digits) noexcept {
    uint32_t bits = 0;
    for (int half = 0; half < 2; half++) {
        uint64_t w;
        std::memcpy(&w, digits + 8 * half, 8);
        // Digits as values 0 to 9, then 0x80 set in each zero byte and no other: adding 0x7F
        // to a byte's low bits carries into its top bit unless they are all zero.
        w ^= 0x3030303030303030ull;
        constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
        const uint64_t zero = ~(((w & kLow7) + kLow7) | w) & ~kLow7;
        // Gathers the eight flags into the top byte, the first byte's lowest.
        bits |= static_cast<uint32_t>(((zero >> 7) * 0x0102040810204080ull) >> 56) << (8 * half);
    }
    return bits;
}

// The 16 digits of `m` (below 10**16) at `out`, zero-padded; returns zero_digit_bits of them.
inline uint32_t write_16_digits_swar(uint64_t m, char* out) noexcept {
    store8(out, eight_digits(static_cast<uint32_t>(m / 100000000)));
    store8(out + 8, eight_digits(static_cast<uint32_t>(m % 100000000)));
    return zero_digit_bits(out);
}

#if defined(__SSE2__)
struct alignas(16) DigitSteps {
    uint32_t by_10000[4];  // x / 10000 is (x * 0xd1b71759) >> 45 for x < 10**8
    uint32_t ten_thousand[4];
    uint16_t by_100[8];  // x / 100 is (x * 5243) >> 19 for x < 10**4
    uint16_t hundred[8];
    uint16_t by_10[8];  // x / 10 is (x * 6554) >> 16 for x < 100
    uint16_t ten[8];
    uint8_t zero_char[16];
};

inline constexpr DigitSteps kDigitSteps = {
    {0xd1b71759, 0, 0xd1b71759, 0},
    {10000, 0, 10000, 0},
    {5243, 5243, 5243, 5243, 5243, 5243, 5243, 5243},
    {100, 100, 100, 100, 100, 100, 100, 100},
    {6554, 6554, 6554, 6554, 6554, 6554, 6554, 6554},
    {10, 10, 10, 10, 10, 10, 10, 10},
    {'0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0'},
};

inline __m128i load128(const void* p) noexcept {
    return _mm_load_si128(static_cast<const __m128i*>(p));
}

// The same, the four groups of four digits divided in the lanes of one vector.
inline uint32_t write_16_digits_sse2(uint64_t m, char* out) noexcept {
    // Multipliers read from memory: compilers otherwise build each in registers, or turn a
    // multiplication into shifts and additions, both longer than the load.
    const DigitSteps* steps = &kDigitSteps;
    __asm__("" : "+r"(steps));
    const DigitSteps& k = *steps;
    const uint64_t high = m / 100000000;
    const __m128i eights =
        _mm_set_epi64x(static_cast<int64_t>(m - high * 100000000), static_cast<int64_t>(high));
    const __m128i q4 = _mm_srli_epi64(_mm_mul_epu32(eights, load128(k.by_10000)), 45);
    const __m128i r4 = _mm_sub_epi32(eights, _mm_mul_epu32(q4, load128(k.ten_thousand)));
    // 32-bit lanes of four digits, in the order they are written.
    const __m128i fours = _mm_or_si128(q4, _mm_slli_epi64(r4, 32));
    // 16-bit lanes of two digits.
    const __m128i q2 = _mm_srli_epi16(_mm_mulhi_epu16(fours, load128(k.by_100)), 3);
    const __m128i r2 = _mm_sub_epi16(fours, _mm_mullo_epi16(q2, load128(k.hundred)));
    const __m128i twos = _mm_or_si128(q2, _mm_slli_epi32(r2, 16));
    // Bytes of one digit.
    const __m128i q1 = _mm_mulhi_epu16(twos, load128(k.by_10));
    const __m128i r1 = _mm_sub_epi16(twos, _mm_mullo_epi16(q1, load128(k.ten)));
    const __m128i digits = _mm_or_si128(q1, _mm_slli_epi16(r1, 8));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_or_si128(digits, load128(k.zero_char)));
    return static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(digits, _mm_setzero_si128())));
}
#endif

inline uint32_t write_16_digits(uint64_t m, char* out) noexcept {
#if defined(__SSE2__)
    return write_16_digits_sse2(m, out);
#else
    return write_16_digits_swar(m, out);
#endif
}

// "e+XX" and "e-XX", with three digits from 100, for the decimal exponents of doubles: eight
// bytes each, so that one store writes any of them.
inline constexpr int kMinExponent10 = -324;
inline constexpr int kMaxExponent10 = 308;

struct ExponentTexts {
    uint64_t at[kMaxExponent10 - kMinExponent10 + 1];
};

inline constexpr ExponentTexts kExponentTexts = [] {
    ExponentTexts t{};
    for (int e = kMinExponent10; e <= kMaxExponent10; e++) {
        const int a = e < 0 ? -e : e;
        char text[5] = {'e', e < 0 ? '-' : '+'};
        int n = 2;
        if (a >= 100) {
            text[n++] = static_cast<char>('0' + a / 100);
        }
        text[n++] = static_cast<char>('0' + a / 10 % 10);
        text[n++] = static_cast<char>('0' + a % 10);
        uint64_t w = 0;
        for (int i = n - 1; i >= 0; i--) {
            w = w << 8 | static_cast<unsigned char>(text[i]);
        }
        t.at[e - kMinExponent10] = w;
    }
    return t;
}();

// Writes d.digits * 10**d.exponent (nonzero, below 10**17) as repr() lays it out: positional
// when the first digit's exponent is in [-4, 16), with ".0" when there is no fraction,
// otherwise "d.ddde+XX" as printf's %e writes it. Trailing zeros of the digits are dropped.
// Writes up to kMaxDoubleReprChars bytes: digits are copied in blocks. kShort: the digits are
// below 10**16 and the exponent at most 0, as short_decimal gives them.
template <bool kShort>
inline char* write_repr(Decimal d, char* out) noexcept {
    static_assert(std::endian::native == std::endian::little);
    constexpr uint64_t k16 = 10000000000000000ull;
    // The digits right-aligned in 17 places, zeros after them, so that a block copied from
    // here reads zeros past the digits wherever they are written (in scratch room otherwise).
    char text[48];
    const uint64_t lead = kShort ? 0 : d.digits / k16;
    const uint32_t zero_bits = write_16_digits(d.digits - lead * k16, text + 1);
    if constexpr (kShort) {
        // Only the '0' of "d.0" after the last whole digit is ever read past the digits.
        text[17] = '0';
    } else {
        text[0] = static_cast<char>('0' + lead);
        std::memset(text + 17, '0', sizeof text - 17);
    }
    // Counted from bits known to be set somewhere, so that no zero input needs a branch.
    // 17 digits as often as 16 for random doubles: a mask rather than a branch.
    const int has_lead = lead != 0;
    const int n = 16 + has_lead - (std::countr_zero(~zero_bits | 0x10000u) & (has_lead - 1));
    const uint32_t nonzero_digits = ~zero_bits & 0xFFFF;
    const int significant = n - 17 + std::bit_width(nonzero_digits << 1 | 1);
    const char* const first = text + 17 - n;
    const int e10 = n - 1 + d.exponent;  // decimal exponent of the first digit
    if (e10 >= 0 && e10 < 16) {
        // Whole digits, '.', the fraction or "0" (text holds '0' past the digits).
        const int whole = e10 + 1;
        std::memcpy(out, first, 16);
        out[whole] = '.';
        std::memcpy(out + whole + 1, first + whole, 16);
        return out + whole + 1 + (significant > whole ? significant - whole : 1);
    }
    if (e10 < 0 && e10 >= -4) {
        // "0.", -e10 - 1 zeros, the digits.
        std::memcpy(out, "0.000", 5);
        out += 1 - e10;
        std::memcpy(out, first, 24);
        return out + significant;
    }
    out[0] = first[0];
    out[1] = '.';
    std::memcpy(out + 2, first + 1, 16);
    // No '.' after a single digit.
    out += significant > 1 ? significant + 1 : 1;
    store8(out, kExponentTexts.at[e10 - kMinExponent10]);
    return out + (e10 <= -100 || e10 >= 100 ? 5 : 4);
}

// repr() of a finite double through the C++ library's shortest conversion, for what
// shortest_decimal leaves open. Out of line: the fast path then needs fewer registers.
[[gnu::noinline, gnu::cold]] inline char* format_double_repr_library(double value,
                                                                     char* out) noexcept {
    // Shortest digits in scientific form, e.g. "-1.25e-05"; zero gives "0e+00". The longest
    // such text is the longest repr, so the conversion cannot run out of room.
    char sci[kMaxDoubleReprLen];
    const char* const sci_end =
        std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific).ptr;
    const char* s = sci;
    *out = '-';
    out += *s == '-';
    s += *s == '-';
    // "d", or "d.ddd", then "e", the sign and at least two exponent digits.
    const char* e = s + 1;
    while (*e != 'e') {
        e++;
    }
    Decimal d{static_cast<uint64_t>(*s - '0'), 0};
    int frac = 0;
    for (const char* p = s + 2; p < e; p++, frac++) {
        d.digits = d.digits * 10 + static_cast<uint64_t>(*p - '0');
    }
    int exp = 0;
    for (const char* p = e + 2; p < sci_end; p++) {
        exp = exp * 10 + (*p - '0');
    }
    d.exponent = (e[1] == '-' ? -exp : exp) - frac;
    if (d.digits == 0) {
        std::memcpy(out, "0.0", 3);
        return out + 3;
    }
    return write_repr<false>(d, out);
}

}  // namespace detail

// Writes `value` in decimal at `out` and returns the end. `out` has kMaxInt64Chars bytes of
// room, which may hold scratch bytes past the end: digits are written in blocks.
inline char* format_int64(int64_t value, char* out) noexcept {
    uint64_t u = static_cast<uint64_t>(value);
    if (value < 0) {
        *out++ = '-';
        // Negate in unsigned arithmetic: INT64_MIN has no positive counterpart.
        u = 0 - u;
    }
    if (u < 10000) {
        // Two digits at a time costs least for what most ints are: ids, counts, sizes.
        char* const end = out + detail::count_digits(u);
        uint32_t v = static_cast<uint32_t>(u);
        if (v >= 100) {
            std::memcpy(end - 2, detail::kDigitPairs.c + 2 * (v % 100), 2);
            v /= 100;
        }
        if (v >= 10) {
            std::memcpy(out, detail::kDigitPairs.c + 2 * v, 2);
        } else {
            out[0] = static_cast<char>('0' + v);
        }
        return end;
    }
    if (u < 100000000) {
        // The zeros before the digits shifted out of the word.
        const int n = detail::count_digits(u);
        detail::store8(out, detail::eight_digits(static_cast<uint32_t>(u)) >> (8 * (8 - n)));
        return out + n;
    }
    constexpr uint64_t k16 = 10000000000000000ull;
    if (u < k16) {
        // The block copied below reads up to 16 - n bytes past the digits.
        char text[32];
        const int n = 16 - std::countr_one(detail::write_16_digits(u, text));
        std::memcpy(out, text + 16 - n, 16);
        return out + n;
    }
    // Up to three digits before the last sixteen.
    uint32_t lead = static_cast<uint32_t>(u / k16);
    const int n = lead >= 100 ? 3 : lead >= 10 ? 2 : 1;
    if (n == 1) {
        out[0] = static_cast<char>('0' + lead);
    } else {
        if (n == 3) {
            out[0] = static_cast<char>('0' + lead / 100);
            lead %= 100;
        }
        std::memcpy(out + n - 2, detail::kDigitPairs.c + 2 * lead, 2);
    }
    detail::write_16_digits(u % k16, out + n);
    return out + n + 16;
}

// Writes repr(value) at `out` (kMaxDoubleReprChars bytes of room) and returns the end. Inlined
// into the writers' loops: a call costs them the saving of most registers.
[[gnu::always_inline]] inline char* format_double_repr(double value, char* out) noexcept {
    constexpr uint64_t kExpMask = 0x7ff0000000000000ull;
    const uint64_t bits = std::bit_cast<uint64_t>(value);
    const uint64_t magnitude = bits & ~(uint64_t{1} << 63);
    char* const start = out;
    *out = '-';
    out += bits >> 63;
    // Zero, the infinities and the NaNs in one unsigned comparison.
    if (magnitude - 1 >= kExpMask - 1) [[unlikely]] {
        if (magnitude == 0) {
            std::memcpy(out, "0.0", 3);
            return out + 3;
        }
        // Every NaN is "nan", whatever its sign or payload.
        if (magnitude != kExpMask) {
            std::memcpy(start, "nan", 3);
            return start + 3;
        }
        std::memcpy(out, "inf", 3);
        return out + 3;
    }
    // Apart from the decimal whose address the out-of-line routine takes, so that this one
    // stays in registers.
    Decimal few;
    if (short_decimal(magnitude, &few)) {
        return detail::write_repr<true>(few, out);
    }
    Decimal d;
    if (scaled_decimal(magnitude, &d)) [[likely]] {
        return detail::write_repr<false>(d, out);
    }
    return detail::format_double_repr_library(value, start);
}

}  // namespace wrenfold::common
