// Native text for exact ints and floats, byte for byte what the interpreter's str() gives,
// so the encoder does not pay for a str() call per number. No Python.h: tested standalone.
#pragma once

#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <initializer_list>

namespace wrenfold::common {

// Room `out` must have: "-9223372036854775808".
inline constexpr int kMaxInt64Chars = 20;
// Room `out` must have: "-2.2250738585072014e-308". format_double_repr may write scratch
// bytes anywhere in this window, past the end pointer it returns.
inline constexpr int kMaxDoubleReprChars = 24;

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

// Writes exactly `width` digits of `u` (below 10**width), zero-padded; returns the end.
inline char* write_digits(uint64_t u, int width, char* out) noexcept {
    char* const end = out + width;
    char* p = end;
    while (p - out >= 2) {
        p -= 2;
        std::memcpy(p, kDigitPairs.c + 2 * (u % 100), 2);
        u /= 100;
    }
    if (p > out) {
        *--p = static_cast<char>('0' + u);
    }
    return end;
}

inline constexpr double kPow10Double[23] = {
    1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22,
};

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
    while (u >= 100) {
        p -= 2;
        std::memcpy(p, detail::kDigitPairs.c + 2 * (u % 100), 2);
        u /= 100;
    }
    if (u >= 10) {
        std::memcpy(p - 2, detail::kDigitPairs.c + 2 * u, 2);
    } else {
        p[-1] = static_cast<char>('0' + u);
    }
    return end;
}

namespace detail {

// repr() of a finite, nonzero `value` below 2**51 in magnitude whose shortest digits have
// few enough fraction digits, as most data has (prices, readings, timestamps); null for the
// rest. With K fraction digits chosen so that |value| * 10**K < 2**51, the interval of
// decimals that read back as `value` is narrower than half a unit of 10**-K, so it holds at
// most one K-digit decimal, the shortest one if any, and the rounded product finds it. The
// check is exact: m < 2**53 and 10**K <= 10**22 are exact doubles and division rounds
// correctly.
inline char* format_short_decimal(double value, char* out) noexcept {
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
    uint64_t m = static_cast<uint64_t>(scaled + 0.5);
    if (static_cast<double>(m) / kPow10Double[k] != a) {
        return nullptr;
    }
    // At most 15 trailing zeros, as m < 10**16.
    for (int step : {8, 4, 2, 1}) {
        if (k >= step && m % kPow10[step] == 0) {
            m /= kPow10[step];
            k -= step;
        }
    }
    *out = '-';
    out += value < 0;
    const int n = count_digits(m);
    const int e10 = n - 1 - k;  // decimal exponent of the first digit; at most 15
    if (e10 >= -4) {
        // k = n - 1 - e10 <= 19 here.
        const uint64_t whole = m / kPow10[k];
        out = format_int64(static_cast<int64_t>(whole), out);
        *out++ = '.';
        if (k == 0) {
            *out++ = '0';
            return out;
        }
        return write_digits(m - whole * kPow10[k], k, out);
    }
    const uint64_t lead = m / kPow10[n - 1];
    *out++ = static_cast<char>('0' + lead);
    if (n > 1) {
        *out++ = '.';
        out = write_digits(m - lead * kPow10[n - 1], n - 1, out);
    }
    // -e10 is 5 to 22 here: two digits.
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
    char sci[kMaxDoubleReprChars];
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
