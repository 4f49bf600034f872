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

namespace {

using wrenfold::common::format_double_repr;
using wrenfold::common::format_int64;
using wrenfold::common::kMaxDoubleReprChars;
using wrenfold::common::kMaxInt64Chars;

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

std::string repr_text(double v) {
    char buf[kGuard + kMaxDoubleReprChars + kGuard];
    std::memset(buf, kGuardByte, sizeof buf);
    char* out = buf + kGuard;
    char* end = format_double_repr(v, out);
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
        EXPECT_EQ(repr_text(cases[i].value), cases[i].text)
            << "value with bits 0x" << std::hex << std::bit_cast<uint64_t>(cases[i].value);
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

}  // namespace
