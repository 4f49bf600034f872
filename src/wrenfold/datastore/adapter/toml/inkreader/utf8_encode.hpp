// The UTF-8 of a str's own code units (1, 2 or 4 bytes each), for the parse of a document
// given as a str. Plain C++ with no Python dependency.
//
// The vector path takes the units from the start of a block that are ASCII (narrowed) or,
// for 2-byte units, of two UTF-8 bytes (both bytes made in each lane); a run of other units,
// and the last units short of a block, go through the scalar loop.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "vec.hpp"

namespace wrenfold::inkreader {

// Room the UTF-8 of `n` units of `T` may need.
template <class T>
constexpr size_t utf8_room(size_t n) {
    return n * (sizeof(T) == 1 ? 2 : sizeof(T) == 2 ? 3 : 4);
}

namespace detail {

template <class T>
char* encode_utf8_scalar(char* out, const T* in, size_t n) {
    for (size_t i = 0; i < n; i++) {
        const uint32_t c = in[i];
        if (c < 0x80) {
            *out++ = static_cast<char>(c);
        } else if (c < 0x800) {
            out[0] = static_cast<char>(0xC0 | (c >> 6));
            out[1] = static_cast<char>(0x80 | (c & 0x3F));
            out += 2;
        } else if (c < 0x10000) {
            if (c - 0xD800 < 0x800) {
                return nullptr;
            }
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

#if defined(WF_VECTOR)

// The units from `in` up to the next ASCII one, at most `most` of them; null at a lone
// surrogate.
template <class T>
char* encode_utf8_run(char* out, const T* in, size_t most, size_t* done) {
    size_t i = 0;
    while (i < most && in[i] >= 0x80) {
        i++;
    }
    *done = i;
    return encode_utf8_scalar(out, in, i);
}

template <class T>
char* encode_utf8_vector(char* out, const T* in, size_t n) {
    constexpr size_t kUnits = 16 / sizeof(T);
    using V = vec::Vec<T, 16>;
    const V zero{};
    size_t i = 0;
    // Stores write a whole block however few units they take: what is past them is written
    // again by the next step, and there is room for it, a block's worth of units being left.
    while (n - i >= kUnits) {
        const V v = vec::load<T, 16>(in + i);
        const uint32_t high = vec::byte_bits((v & (zero + static_cast<T>(~T{0x7F}))) != zero);
        if ((high & 1) == 0) {
            const size_t ascii = high == 0 ? kUnits : std::countr_zero(high) / sizeof(T);
            vec::store(out, __builtin_convertvector(v, vec::Vec<uint8_t, kUnits>));
            out += ascii;
            i += ascii;
            continue;
        }
        if constexpr (sizeof(T) == 2) {
            // Units from U+0080 to U+07FF: lead byte low, continuation byte high in each lane.
            const uint32_t other =
                vec::byte_bits(((v & (zero + 0xF800)) != zero) | ((v & (zero + 0xFF80)) == zero));
            if ((other & 1) == 0) {
                const size_t two = other == 0 ? kUnits : std::countr_zero(other) / 2;
                vec::store(out, ((v >> 6) | 0xC0) | (((v & 0x3F) | 0x80) << 8));
                out += 2 * two;
                i += two;
                continue;
            }
        }
        size_t done;
        out = encode_utf8_run(out, in + i, kUnits, &done);
        if (out == nullptr) {
            return nullptr;
        }
        i += done;
    }
    return encode_utf8_scalar(out, in + i, n - i);
}

#endif

}  // namespace detail

// Writes the UTF-8 of the `n` units at `in` to `out`, which has utf8_room<T>(n) bytes; returns
// the end of what was written, or null when a unit is a lone surrogate.
template <class T>
char* encode_utf8(char* out, const T* in, size_t n) {
#if defined(WF_VECTOR)
    if (!vec::scalar_text) {
        return detail::encode_utf8_vector(out, in, n);
    }
#endif
    return detail::encode_utf8_scalar(out, in, n);
}

}  // namespace wrenfold::inkreader
