// Native int and float text. Expected strings are CPython 3.14's str()/repr() of the same
// values; tests/test_number_format.py compares a million more against the interpreter.
#include <wrenfold/_cpp/common/number_format.hpp>

#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

namespace wc = wrenfold::common;
using wc::format_double_repr;
using wc::format_int64;
using wc::kMaxDoubleReprChars;
using wc::kMaxInt64Chars;

// Writes into a window of exactly the documented size, inside guard bytes that must survive.
constexpr int kGuard = 16;
constexpr char kGuardByte = '\x5a';

std::string int_text(int64_t v) {
    char buf[kGuard + kMaxInt64Chars + kGuard];
    std::memset(buf, kGuardByte, sizeof buf);
    char* out = buf + kGuard;
    char* end = format_int64(v, out);
    EXPECT_GE(end, out);
    EXPECT_LE(end, out + kMaxInt64Chars);
    for (int i = 0; i < kGuard; i++) {
        EXPECT_EQ(buf[i], kGuardByte) << "wrote before the buffer for " << v;
        EXPECT_EQ(out[kMaxInt64Chars + i], kGuardByte) << "wrote past the buffer for " << v;
    }
    return std::string(out, end);
}

// By the fast path, or by the library's conversion that it falls back on.
std::string repr_text(double v, bool library = false) {
    char buf[kGuard + kMaxDoubleReprChars + kGuard];
    std::memset(buf, kGuardByte, sizeof buf);
    char* out = buf + kGuard;
    char* end =
        library ? wc::detail::format_double_repr_library(v, out) : format_double_repr(v, out);
    EXPECT_GT(end, out);
    EXPECT_LE(end, out + kMaxDoubleReprChars);
    for (int i = 0; i < kGuard; i++) {
        EXPECT_EQ(buf[i], kGuardByte) << "wrote before the buffer";
        EXPECT_EQ(out[kMaxDoubleReprChars + i], kGuardByte) << "wrote past the buffer";
    }
    return std::string(out, end);
}

double from_bits(uint64_t bits) {
    return std::bit_cast<double>(bits);
}

struct Case {
    double value;
    const char* text;
};

void expect_cases(const Case* cases, std::size_t n) {
    for (std::size_t i = 0; i < n; i++) {
        for (bool library : {false, true}) {
            EXPECT_EQ(repr_text(cases[i].value, library), cases[i].text)
                << "value with bits 0x" << std::hex << std::bit_cast<uint64_t>(cases[i].value)
                << (library ? " (library)" : "");
        }
    }
}

// ---- int64 ----

TEST(FormatInt64, SmallValues) {
    EXPECT_EQ(int_text(0), "0");
    EXPECT_EQ(int_text(1), "1");
    EXPECT_EQ(int_text(-1), "-1");
    EXPECT_EQ(int_text(7), "7");
    EXPECT_EQ(int_text(42), "42");
    EXPECT_EQ(int_text(-42), "-42");
    EXPECT_EQ(int_text(100), "100");
    EXPECT_EQ(int_text(-305), "-305");
}

TEST(FormatInt64, Limits) {
    EXPECT_EQ(int_text(std::numeric_limits<int64_t>::max()), "9223372036854775807");
    EXPECT_EQ(int_text(std::numeric_limits<int64_t>::min()), "-9223372036854775808");
    EXPECT_EQ(int_text(std::numeric_limits<int64_t>::min() + 1), "-9223372036854775807");
    EXPECT_EQ(int_text(std::numeric_limits<int64_t>::max() - 1), "9223372036854775806");
    EXPECT_EQ(static_cast<int>(int_text(std::numeric_limits<int64_t>::min()).size()),
              kMaxInt64Chars);
}

// The digit count changes at every power of ten; check both sides of each, both signs.
TEST(FormatInt64, PowersOfTenBoundaries) {
    int64_t p = 1;
    for (int digits = 1; digits <= 19; digits++) {
        const std::string power = "1" + std::string(static_cast<std::size_t>(digits - 1), '0');
        const std::string nines(static_cast<std::size_t>(digits - 1), '9');
        EXPECT_EQ(int_text(p), power);
        EXPECT_EQ(int_text(-p), "-" + power);
        if (digits > 1) {
            EXPECT_EQ(int_text(p - 1), nines);
            EXPECT_EQ(int_text(-(p - 1)), "-" + nines);
        }
        if (digits < 19) {
            p *= 10;
        }
    }
}

