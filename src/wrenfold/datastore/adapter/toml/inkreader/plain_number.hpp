// The plain forms of TOML's decimal numbers read in one pass, with their values: nearly every
// number a document holds. Plain C++ with no Python dependency.
//
// Only what is sure is read here: a form the full grammar must judge (underscores, leading
// zeros, a radix prefix, a number that something other than a separator follows) is left to
// the full scan. A float whose value one rounding cannot give is read by a guess and an exact
// check of it; where the check cannot decide, it is only delimited.
#pragma once

#include <cfloat>
#include <cstddef>
#include <cstdint>
#include <cstring>

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

#if defined(__SIZEOF_INT128__)

using u128 = unsigned __int128;

// The decimal exponents the checked reading takes: 5^27 < 2^63, so every product below fits.
inline constexpr int kCheckedPowers = 27;

inline constexpr uint64_t kPowersOfFive[kCheckedPowers + 1] = {
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

// Approximations of the powers of ten beyond the exact ones, for a first guess only.
inline constexpr double kGuessPowers[] = {1e23, 1e24, 1e25, 1e26, 1e27};

// The sign of w·10^q − m·2^e, or 2 where the exact products would not fit 128 bits.
[[gnu::always_inline]] inline int compare_exact(uint64_t w, int q, uint64_t m, int e) {
    u128 a, b;
    int shift;
    if (q >= 0) {  // w·5^q·2^q against m·2^e
        a = static_cast<u128>(w) * kPowersOfFive[q];
        b = m;
        shift = e - q;
    } else {  // w against m·5^-q·2^(e-q)
        a = w;
        b = static_cast<u128>(m) * kPowersOfFive[-q];
        shift = e - q;
    }
    u128& shifted = shift >= 0 ? b : a;
    const int by = shift >= 0 ? shift : -shift;
    if (by > 126 || (shifted >> (127 - by)) != 0) {
        return 2;
    }
    shifted <<= by;
    return (a > b) - (a < b);
}

// The double nearest w·10^q (ties to even), for 0 < w < 2^64: a first guess of two roundings,
// moved a step at a time until an exact comparison with the midpoints to its neighbours
// proves it. False where that cannot be settled here (a result that is not a normal double,
// one at a power of two, operands beyond 128 bits): the full reading of the text decides.
[[gnu::always_inline]] inline bool nearest_double(uint64_t w, int q, double* out) {
    if (q < -kCheckedPowers || q > kCheckedPowers) {
        return false;
    }
    const int k = q < 0 ? -q : q;
    const double power = k <= 22 ? kExactPowers[k] : kGuessPowers[k - 23];
    const double guess = q < 0 ? static_cast<double>(w) / power : static_cast<double>(w) * power;
    uint64_t bits;
    std::memcpy(&bits, &guess, 8);
    for (int step = 0; step < 4; step++) {
        const int biased = static_cast<int>(bits >> 52);
        const uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
        if (biased == 0 || biased >= 0x7FF || fraction == 0) {
            return false;
        }
        // The double is M·2^E; its neighbours' midpoints are (2M ± 1)·2^(E-1).
        const uint64_t mantissa = fraction | uint64_t{1} << 52;
        const int e = biased - 1075 - 1;
        const int above = compare_exact(w, q, 2 * mantissa + 1, e);
        const int below = compare_exact(w, q, 2 * mantissa - 1, e);
        if (above == 2 || below == 2) {
            return false;
        }
        const bool odd = (mantissa & 1) != 0;
        if (above > 0 || (above == 0 && odd)) {
            bits++;
        } else if (below < 0 || (below == 0 && odd)) {
            bits--;
        } else {
            std::memcpy(out, &bits, 8);
            return true;
        }
    }
    return false;
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
    // The digit's value is both the test and the addend: clang computes it twice when the
    // test is written on the character.
    for (unsigned d; p < end && (d = static_cast<unsigned>(*p - '0')) < 10u; p++) {
        m = m * 10 + d;
    }
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
        for (unsigned d; p < end && (d = static_cast<unsigned>(*p - '0')) < 10u; p++) {
            m = m * 10 + d;
        }
        const size_t places = static_cast<size_t>(p - fraction);
        count += places;
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
