// The plain forms of TOML's decimal numbers read in one pass, with their values: nearly every
// number a document holds. Plain C++ with no Python dependency.
//
// Only what is sure is read here: a form the full grammar must judge (underscores, leading
// zeros, a radix prefix, a number that something other than a separator follows) is left to
// the full scan. A float whose value one rounding cannot give is read with the leading bits
// of its power of ten; where they cannot decide, it is only delimited.
#pragma once

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include <wrenfold/_cpp/common/pow10_128.hpp>

namespace wrenfold::inkreader {

struct PlainNumber {
    // kFloatText: a float of the plain form whose value needs the full reading of its text.
    enum Kind : unsigned char { kNone, kInteger, kFloat, kFloatText };
    Kind kind;
    bool negative;       // of an integer: its magnitude is in `magnitude`
    const char* end;     // past the number
    uint64_t magnitude;  // kInteger
    double value;        // kFloat, sign included
};

namespace detail {

inline bool is_decimal(char c) {
    return static_cast<unsigned>(c - '0') < 10u;
}

// What may follow a value in a document: white space, a line end, a comment, a separator.
inline bool ends_value(const char* p, const char* end) {
    if (p == end) {
        return true;
    }
    switch (*p) {
        case ' ':
        case '\t':
        case '\n':
        case '\r':
        case ',':
        case ']':
        case '}':
        case '#': return true;
        default: return false;
    }
}

// Powers of ten that a double holds exactly.
inline constexpr double kExactPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                          1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                          1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

inline constexpr uint64_t kPowersOfTen[8] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000};

// The eight digit values in the bytes of `w`, the first in the lowest byte, as a number: pairs,
// fours, then the eight combined by multiplication.
inline uint32_t eight_digits_value(uint64_t w) {
    w = w * 10 + (w >> 8);
    return static_cast<uint32_t>((((w & 0x000000FF000000FFull) * (100 + (1000000ull << 32))) +
                                  (((w >> 16) & 0x000000FF000000FFull) * (1 + (10000ull << 32)))) >>
                                 32);
}

// The value of the decimal digits from `p` on, accumulated into `m` (which wraps past 19
// digits: the caller counts them); returns the end of the digits. Eight characters at a time
// where eight are there to read, one at a time near the end of the text.
[[gnu::always_inline]] inline const char* read_digits(const char* p, const char* end, uint64_t* m) {
    static_assert(std::endian::native == std::endian::little);
    uint64_t v = *m;
    while (end - p >= 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        // Digit characters become 0 to 9, and adding 0x76 sets the top bit of anything else.
        // A byte below '0' borrows from the next, and one far above '9' may carry into it,
        // but only past the first non-digit.
        w -= 0x3030303030303030ull;
        const uint64_t other = (w | (w + 0x7676767676767676ull)) & 0x8080808080808080ull;
        if (other == 0) {
            v = v * 100000000 + eight_digits_value(w);
            p += 8;
            continue;
        }
        const int n = std::countr_zero(other) / 8;
        if (n > 2) {
            // The n digits moved to the high bytes, zeros before them.
            v = v * kPowersOfTen[n] + eight_digits_value(w << (64 - 8 * n));
        } else if (n != 0) {
            // One or two digits, as many numbers have, cost less one by one.
            v = v * 10 + (w & 0xFF);
            if (n == 2) {
                v = v * 10 + (w >> 8 & 0xFF);
            }
        }
        *m = v;
        return p + n;
    }
    // The digit's value is both the test and the addend: clang computes it twice when the
    // test is written on the character.
    for (unsigned d; p < end && (d = static_cast<unsigned>(*p - '0')) < 10u; p++) {
        v = v * 10 + d;
    }
    *m = v;
    return p;
}

#if defined(__SIZEOF_INT128__)

using u128 = unsigned __int128;

inline constexpr uint64_t kPowersOfFive[28] = {
    1ull,
    5ull,
    25ull,
    125ull,
    625ull,
    3125ull,
    15625ull,
    78125ull,
    390625ull,
    1953125ull,
    9765625ull,
    48828125ull,
    244140625ull,
    1220703125ull,
    6103515625ull,
    30517578125ull,
    152587890625ull,
    762939453125ull,
    3814697265625ull,
    19073486328125ull,
    95367431640625ull,
    476837158203125ull,
    2384185791015625ull,
    11920928955078125ull,
    59604644775390625ull,
    298023223876953125ull,
    1490116119384765625ull,
    7450580596923828125ull,
};

// w * 10**q where that is a double or a tie between two, as when a decimal fraction ends in 5
// (2691294271958510.5): then 5**-q divides w and w / 5**-q * 2**q is exact but for the one
// rounding of its conversion. False for everything else.
[[gnu::noinline]] inline bool exact_quotient(uint64_t w, int q, double* out) {
    if (q < -27 || q >= 0 || w % kPowersOfFive[-q] != 0) {
        return false;
    }
    *out = std::ldexp(static_cast<double>(w / kPowersOfFive[-q]), q);
    return true;
}

// The double nearest w * 10**q, ties to even, for w > 0 (Eisel and Lemire, as in D. Lemire,
// "Number Parsing at a Gigabyte per Second", 2021): w's 64 bits times the 128 leading bits of
// 10**q, rounded down, fall short of the exact product by less than one unit of their 128th
// bit. False where that could move the 54 leading bits or hide an exact tie: the full reading
// of the text decides.
[[gnu::always_inline]] inline bool nearest_double(uint64_t w, int q, double* out) {
    if (q < common::kPow10Min) {
        // Below half the smallest subnormal.
        *out = 0.0;
        return true;
    }
    if (q > 308) {
        *out = HUGE_VAL;
        return true;
    }
    const int lz = std::countl_zero(w);
    w <<= lz;
    const common::Pow10Bits& b = common::pow10_bits(q);
    const u128 first = static_cast<u128>(w) * b.hi;
    uint64_t hi = static_cast<uint64_t>(first >> 64);
    uint64_t lo = static_cast<uint64_t>(first);
    // The bits below the 54 kept (nine or ten of them) decide whether the rest can carry in.
    if ((hi & 0x1FF) == 0x1FF) {
        const uint64_t carry_in = static_cast<uint64_t>((static_cast<u128>(w) * b.lo) >> 64);
        lo += carry_in;
        hi += lo < carry_in;
        // A power of ten rounded down can have taken the carry away (those of q in [0, 55]
        // are exact).
        if ((hi & 0x1FF) == 0x1FF && lo == ~uint64_t{0} && (q < 0 || q > 55)) {
            return exact_quotient(w >> lz, q, out);
        }
    }
    const int upper = static_cast<int>(hi >> 63);
    const int shift = upper + 9;
    // 54 bits: the double's 53 and the one that rounds them.
    uint64_t mantissa = hi >> shift;
    int biased = common::floor_log2_pow10(q) + 1086 + upper - lz;
    if (biased <= 0) {
        // Subnormal: the bits of 2**-1074 and below. No tie is exact this small.
        if (1 - biased >= 64) {
            *out = 0.0;
            return true;
        }
        mantissa >>= 1 - biased;
        mantissa = (mantissa + (mantissa & 1)) >> 1;
        // Rounded up to 2**52, this is the smallest normal double's bit pattern.
        std::memcpy(out, &mantissa, 8);
        return true;
    }
    // Halfway between two doubles, exactly: possible only for q in [-4, 23], and exact here
    // only where 10**q's bits are (q >= 0); the ties of q < 0 fall short by a hair and were
    // left to the text above.
    if (lo == 0 && q >= 0 && q <= 23 && (mantissa & 3) == 1 && mantissa << shift == hi) {
        mantissa &= ~uint64_t{1};
    }
    mantissa = (mantissa + (mantissa & 1)) >> 1;
    if (mantissa >> 53 != 0) {
        mantissa >>= 1;
        biased++;
    }
    if (biased >= 0x7FF) {
        *out = HUGE_VAL;
        return true;
    }
    const uint64_t bits =
        static_cast<uint64_t>(biased) << 52 | (mantissa & ((uint64_t{1} << 52) - 1));
    std::memcpy(out, &bits, 8);
    return true;
}

#endif

}  // namespace detail

