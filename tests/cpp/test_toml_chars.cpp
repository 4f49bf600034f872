// TOML's character rules: the bare-key class and the escape table read both ways.
#include <wrenfold/_cpp/common/toml_chars.hpp>

#include <gtest/gtest.h>

#include <string>

namespace {

using wrenfold::common::kEscape;
using wrenfold::common::kUnescape;

TEST(TomlChars, BareKeys) {
    for (const std::string s : {"a", "Z9", "x-y", "_", "1", "ab_CD-09", "", "a.b", "a b", "é"}) {
        EXPECT_EQ(wrenfold::common::is_bare_key(s.data(), s.size()),
                  !s.empty() && s.find_first_of(". \xC3") == std::string::npos)
            << s;
    }
}

// Every escape written reads back as its byte; ESC's is only read; other letters read as none.
TEST(TomlChars, EscapesReadBackAsTheirBytes) {
    std::string written, read;
    for (int c = 0; c < 256; c++) {
        const char cls = kEscape.cls[c];
        EXPECT_EQ(cls != 0, c < 0x20 || c == 0x7F || c == '"' || c == '\\') << c;
        if (cls != 0 && cls != 'u') {
            EXPECT_EQ(kUnescape.byte[static_cast<unsigned char>(cls)], c) << c;
            written += cls;
        }
        if (kUnescape.byte[c] != 0 || kUnescape.hex_digits[c] != 0) {
            read += static_cast<char>(c);
        }
    }
    EXPECT_EQ(written, "btnfr\"\\");
    EXPECT_EQ(read, "\"U\\befnrtux");
    EXPECT_EQ(kEscape.cls[0x1B], 'u');
    EXPECT_EQ(kUnescape.byte['e'], 0x1B);
    EXPECT_EQ(kUnescape.hex_digits['x'], 2);
    EXPECT_EQ(kUnescape.hex_digits['u'], 4);
    EXPECT_EQ(kUnescape.hex_digits['U'], 8);
}

}  // namespace
