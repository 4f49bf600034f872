// The reader's plain decimal floats against the C++ library's correctly rounded reading: the
// digits of a million random values (up to 19 of them, exponents around 10**±40), and the
// midpoints between doubles.
#include <gtest/gtest.h>

#include <charconv>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>

#include <wrenfold/datastore/adapter/toml/inkreader/plain_number.hpp>

namespace {

namespace ir = wrenfold::inkreader;

void expect_exact(const std::string& text) {
    const ir::PlainNumber n = ir::read_plain_number(text.data(), text.data() + text.size());
    ASSERT_EQ(n.end, text.data() + text.size()) << text;
    if (n.kind != ir::PlainNumber::kFloat) {
        ASSERT_EQ(n.kind, ir::PlainNumber::kFloatText) << text;
        return;
    }
    double expected;
    std::from_chars(text.data(), text.data() + text.size(), expected);
    ASSERT_EQ(n.value, expected) << text;
}

TEST(PlainNumber, FloatsReadAsTheLibraryReadsThem) {
    std::mt19937_64 r(5);
    size_t read = 0;
    for (int i = 0; i < 1'000'000; i++) {
        std::string digits = std::to_string(r() >> (r() % 64));
        digits.resize(1 + r() % std::min<size_t>(digits.size(), 19));
        const int exponent = static_cast<int>(r() % 80) - 40;
        // As many digits as the plain form takes: the integer's, then "e".
        const std::string text = digits + "e" + std::to_string(exponent);
        expect_exact(text);
        const ir::PlainNumber n = ir::read_plain_number(text.data(), text.data() + text.size());
        read += n.kind == ir::PlainNumber::kFloat;
    }
    // All but a few (zeros with exponents beyond ±22) are decided here, not left to
    // the full reading.
    EXPECT_GT(read, 990'000u);
    // Decided here too: a double written in full whose last digit is 5, zeros after "0.",
    // a tie of two doubles written in 19 digits.
    for (const char* text : {"2691294271958510.5", "-0.0006308649197704458", "9007199254740993e0",
                             "4503599627370497.5", "1.7976931348623157e308", "4.9e-324"}) {
        expect_exact(text);
        const char* end = text + std::strlen(text);
        EXPECT_EQ(ir::read_plain_number(text, end).kind, ir::PlainNumber::kFloat) << text;
    }
    for (int bits = 54; bits < 64; bits++) {
        for (uint64_t odd = 1; odd < 8; odd += 2) {
            for (int near = -2; near <= 2; near++) {
                const uint64_t half_step = uint64_t{1} << (bits - 53);
                const uint64_t w = (uint64_t{1} << bits) + odd * half_step + near;
                expect_exact(std::to_string(w) + "e0");
                expect_exact(std::to_string(w) + "e-20");
            }
        }
    }
}

}  // namespace
