// Counting the characters of UTF-8 text, as Python counts a str's length. Plain C++ with no
// Python dependency.
#pragma once

#include <cstddef>

namespace wrenfold::common {

// The number of code points in `n` bytes of well-formed UTF-8.
inline size_t utf8_count_chars(const unsigned char* s, size_t n) {
    size_t count = 0;
    for (size_t i = 0; i < n; i++) {
        count += (s[i] & 0xC0) != 0x80;
    }
    return count;
}

}  // namespace wrenfold::common
