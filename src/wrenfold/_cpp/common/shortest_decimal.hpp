// The shortest decimal that reads back as a given double. One with few fraction digits is
// found by a product and a division of doubles; the others with one 64 x 128-bit product, as
// Dragonbox does (J. Jeon, "Dragonbox: A New Floating-Point Binary-to-Decimal Conversion
// Algorithm", 2020), and the few that leaves open through Schubfach (R. Giulietti, "The
// Schubfach way to render doubles", 2020). Every product is checked where the rounding of the
// powers of ten could show. Plain C++ with no Python dependency.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <iterator>

#include <wrenfold/_cpp/common/pow10_128.hpp>

namespace wrenfold::common {

// digits * 10**exponent.
struct Decimal {
    uint64_t digits;
    int exponent;
};

namespace detail {

using u128 = unsigned __int128;

inline constexpr double kExactPow10[23] = {
    1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22,
};

// K and 10**K of the few-digit method, by the binary exponent q + 52 of the double's leading bit
// from -74 to 50: looked up rather than worked out for every double.
inline constexpr int kFewDigitsMinExponent = -74;

struct FewDigits {
    double power;
    int k;
};

struct FewDigitsTable {
    FewDigits at[50 - kFewDigitsMinExponent + 1];
};

inline constexpr FewDigitsTable kFewDigits = [] {
    FewDigitsTable t{};
    for (int e = kFewDigitsMinExponent; e <= 50; e++) {
        const int k = std::min(((50 - e) * 78913) >> 18, 22);
        t.at[e - kFewDigitsMinExponent] = {kExactPow10[k], k};
    }
    return t;
}();

// x * g / 2**128, for g = g_hi * 2**64 + g_lo: its whole part and the two words of its
// fraction, `high` first.
struct Product {
    uint64_t whole;
    uint64_t high;
    uint64_t low;
};

[[gnu::always_inline]] inline Product multiply(uint64_t g_hi, uint64_t g_lo, uint64_t x) {
    const u128 low = static_cast<u128>(g_lo) * x;
    const u128 high = static_cast<u128>(g_hi) * x;
    // In 64-bit halves: compilers keep a sum of 128-bit values in memory.
    const uint64_t middle = static_cast<uint64_t>(high) + static_cast<uint64_t>(low >> 64);
    return {static_cast<uint64_t>(high >> 64) + (middle < static_cast<uint64_t>(high)), middle,
            static_cast<uint64_t>(low)};
}

// The scaling shared by both methods. With G = 10**p * 2**(127 - floor_log2_pow10(p)) in
// [2**127, 2**128), pow10_bits(p) is floor(G) and g = ceil(G): G itself where it is whole (p in
// [0, 55]), else one more. A product x * g / 2**128 then exceeds x * G / 2**128 by less than
// x / 2**128; while x < 2**64, a nonzero high fraction word (at least 2**-64) means that the
// exact value is not whole and has the same floor.
struct Scale {
    uint64_t g_hi;
    uint64_t g_lo;
    const Pow10Bits* floor;
    bool exact;
};

[[gnu::always_inline]] inline Scale scale_by_pow10(int p) {
    const Pow10Bits& b = pow10_bits(p);
    const bool exact = p >= 0 && p <= 55;
    const uint64_t g_lo = b.lo + !exact;
    return {b.hi + (g_lo < b.lo), g_lo, &b, exact};
}

// Schubfach. The double is c * 2**q; every real of [c - 1/2, c + 1/2] * 2**q reads back as it
// (open where c is odd), only [c - 1/4, c + 1/2] * 2**q where c is a power of two above the
// smallest exponent. With 10**k at most that width, the interval holds a multiple of 10**k;
// a shorter decimal is the one multiple of 10**(k + 1) it may hold. The ends and the double
// are scaled by 4 * 10**-k and rounded to odd (the floor, its lowest bit set when not whole),
// which keeps each comparison with a multiple of 4 exact. False where a product cannot be
// settled.
[[gnu::noinline]] inline bool shortest_by_interval(uint64_t c, int q, bool irregular,
                                                   Decimal* out) noexcept {
    const int k = irregular ? floor_log10_three_quarters_pow2(q) : floor_log10_pow2(q);
    const int p = -k;
    // cp * G / 2**128 = 4 * c' * 2**q * 10**-k for cp = c' << h; h is from 1 to 4.
    const int h = q + floor_log2_pow10(p) + 1;
    const Scale g = scale_by_pow10(p);
    const uint64_t cb = c << 2;
    const Product xb = multiply(g.g_hi, g.g_lo, cb << h);
    const Product xl = multiply(g.g_hi, g.g_lo, (cb - 2 + irregular) << h);
    const Product xr = multiply(g.g_hi, g.g_lo, (cb + 2) << h);
    uint64_t vb = xb.whole | (xb.high != 0);
    uint64_t vbl = xl.whole | (xl.high != 0);
    uint64_t vbr = xr.whole | (xr.high != 0);
    if ((xb.high == 0) | (xl.high == 0) | (xr.high == 0)) {
        if (g.exact) {
            // Every bit is exact: the low word decides.
            vb |= xb.low != 0;
            vbl |= xl.low != 0;
            vbr |= xr.low != 0;
        } else if (p < -27) {
            // The exact value could be whole or not, its floor one less. (For p in [-27, -1]
            // it is c' * 2**(q - k) / 5**k, whole or at least 5**-27 > 2**-64 from a whole
            // number: whole.)
            return false;
        }
    }
    // An open interval excludes its ends.
    const uint64_t open = c & 1;
    vbl += open;
    vbr -= open;
    const uint64_t s = vb >> 2;
    // The multiples of 10**(k + 1) on either side of the double.
    const uint64_t sp = s / 10;
    const bool up_in = vbl <= 40 * sp;
    const bool wp_in = 40 * sp + 40 <= vbr;
    if (up_in != wp_in) {
        *out = {sp + wp_in, k + 1};
        return true;
    }
    // The multiples of 10**k on either side; where both read back, the nearer.
    const bool u_in = vbl <= 4 * s;
    const bool w_in = 4 * s + 4 <= vbr;
    const uint64_t mid = 4 * s + 2;
    const bool up = u_in != w_in ? w_in : vb > mid || (vb == mid && (s & 1) != 0);
    *out = {s + up, k};
    return true;
}

}  // namespace detail

// The double of `bits` (positive, finite, nonzero) as c * 2**q.
struct Binary {
    uint64_t c;
    int q;
};

[[gnu::always_inline]] inline Binary binary_of(uint64_t bits) noexcept {
    const uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
    const int biased = static_cast<int>(bits >> 52);
    return {biased == 0 ? fraction : fraction | uint64_t{1} << 52,
            biased == 0 ? -1074 : biased - 1075};
}

// The shortest decimal of the double of `bits` (positive, finite, nonzero) where it has few
// fraction digits or is a whole number below 2**53: its digits are then below 2**53 and its
// exponent at most 0. False for every other double.
[[gnu::always_inline]] inline bool short_decimal(uint64_t bits, Decimal* out) noexcept {
    const auto [c, q] = binary_of(bits);
    // Few fraction digits, as most data has (prices, readings, timestamps): with the most
    // fraction digits K that keep v * 10**K below 2**51, the decimals that read back as v are
    // less than half a unit of 10**-K apart, so at most one has K digits, the shortest one if
    // any; the rounded product finds it. The check is exact: m < 2**53 and 10**K <= 10**22
    // are exact doubles, and division rounds correctly.
    const unsigned row = static_cast<unsigned>(q + 52 - detail::kFewDigitsMinExponent);
    if (row < std::size(detail::kFewDigits.at)) {
        const double v = std::bit_cast<double>(bits);
        const detail::FewDigits& few = detail::kFewDigits.at[row];
        // Below 2**51: signed conversions, one instruction each.
        const int64_t m = static_cast<int64_t>(v * few.power + 0.5);
        if (static_cast<double>(m) / few.power == v) {
            *out = {static_cast<uint64_t>(m), -few.k};
            return true;
        }
    }

    // A whole number below 2**53: no other whole number reads back as it, so its own digits
    // are the shortest.
    if (static_cast<unsigned>(-q) <= 52 && std::countr_zero(c) >= -q) {
        *out = {c >> -q, 0};
        return true;
    }
    return false;
}

// shortest_decimal of a double that short_decimal leaves.
[[gnu::always_inline]] inline bool scaled_decimal(uint64_t bits, Decimal* out) noexcept {
    const uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
    const int biased = static_cast<int>(bits >> 52);
    const auto [c, q] = binary_of(bits);
    if (fraction == 0 && biased > 1) [[unlikely]] {
        return detail::shortest_by_interval(c, q, true, out);
    }

    // Scaled by 10**p, the interval of reals that read back is [x, z], of width
    // delta = 2**q * 10**p in [100, 1000), around y = c * 2**q * 10**p.
    const int p = 2 - floor_log10_pow2(q);
    // (2c + 1) << beta times G / 2**128 is z; beta is from 6 to 9.
    const int beta = q + floor_log2_pow10(p);
    const detail::Scale g = detail::scale_by_pow10(p);
    const detail::Product zp = detail::multiply(g.g_hi, g.g_lo, (2 * c + 1) << beta);
    // floor(delta) = floor(G / 2**(127 - beta)), from G's floor.
    const uint32_t delta = static_cast<uint32_t>(g.floor->hi >> (63 - beta));
    const uint64_t z = zp.whole;
    // The multiple of 1000 at or below z: inside when its distance r (plus z's fraction) is
    // below delta, outside when above. A shorter decimal would be a multiple of 1000 too.
    const uint64_t s = z / 1000;
    const uint32_t r = static_cast<uint32_t>(z - 1000 * s);
    if (zp.high != 0 && r != delta && r != 0) [[likely]] {
        // Otherwise the multiple of 100 nearest to y = z - delta / 2: with
        // t = r - delta / 2 + 50 + z's fraction, floor(t / 100) more tens than s. dist is t
        // within 1, so the two agree unless dist is a multiple of 100 (a tie among them).
        // Both are worked out and one chosen: random doubles take either often.
        const bool inside = r < delta;
        const uint32_t dist = r - delta / 2 + 50;
        if (inside || dist % 100 != 0) {
            *out = inside ? Decimal{s, 3 - p} : Decimal{10 * s + dist / 100, 2 - p};
            return true;
        }
    }
    // z whole or nearly, an end at a multiple of 1000, or a tie.
    return detail::shortest_by_interval(c, q, false, out);
}

// The shortest decimal that reads back as the positive, finite, nonzero double of `bits`;
// where several are as short, the nearest, ties to an even last digit. Its digits may end in
// zeros. False in a case the 128-bit products cannot settle, which no double is known to
// reach: the caller then asks an exact library routine.
[[gnu::always_inline]] inline bool shortest_decimal(uint64_t bits, Decimal* out) noexcept {
    return short_decimal(bits, out) || scaled_decimal(bits, out);
}

}  // namespace wrenfold::common