// Inlined into its one caller, where the compilers differ on whether it pays.
[[gnu::always_inline]] inline PlainNumber read_plain_number(const char* s, const char* end) {
    const PlainNumber none{PlainNumber::kNone, false, s, 0, 0.0};
    const char* p = s;
    const bool negative = p < end && *p == '-';
    if (p < end && (*p == '-' || *p == '+')) {
        p++;
    }
    if (p == end || !detail::is_decimal(*p)) {
        return none;
    }
    const char* digits = p;
    uint64_t m = 0;
    p = detail::read_digits(p, end, &m);
    size_t count = static_cast<size_t>(p - digits);
    if (count > 19 || (*digits == '0' && count > 1)) {
        return none;
    }
    if (p == end || (*p != '.' && *p != 'e' && *p != 'E')) {
        if (!detail::ends_value(p, end)) {
            return none;
        }
        return {PlainNumber::kInteger, negative, p, m, 0.0};
    }
    int exponent = 0;
    if (*p == '.') {
        const char* fraction = ++p;
        if (m == 0) {
            // After "0.", zeros are not significant digits: 0.000123 has three.
            count = 0;
            while (p < end && *p == '0') {
                p++;
            }
        }
        const char* significant = p;
        p = detail::read_digits(p, end, &m);
        const size_t places = static_cast<size_t>(p - fraction);
        count += static_cast<size_t>(p - significant);
        if (places == 0 || count > 19) {
            return none;
        }
        exponent = -static_cast<int>(places);
    }
    if (p < end && (*p == 'e' || *p == 'E')) {
        p++;
        const bool down = p < end && *p == '-';
        if (p < end && (*p == '-' || *p == '+')) {
            p++;
        }
        const char* first = p;
        int e = 0;
        while (p < end && detail::is_decimal(*p) && p - first < 4) {
            e = e * 10 + (*p - '0');
            p++;
        }
        if (p == first || (p < end && detail::is_decimal(*p))) {
            return none;
        }
        exponent += down ? -e : e;
    }
    if (!detail::ends_value(p, end)) {
        return none;
    }
    // One rounding: the digits and the power of ten are both exact in a double, so their
    // product or quotient is the correctly rounded value (with no wider intermediate).
    constexpr uint64_t kExactInt = uint64_t{1} << 53;
    while (m > kExactInt && m % 10 == 0) {
        m /= 10;
        exponent++;
    }
#if FLT_EVAL_METHOD == 0
    if (m <= kExactInt && exponent >= -22 && exponent <= 22) {
        const double d = static_cast<double>(m);
        const double v =
            exponent < 0 ? d / detail::kExactPowers[-exponent] : d * detail::kExactPowers[exponent];
        return {PlainNumber::kFloat, negative, p, 0, negative ? -v : v};
    }
#endif
#if defined(__SIZEOF_INT128__)
    if (double v; m != 0 && detail::nearest_double(m, exponent, &v)) {
        return {PlainNumber::kFloat, negative, p, 0, negative ? -v : v};
    }
#endif
    return {PlainNumber::kFloatText, negative, p, 0, 0.0};
}

}  // namespace wrenfold::inkreader