// The digit-count estimate works from the bit width; check either side of every power of two
// against the standard library's independent conversion.
TEST(FormatInt64, PowersOfTwoBoundaries) {
    for (int bit = 0; bit < 63; bit++) {
        const int64_t p = int64_t{1} << bit;
        for (int64_t v : {p - 1, p, p + 1, -p + 1, -p, -p - 1}) {
            EXPECT_EQ(int_text(v), std::to_string(v));
        }
    }
}

TEST(FormatInt64, AgreesWithStdToString) {
    std::mt19937_64 rng(20240607);
    for (int i = 0; i < 200000; i++) {
        const uint64_t raw = rng();
        // Spread over every magnitude, not only 19-digit values.
        const int64_t v = static_cast<int64_t>(raw >> (rng() % 64));
        EXPECT_EQ(int_text(v), std::to_string(v));
        EXPECT_EQ(int_text(-v), std::to_string(-v));
    }
}

// ---- double ----

TEST(FormatDoubleRepr, NonFiniteValues) {
    EXPECT_EQ(repr_text(std::numeric_limits<double>::infinity()), "inf");
    EXPECT_EQ(repr_text(-std::numeric_limits<double>::infinity()), "-inf");
    EXPECT_EQ(repr_text(from_bits(0x7ff0000000000000ull)), "inf");
    EXPECT_EQ(repr_text(from_bits(0xfff0000000000000ull)), "-inf");
}

// Python writes every NaN as "nan": the sign and the payload never show.
TEST(FormatDoubleRepr, EveryNanIsNan) {
    EXPECT_EQ(repr_text(std::numeric_limits<double>::quiet_NaN()), "nan");
    EXPECT_EQ(repr_text(-std::numeric_limits<double>::quiet_NaN()), "nan");
    EXPECT_EQ(repr_text(from_bits(0x7ff8000000000000ull)), "nan");
    EXPECT_EQ(repr_text(from_bits(0xfff8000000000000ull)), "nan");
    EXPECT_EQ(repr_text(from_bits(0x7ff0000000000001ull)), "nan");
    EXPECT_EQ(repr_text(from_bits(0xfff0deadbeef0001ull)), "nan");
    EXPECT_EQ(repr_text(from_bits(0x7fffffffffffffffull)), "nan");
    EXPECT_EQ(repr_text(from_bits(0xffffffffffffffffull)), "nan");
}

TEST(FormatDoubleRepr, Zeros) {
    EXPECT_EQ(repr_text(0.0), "0.0");
    EXPECT_EQ(repr_text(-0.0), "-0.0");
}

TEST(FormatDoubleRepr, PositionalRange) {
    const Case cases[] = {
        {0x1.0000000000000p+0, "1.0"},                        // 1.0
        {-0x1.0000000000000p+0, "-1.0"},                      // -1.0
        {0x1.999999999999ap-4, "0.1"},                        // 0.1
        {0x1.3333333333333p-2, "0.3"},                        // 0.3
        {0x1.3333333333334p-2, "0.30000000000000004"},        // 0.1 + 0.2
        {0x1.5555555555555p-2, "0.3333333333333333"},         // 1/3
        {-0x1.5555555555555p-1, "-0.6666666666666666"},       // -2/3
        {0x1.0000000000000p-1, "0.5"},                        // 0.5
        {0x1.4000000000000p+1, "2.5"},                        // 2.5
        {0x1.1666666666666p+2, "4.35"},                       // 4.35
        {0x1.3000000000000p+3, "9.5"},                        // 9.5
        {0x1.4000000000000p+3, "10.0"},                       // 10.0
        {0x1.9000000000000p+6, "100.0"},                      // 100.0
        {0x1.ec00000000000p+6, "123.0"},                      // 123.0
        {0x1.edd2f1a9fbe77p+6, "123.456"},                    // 123.456
        {0x1.0000000000001p+0, "1.0000000000000002"},         // 1 + ulp
        {0x1.869ffffffffffp+16, "99999.99999999999"},         // 100000 - ulp
        {0x1.c6bf52633ffffp+49, "999999999999999.9"},         // 1e15 - ulp
        {0x1.c6bf526340000p+49, "1000000000000000.0"},        // 1e15
        {0x1.550f7dca70000p+50, "1500000000000000.0"},        // 1.5e15
        {0x1.18b54f22aeb00p+50, "1234567890123456.0"},        // 1234567890123456.0
        {0x1.0000000000000p+53, "9007199254740992.0"},        // 2**53
        {0x1.0000000000001p+53, "9007199254740994.0"},        // 2**53 + 2
        {0x1.02e4b6ce5dc68p-13, "0.00012345"},                // 0.00012345
        {-0x1.061e273273f09p-10, "-0.0009999"},               // -0.0009999
        {-0x1.a36e2eb1c432ep-14, "-0.00010000000000000002"},  // longest positional form
    };
    expect_cases(cases, std::size(cases));
}

