// Native text for exact ints and floats, byte for byte what the interpreter's str() gives,
// so the encoder does not pay for a str() call per number. No Python.h: tested standalone.
#pragma once

#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>

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

inline constexpr double kPow10Double[23] = {
    1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22,
};

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

}  // namespace detail

// Writes `value` in decimal at `out` (kMaxInt64Chars bytes of room) and returns the end.
inline char* format_int64(int64_t value, char* out) noexcept {
    uint64_t u = static_cast<uint64_t>(value);
    if (value < 0) {
        *out++ = '-';
        // Negate in unsigned arithmetic: INT64_MIN has no positive counterpart.
        u = 0 - u;
    }
    char* end = out + detail::count_digits(u);
    char* p = end;
    // Most values fit 32 bits, whose division by 100 is cheaper.
    while (u > UINT32_MAX) {
        p -= 2;
        std::memcpy(p, detail::kDigitPairs.c + 2 * (u % 100), 2);
        u /= 100;
    }
    uint32_t v = static_cast<uint32_t>(u);
    while (v >= 100) {
        p -= 2;
        std::memcpy(p, detail::kDigitPairs.c + 2 * (v % 100), 2);
        v /= 100;
    }
    if (v >= 10) {
        std::memcpy(p - 2, detail::kDigitPairs.c + 2 * v, 2);
    } else {
        p[-1] = static_cast<char>('0' + v);
    }
    return end;
}

namespace detail {

// The 16 digits of `m` (below 10**16) at `out`, zero-padded.
inline void write_16_digits(uint64_t m, char* out) noexcept {
    store8(out, eight_digits(static_cast<uint32_t>(m / 100000000)));
    store8(out + 8, eight_digits(static_cast<uint32_t>(m % 100000000)));
}

// The number of '0' characters that end the 16 characters at `digits`.
inline int trailing_zero_digits(const char* digits) noexcept {
    constexpr uint64_t kZeros = 0x3030303030303030ull;
    uint64_t lo, hi;
    std::memcpy(&lo, digits, 8);
    std::memcpy(&hi, digits + 8, 8);
    // Little-endian: the last character is the highest byte.
    if ((hi ^ kZeros) != 0) {
        return std::countl_zero(hi ^ kZeros) / 8;
    }
    return 8 + ((lo ^ kZeros) != 0 ? std::countl_zero(lo ^ kZeros) / 8 : 8);
}

// repr() of a finite, nonzero `value` below 2**51 in magnitude whose shortest digits have
// few enough fraction digits, as most data has (prices, readings, timestamps); null for the
// rest. With K fraction digits chosen so that |value| * 10**K < 2**51, the interval of
// decimals that read back as `value` is narrower than half a unit of 10**-K, so it holds at
// most one K-digit decimal, the shortest one if any, and the rounded product finds it. The
// check is exact: m < 2**53 and 10**K <= 10**22 are exact doubles and division rounds
// correctly. Writes up to kMaxDoubleReprChars bytes: digits are copied 16 at a time.
inline char* format_short_decimal(double value, char* out) noexcept {
    static_assert(std::endian::native == std::endian::little);
    const double a = value < 0 ? -value : value;
    const int e2 = static_cast<int>((std::bit_cast<uint64_t>(a) >> 52) & 0x7FF) - 1023;
    if (e2 > 50 || e2 < -74) {
        return nullptr;
    }
    // floor((50 - e2) * log10(2)), rounded down: 10**K * 2**(e2 + 1) <= 2**51.
    int k = ((50 - e2) * 78913) >> 18;
    if (k > 22) {
        k = 22;
    }
    const double scaled = a * kPow10Double[k];
    const uint64_t m = static_cast<uint64_t>(scaled + 0.5);
    if (static_cast<double>(m) / kPow10Double[k] != a) {
        return nullptr;
    }
    // m < 2**51 < 10**16: all its digits, then those that count. The blocks copied from
    // here may run past the digits, into the zeros after them.
    char digits[32] = {};
    write_16_digits(m, digits);
    const int n = count_digits(m);
    const char* first = digits + 16 - n;
    // Trailing zeros of the fraction are not written; those of the integer part are.
    const int zeros = trailing_zero_digits(digits);
    const int frac = zeros < k ? k - zeros : 0;  // fraction digits that are written
    const int e10 = n - 1 - k;                   // decimal exponent of the first digit
    *out = '-';
    out += value < 0;
    if (e10 >= 0) {
        // e10 <= 15: whole digits, '.', the fraction or "0".
        const int whole = e10 + 1;
        std::memcpy(out, first, 16);
        out[whole] = '.';
        if (frac == 0) {
            out[whole + 1] = '0';
            return out + whole + 2;
        }
        std::memcpy(out + whole + 1, first + whole, 16);
        return out + whole + 1 + frac;
    }
    const int significant = n - (k - frac);
    if (e10 >= -4) {
        // "0.", -e10 - 1 zeros, the digits.
        std::memcpy(out, "0.000", 5);
        out += 1 - e10;
        std::memcpy(out, first, 16);
        return out + significant;
    }
    // "d.ddde-XX", with -e10 from 5 to 22: two digits.
    *out++ = first[0];
    if (significant > 1) {
        *out++ = '.';
        std::memcpy(out, first + 1, 16);
        out += significant - 1;
    }
    std::memcpy(out, "e-", 2);
    std::memcpy(out + 2, kDigitPairs.c + 2 * (-e10), 2);
    return out + 4;
}

}  // namespace detail

