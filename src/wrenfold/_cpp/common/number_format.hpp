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