TEST(FormatDoubleRepr, ExponentRange) {
    const Case cases[] = {
        {0x1.4f8b588e368f1p-17, "1e-05"},                   // 1e-5
        {0x1.421f5f40d8376p-23, "1.5e-07"},                 // 1.5e-7
        {-0x1.9e4091070df4cp-17, "-1.2345678e-05"},         // -1.2345678e-5
        {0x1.bff2ee48e0530p-333, "1e-100"},                 // 1e-100
        {0x1.0000000000000p+63, "9.223372036854776e+18"},   // 2**63
        {0x1.56a95319d63e1p+63, "1.2345678901234567e+19"},  // 12345678901234567890.0
        {0x1.0f0cf064dd592p+73, "1e+22"},                   // 1e22
        {0x1.52d02c7e14af6p+76, "1e+23"},                   // 1e23
        {0x1.249ad2594c37dp+332, "1e+100"},                 // 1e100
        {0x1.1eb2d66005835p+997, "1.5e+300"},               // 1.5e300
    };
    expect_cases(cases, std::size(cases));
}

// repr switches to exponent form below 1e-4 and from 1e16; check each side of both edges.
TEST(FormatDoubleRepr, PositionalExponentSwitch) {
    const Case cases[] = {
        {0x1.a36e2eb1c432dp-14, "0.0001"},                  // 1e-4
        {-0x1.a36e2eb1c432dp-14, "-0.0001"},                // -1e-4
        {0x1.a36e2eb1c432ep-14, "0.00010000000000000002"},  // 1e-4 + ulp
        {0x1.a36e2eb1c432cp-14, "9.999999999999999e-05"},   // 1e-4 - ulp
        {0x1.a36e2eb1c4326p-14, "9.999999999999991e-05"},   // 1e-4 - 7 ulp
        {0x1.a36371ea531a8p-14, "9.999e-05"},               // 9.999e-5
        {0x1.4f8b588e368f2p-17, "1.0000000000000003e-05"},  // 1e-5 + ulp
        {0x1.1c37937e07fffp+53, "9999999999999998.0"},      // 1e16 - ulp
        {0x1.1c37937e08000p+53, "1e+16"},                   // 1e16
        {-0x1.1c37937e08000p+53, "-1e+16"},                 // -1e16
        {0x1.1c37937e08001p+53, "1.0000000000000002e+16"},  // 1e16 + ulp
    };
    expect_cases(cases, std::size(cases));
}

TEST(FormatDoubleRepr, Extremes) {
    const Case cases[] = {
        {DBL_MAX, "1.7976931348623157e+308"},
        {-DBL_MAX, "-1.7976931348623157e+308"},
        {DBL_MIN, "2.2250738585072014e-308"},
        {-DBL_MIN, "-2.2250738585072014e-308"},
        {0x0.fffffffffffffp-1022, "2.225073858507201e-308"},  // largest subnormal
        {0x0.0000000000001p-1022, "5e-324"},                  // smallest subnormal
        {-0x0.0000000000001p-1022, "-5e-324"},
        {0x0.0000000000003p-1022, "1.5e-323"},  // 3 * smallest subnormal
    };
    expect_cases(cases, std::size(cases));
}

// An independent check over random bit patterns: the text reads back to the same double,
// and it is never longer than the buffer size we document.
TEST(FormatDoubleRepr, RandomBitPatternsRoundTrip) {
    std::mt19937_64 rng(977);
    int checked = 0;
    for (int i = 0; i < 200000; i++) {
        const double v = from_bits(rng());
        if (!std::isfinite(v)) {
            continue;
        }
        const std::string text = repr_text(v);
        double back = 0.0;
        const auto res = std::from_chars(text.data(), text.data() + text.size(), back);
        ASSERT_EQ(res.ec, std::errc()) << text;
        ASSERT_EQ(res.ptr, text.data() + text.size()) << text;
        ASSERT_EQ(std::bit_cast<uint64_t>(back), std::bit_cast<uint64_t>(v)) << text;
        checked++;
    }
    EXPECT_GT(checked, 190000);
}

