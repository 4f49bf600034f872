// TOML's character rules: the bare-key class and the escape table read both ways.
#include <wrenfold/_cpp/common/toml_chars.hpp>

#include <gtest/gtest.h>

#include <string>

namespace {

using wrenfold::common::is_bare_key;
using wrenfold::common::kEscape;
using wrenfold::common::kUnescape;

TEST(TomlChars, BareKeys) {
    for (const char* s : {"a", "Z9", "x-y", "_", "1", "true", "ab_CD-09"}) {
        EXPECT_TRUE(is_bare_key(s, std::string(s).size())) << s;
    }
    for (const char* s : {"", "a.b", "a b", "\"a\"", "é", "a=", "#", "a\t"}) {
        EXPECT_FALSE(is_bare_key(s, std::string(s).size())) << s;
    }
    EXPECT_FALSE(is_bare_key("a\0b", 3));
}

// Every escape a writer writes reads back as its byte; ESC is only read; a letter with no
// escape reads as nothing.
TEST(TomlChars, EscapesReadBackAsTheirBytes) {
    std::string written;
    for (int c = 0; c < 256; c++) {
        const char cls = kEscape.cls[c];
        const bool control = c < 0x20 || c == 0x7F;
        EXPECT_EQ(cls != 0, control || c == '"' || c == '\\') << c;
        if (cls != 0 && cls != 'u') {
            EXPECT_EQ(kUnescape.byte[static_cast<unsigned char>(cls)], c) << c;
            written += cls;
        }
    }
    EXPECT_EQ(written, "btnfr\"\\");
    EXPECT_EQ(kEscape.cls[0x1B], 'u');
    EXPECT_EQ(kUnescape.byte['e'], 0x1B);
    std::string read;
    for (int c = 0; c < 256; c++) {
        if (kUnescape.byte[c] != 0 || kUnescape.hex_digits[c] != 0) {
            read += static_cast<char>(c);
        }
    }
    EXPECT_EQ(read, "\"U\\befnrtux");
    EXPECT_EQ(kUnescape.hex_digits['x'], 2);
    EXPECT_EQ(kUnescape.hex_digits['u'], 4);
    EXPECT_EQ(kUnescape.hex_digits['U'], 8);
}

}  // namespace
