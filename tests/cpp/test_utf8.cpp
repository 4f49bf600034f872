#include <gtest/gtest.h>

#include <string>

#include <wrenfold/_cpp/common/utf8.hpp>
#include <wrenfold/datastore/adapter/toml/inkreader/utf8.hpp>

using wrenfold::common::utf8_count_chars;
using wrenfold::inkreader::utf8_valid_prefix;

namespace {

size_t valid(const std::string& s) {
    return utf8_valid_prefix(reinterpret_cast<const unsigned char*>(s.data()), s.size());
}

}  // namespace

TEST(Utf8, WellFormedTextIsValidWhole) {
    for (const std::string s : {"", "plain ascii, longer than one word", "\xC3\xA9", "\xE2\x82\xAC",
                                "\xF0\x9F\x98\x80 and \xF4\x8F\xBF\xBF",
                                "\xEF\xBB\xBF"
                                "bom"}) {
        EXPECT_EQ(valid(s), s.size()) << s;
    }
}

TEST(Utf8, StopsAtTheFirstIllFormedSequence) {
    // Bad lead bytes, overlong forms, surrogates, beyond U+10FFFF, cut short, stray
    // continuation bytes: each after a valid prefix of nine bytes.
    const std::string prefix = "abcdefgh\xC3\xA9";
    for (const std::string bad :
         {"\xFF", "\xC0\xAF", "\xC1\xBF", "\xE0\x9F\xBF", "\xED\xA0\x80", "\xF0\x8F\xBF\xBF",
          "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xE2\x82", "\xC3", "\x80", "\xE2\x28\xA1"}) {
        EXPECT_EQ(valid(prefix + bad + "tail"), prefix.size()) << testing::PrintToString(bad);
    }
}

TEST(Utf8, CountsCodePoints) {
    const std::string s = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
    EXPECT_EQ(utf8_count_chars(reinterpret_cast<const unsigned char*>(s.data()), s.size()), 4u);
}