// Writes repr(value) at `out` (kMaxDoubleReprChars bytes of room) and returns the end: the
// shortest round-trip digits, positional when the decimal exponent is in [-4, 16) and with a
// ".0" when there is no fraction, otherwise "d.ddde+XX" as printf's %e lays it out.
inline char* format_double_repr(double value, char* out) noexcept {
    constexpr uint64_t kExpMask = 0x7ff0000000000000ull;
    const uint64_t bits = std::bit_cast<uint64_t>(value);
    if ((bits & kExpMask) == kExpMask) [[unlikely]] {
        // Every NaN is "nan", whatever its sign or payload.
        if (bits << 12) {
            std::memcpy(out, "nan", 3);
            return out + 3;
        }
        if (bits >> 63) {
            std::memcpy(out, "-inf", 4);
            return out + 4;
        }
        std::memcpy(out, "inf", 3);
        return out + 3;
    }

    if (value != 0) [[likely]] {
        if (char* end = detail::format_short_decimal(value, out)) {
            return end;
        }
    }

    // Shortest digits in scientific form, e.g. "-1.25e-05"; zero gives "0e+00". The longest
    // such text is the longest repr, so the conversion cannot run out of room.
    char sci[kMaxDoubleReprLen];
    const char* const sci_end =
        std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific).ptr;
    const std::size_t sci_len = static_cast<std::size_t>(sci_end - sci);

    // Three exponent digits are always out of the positional range.
    if (sci_end[-5] == 'e') {
        std::memcpy(out, sci, sci_len);
        return out + sci_len;
    }
    const int exp_abs = (sci_end[-2] - '0') * 10 + (sci_end[-1] - '0');
    const bool exp_neg = sci_end[-3] == '-';
    if (exp_neg ? exp_abs > 4 : exp_abs >= 16) {
        std::memcpy(out, sci, sci_len);
        return out + sci_len;
    }

    const char* s = sci;
    const int neg = *s == '-';
    *out = '-';
    out += neg;
    s += neg;
    const char lead = s[0];
    // Fraction digits of the scientific form sit between the '.' and the 'e'.
    const char* frac = s + 2;
    const int mant_len = static_cast<int>(sci_end - 4 - s);
    const int nfrac = mant_len > 1 ? mant_len - 2 : 0;

    if (exp_neg) {
        // "0." and exp_abs - 1 zeros, then every digit.
        std::memcpy(out, "0.000", static_cast<std::size_t>(exp_abs + 1));
        out += exp_abs + 1;
        *out++ = lead;
        std::memcpy(out, frac, static_cast<std::size_t>(nfrac));
        return out + nfrac;
    }

    const int e = exp_abs;
    *out++ = lead;
    if (nfrac > e) {
        std::memcpy(out, frac, static_cast<std::size_t>(e));
        out[e] = '.';
        std::memcpy(out + e + 1, frac + e, static_cast<std::size_t>(nfrac - e));
        return out + nfrac + 1;
    }
    // All digits are in the integer part: pad with zeros and add ".0" (e <= 15, so 17 bytes).
    std::memset(out, '0', 17);
    std::memcpy(out, frac, static_cast<std::size_t>(nfrac));
    out[e] = '.';
    return out + e + 2;
}

}  // namespace wrenfold::common