// The fast path against the library's shortest conversion: random bit patterns, short
// decimals at every scale as data holds them, and each power of two and of ten with its
// neighbours. The interval method, which settles what the fast path leaves open, must find
// the same decimal for every one of them.
TEST(FormatDoubleRepr, AgreesWithLibraryConversion) {
    std::mt19937_64 rng(31);
    std::vector<double> values;
    for (int i = 0; i < 400000; i++) {
        values.push_back(from_bits(rng()));
        const uint64_t digits = rng() % wc::detail::kPow10[1 + rng() % 17];
        const int exponent = static_cast<int>(rng() % 640) - 330;
        values.push_back(std::strtod(
            (std::to_string(digits) + "e" + std::to_string(exponent)).c_str(), nullptr));
    }
    for (int e = -1074; e <= 1023; e++) {
        values.push_back(std::ldexp(1.0, e));
    }
    for (int e = -323; e <= 308; e++) {
        values.push_back(std::strtod(("1e" + std::to_string(e)).c_str(), nullptr));
    }
    for (std::size_t i = 0, n = values.size(); i < n; i++) {
        for (int64_t step : {-1, 1}) {
            values.push_back(from_bits(std::bit_cast<uint64_t>(values[i]) + step));
        }
    }
    auto stripped = [](wc::Decimal d) {
        for (; d.digits % 10 == 0; d.digits /= 10) {
            d.exponent++;
        }
        return d;
    };
    int checked = 0;
    for (double v : values) {
        if (!std::isfinite(v) || v == 0) {
            continue;
        }
        ASSERT_EQ(repr_text(v), repr_text(v, true)) << std::hexfloat << v;
        const uint64_t bits = std::bit_cast<uint64_t>(std::fabs(v));
        const uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
        const int biased = static_cast<int>(bits >> 52);
        wc::Decimal fast, interval;
        ASSERT_TRUE(wc::shortest_decimal(bits, &fast));
        ASSERT_TRUE(wc::detail::shortest_by_interval(
            biased ? fraction | uint64_t{1} << 52 : fraction, biased ? biased - 1075 : -1074,
            fraction == 0 && biased > 1, &interval));
        fast = stripped(fast), interval = stripped(interval);
        ASSERT_EQ(fast.digits, interval.digits) << std::hexfloat << v;
        ASSERT_EQ(fast.exponent, interval.exponent) << std::hexfloat << v;
        checked++;
    }
    EXPECT_GT(checked, 1'000'000);
}

// Sixteen digits at once, by the vector path where there is one and by the word-wise path,
// with the bits that mark their zeros.
TEST(FormatDigits, SixteenAtOnce) {
    std::mt19937_64 rng(5);
    std::vector<uint64_t> values = {0, 1, 9, 10, 99999999, 100000000, 9999999999999999};
    for (int i = 0; i < 100000; i++) {
        values.push_back((rng() >> (rng() % 64)) % 10000000000000000);
    }
    for (uint64_t m : values) {
        char expected[17];
        std::snprintf(expected, sizeof expected, "%016llu", static_cast<unsigned long long>(m));
        uint32_t zero_bits = 0;
        for (int i = 0; i < 16; i++) {
            zero_bits |= uint32_t{expected[i] == '0'} << i;
        }
        char text[16];
        ASSERT_EQ(wc::detail::write_16_digits_swar(m, text), zero_bits) << m;
        ASSERT_EQ(std::string(text, 16), expected);
#if defined(__SSE2__)
        ASSERT_EQ(wc::detail::write_16_digits_sse2(m, text), zero_bits) << m;
        ASSERT_EQ(std::string(text, 16), expected);
#endif
    }
}

// The logarithms by multiplication, over the exponents they serve, against long double (no
// exponent there is within 1e-9 of a whole logarithm, far beyond its error). The table of
// powers of ten is checked entry by entry in tests/test_number_format.py.
TEST(Pow10Bits, Logarithms) {
    auto floor_checked = [](long double x) {
        const long double f = std::floor(x);
        EXPECT_TRUE(x - f > 1e-9L && f + 1 - x > 1e-9L) << static_cast<double>(x);
        return static_cast<int>(f);
    };
    const long double log10_2 = std::log10(2.0L);
    for (int e = -1100; e <= 1100; e++) {
        if (e != 0) {
            ASSERT_EQ(wc::floor_log10_pow2(e), floor_checked(e * log10_2)) << e;
        }
        ASSERT_EQ(wc::floor_log10_three_quarters_pow2(e),
                  floor_checked(e * log10_2 + std::log10(0.75L)))
            << e;
    }
    for (int e = -400; e <= 400; e++) {
        if (e != 0) {
            ASSERT_EQ(wc::floor_log2_pow10(e), floor_checked(e * std::log2(10.0L))) << e;
        }
    }
}

}  // namespace
