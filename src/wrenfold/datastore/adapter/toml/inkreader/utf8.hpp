// UTF-8 validation, for text that comes in as bytes. Plain C++ with no Python dependency, so
// the unit tests build without an interpreter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace wrenfold::inkreader {

// The length of the longest prefix of `s` that is well-formed UTF-8 (the Unicode standard's
// definition, as Python's strict decoder applies it: no overlong forms, no surrogates,
// nothing above U+10FFFF): `n` when all of it is.
inline size_t utf8_valid_prefix(const unsigned char* s, size_t n) {
    size_t i = 0;
    while (i < n) {
        // ASCII a word at a time: most text is.
        while (n - i >= 8) {
            uint64_t w;
            std::memcpy(&w, s + i, 8);
            if ((w & 0x8080808080808080ull) != 0) {
                break;
            }
            i += 8;
        }
        if (i == n) {
            break;
        }
        const unsigned char c = s[i];
        if (c < 0x80) {
            i++;
            continue;
        }
        size_t len;
        unsigned char lo = 0x80, hi = 0xBF;  // the range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) {
                lo = 0xA0;  // no overlong forms
            } else if (c == 0xED) {
                hi = 0x9F;  // no surrogates
            }
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) {
                lo = 0x90;
            } else if (c == 0xF4) {
                hi = 0x8F;  // nothing above U+10FFFF
            }
        } else {
            return i;
        }
        if (n - i < len || s[i + 1] < lo || s[i + 1] > hi) {
            return i;
        }
        for (size_t k = 2; k < len; k++) {
            if ((s[i + k] & 0xC0) != 0x80) {
                return i;
            }
        }
        i += len;
    }
    return n;
}

}  // namespace wrenfold::inkreader
