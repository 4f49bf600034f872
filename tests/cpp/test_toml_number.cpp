// The grammar of TOML numbers: where a number ends for the reader, and whether a number's own
// text can be written as it is.
#include <wrenfold/_cpp/common/toml_number.hpp>

#include <gtest/gtest.h>

#include <string>

namespace {

bool number(const std::string& s) {
    return wrenfold::common::is_toml_number(s.data(), s.size());
}

TEST(TomlNumber, IntegersInEveryBase) {
    for (const char* s : {"0", "-0", "+0", "7", "-12", "+1_000", "9223372036854775808", "0xff",
                          "0xDEAD_beef", "0o755", "0b1010_1010"}) {
        EXPECT_TRUE(number(s)) << s;
    }
}

TEST(TomlNumber, Floats) {
    for (const char* s : {"1.5", "-0.0", "1.50", "1e+16", "1E5", "5e-324", "-1.5e-07", "3_1.4_1",
                          "0e0", "inf", "-inf", "+inf", "nan", "-nan", "+nan"}) {
        EXPECT_TRUE(number(s)) << s;
    }
}

// What str() of int and float subclasses and enums gives, and near misses of the grammar.
TEST(TomlNumber, TextsThatAreNotNumbers) {
    for (const char* s : {"",
                          "-",
                          "+",
                          "S.ACTIVE",
                          "re.IGNORECASE",
                          "RegexFlag.IGNORECASE",
                          "01",
                          "00",
                          "0_1",
                          "-0x1",
                          "+0b1",
                          "0X1F",
                          "0x",
                          "0xg",
                          "0o8",
                          "0b2",
                          "1_",
                          "_1",
                          "1__0",
                          "1.",
                          ".5",
                          "1.e5",
                          "1e",
                          "1e+",
                          "1e_5",
                          "1.5.2",
                          "1 ",
                          " 1",
                          "Infinity",
                          "NaN",
                          "inff",
                          "infinity",
                          "1,000",
                          "1_000_"}) {
        EXPECT_FALSE(number(s)) << s;
    }
}

// The length given is the text: bytes past it are not read, a NUL inside it is refused.
TEST(TomlNumber, LengthBoundsTheText) {
    const char text[] = "12x";
    EXPECT_TRUE(wrenfold::common::is_toml_number(text, 2));
    EXPECT_FALSE(wrenfold::common::is_toml_number(text, 3));
    EXPECT_FALSE(number(std::string("1\0", 2)));
}

// The reader's view: how far a number goes and what kind it is; the rest is refused by it.
TEST(TomlNumber, ScanStopsWhereTheGrammarDoes) {
    using N = wrenfold::common::TomlNumber;
    const struct {
        const char* text;
        size_t length;
        N::Kind kind;
    } cases[] = {{"12x", 2, N::kInteger},  {"01", 1, N::kInteger},    {"1__0", 1, N::kInteger},
                 {"1.e5", 1, N::kInteger}, {"0b2", 1, N::kInteger},   {"-0x1", 2, N::kInteger},
                 {"0x1g", 3, N::kRadix},   {"0o7_7,", 5, N::kRadix},  {"3.1_4e-2,", 8, N::kFloat},
                 {"1E5]", 3, N::kFloat},   {"+inf ", 4, N::kSpecial}, {"-x", 0, N::kNone}};
    for (const auto& c : cases) {
        const std::string s = c.text;
        const N n = wrenfold::common::scan_toml_number(s.data(), s.data() + s.size());
        EXPECT_EQ(static_cast<size_t>(n.end - s.data()), c.length) << s;
        EXPECT_EQ(n.kind, c.kind) << s;
    }
}

}  // namespace
