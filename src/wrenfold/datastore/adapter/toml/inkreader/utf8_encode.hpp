// The UTF-8 of a str's own code units (1, 2 or 4 bytes each): the runs of a string with escapes
// in a non-ASCII str document, which the string is built from. Plain C++ with no Python
// dependency.
#pragma once

#include <cstddef>
#include <cstdint>

namespace wrenfold::inkreader {

// Room the UTF-8 of `n` units of `T` may need.
template <class T>
constexpr size_t utf8_room(size_t n) {
    return n * (sizeof(T) == 1 ? 2 : sizeof(T) == 2 ? 3 : 4);
}

// Writes the UTF-8 of the `n` units at `in`, none a lone surrogate, to `out`, which has
// utf8_room<T>(n) bytes; returns the end of what was written.
template <class T>
char* encode_utf8(char* out, const T* in, size_t n) {
    for (size_t i = 0; i < n; i++) {
        const uint32_t c = in[i];
        if (c < 0x80) {
            *out++ = static_cast<char>(c);
        } else if (c < 0x800) {
            out[0] = static_cast<char>(0xC0 | (c >> 6));
            out[1] = static_cast<char>(0x80 | (c & 0x3F));
            out += 2;
        } else if (c < 0x10000) {
            out[0] = static_cast<char>(0xE0 | (c >> 12));
            out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out[2] = static_cast<char>(0x80 | (c & 0x3F));
            out += 3;
        } else {
            out[0] = static_cast<char>(0xF0 | (c >> 18));
            out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out[3] = static_cast<char>(0x80 | (c & 0x3F));
            out += 4;
        }
    }
    return out;
}

}  // namespace wrenfold::inkreader
