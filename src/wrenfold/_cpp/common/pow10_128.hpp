// The leading 128 bits of the powers of ten, made at compile time with exact integer
// arithmetic: the shortest text of a double (writers) and the double nearest a decimal (the
// reader) both scale by them. Plain C++ with no Python dependency.
#pragma once

#include <bit>
#include <cstdint>

namespace wrenfold::common {

// floor(e * log2(10)), for |e| <= 400.
constexpr int floor_log2_pow10(int e) {
    return (e * 1741647) >> 19;
}

// floor(e * log10(2)), for |e| <= 1100.
constexpr int floor_log10_pow2(int e) {
    return (e * 315653) >> 20;
}

// floor(log10(3/4 * 2**e)), for |e| <= 1100.
constexpr int floor_log10_three_quarters_pow2(int e) {
    return (e * 315653 - 131007) >> 20;
}

struct Pow10Bits {
    uint64_t hi;
    uint64_t lo;
};

// Below it every decimal of 19 digits rounds to zero; above it are only the scales that the
// smallest subnormal needs.
inline constexpr int kPow10Min = -342;
inline constexpr int kPow10Max = 326;

namespace detail {

// An unsigned integer of up to 1056 bits in 32-bit limbs, least significant first: enough for
// 2**1024 and for 5**342.
struct BigNat {
    static constexpr int kLimbs = 33;
    uint32_t limb[kLimbs] = {};

    constexpr void mul_small(uint32_t m) {
        uint64_t carry = 0;
        for (uint32_t& x : limb) {
            const uint64_t t = uint64_t{x} * m + carry;
            x = static_cast<uint32_t>(t);
            carry = t >> 32;
        }
    }
    constexpr void div_small(uint32_t d) {
        uint64_t rem = 0;
        for (int i = kLimbs - 1; i >= 0; i--) {
            const uint64_t t = rem << 32 | limb[i];
            limb[i] = static_cast<uint32_t>(t / d);
            rem = t % d;
        }
    }
    constexpr int bit_length() const {
        for (int i = kLimbs - 1; i >= 0; i--) {
            if (limb[i] != 0) {
                return 32 * i + std::bit_width(limb[i]);
            }
        }
        return 0;
    }
    // Bits [low, low + 32), those below bit 0 taken as zero.
    constexpr uint64_t bits32(int low) const {
        if (low < 0) {
            return low > -32 ? uint64_t{limb[0]} << -low & 0xFFFFFFFF : 0;
        }
        const int i = low / 32, s = low % 32;
        uint64_t x = uint64_t{limb[i]} >> s;
        if (s != 0 && i + 1 < kLimbs) {
            x |= uint64_t{limb[i + 1]} << (32 - s);
        }
        return x & 0xFFFFFFFF;
    }
    // The 128 bits from bit `top` down.
    constexpr Pow10Bits bits_below(int top) const {
        return {bits32(top - 31) << 32 | bits32(top - 63),
                bits32(top - 95) << 32 | bits32(top - 127)};
    }
};

struct Pow10Table {
    Pow10Bits at[kPow10Max - kPow10Min + 1];
};

// 10**p is 5**p * 2**p: its leading bits are those of 5**p, and for p < 0 those of
// floor(2**1024 / 5**-p), which has at least 229 bits; either way rounded down.
constexpr Pow10Table make_pow10_table() {
    Pow10Table t{};
    BigNat up;
    up.limb[0] = 1;
    for (int p = 0; p <= kPow10Max; p++) {
        t.at[p - kPow10Min] = up.bits_below(up.bit_length() - 1);
        up.mul_small(5);
    }
    BigNat down;
    down.limb[32] = 1;
    for (int p = -1; p >= kPow10Min; p--) {
        down.div_small(5);
        t.at[p - kPow10Min] = down.bits_below(down.bit_length() - 1);
    }
    return t;
}

inline constexpr Pow10Table kPow10Table = make_pow10_table();

}  // namespace detail

// The 128 leading bits of 10**p, rounded down, for p in [kPow10Min, kPow10Max]: with B their
// value, 10**p lies in [B, B + 1) * 2**(floor_log2_pow10(p) - 127), and is B times that power
// of two for p in [0, 55], where 5**p fits 128 bits.
inline const Pow10Bits& pow10_bits(int p) {
    return detail::kPow10Table.at[p - kPow10Min];
}

}  // namespace wrenfold::common
