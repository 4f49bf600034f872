// Strings made from well-formed UTF-8: the number of characters and the widest one, then the
// code units of the str's own storage (1, 2 or 4 bytes each). Plain C++ with no Python
// dependency.
//
// The vector path takes the bytes from the start of a block that are ASCII (widened) or pairs
// of a lead and a continuation byte (one character in each lane); a run of other characters,
// and the last bytes short of a block, go through the scalar loop.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include <wrenfold/_cpp/common/vec.hpp>

namespace wrenfold::common {

struct Utf8Shape {
    size_t chars;
    uint32_t max_char;  // 0x7F, 0xFF, 0xFFFF or 0x10FFFF: enough to choose the str's kind
};

namespace detail {

inline bool is_continuation(unsigned char b) {
    return (b & 0xC0) == 0x80;
}

inline uint32_t max_char_of(unsigned char top) {
    // Lead bytes from 0xC4 begin U+0100 and above; from 0xF0, U+10000 and above.
    return top < 0x80 ? 0x7F : top < 0xC4 ? 0xFF : top < 0xF0 ? 0xFFFF : 0x10FFFF;
}

inline Utf8Shape utf8_shape_scalar(const unsigned char* s, size_t n) {
    size_t chars = 0;
    unsigned char top = 0;
    for (size_t i = 0; i < n; i++) {
        chars += !is_continuation(s[i]);
        top = s[i] > top ? s[i] : top;
    }
    return {chars, max_char_of(top)};
}

// One character at `s`; `*size` gets its bytes.
inline uint32_t decode_one(const unsigned char* s, size_t* size) {
    const uint32_t b = s[0];
    if (b < 0x80) {
        *size = 1;
        return b;
    }
    if (b < 0xE0) {
        *size = 2;
        return (b & 0x1F) << 6 | (s[1] & 0x3Fu);
    }
    if (b < 0xF0) {
        *size = 3;
        return (b & 0x0F) << 12 | (s[1] & 0x3Fu) << 6 | (s[2] & 0x3Fu);
    }
    *size = 4;
    return (b & 0x07) << 18 | (s[1] & 0x3Fu) << 12 | (s[2] & 0x3Fu) << 6 | (s[3] & 0x3Fu);
}

template <class Out>
void decode_utf8_scalar(Out* out, const unsigned char* s, size_t n) {
    for (size_t i = 0; i < n;) {
        size_t size;
        *out++ = static_cast<Out>(decode_one(s + i, &size));
        i += size;
    }
}

#if defined(WF_VECTOR)

using Bytes = vec::Vec<uint8_t, 16>;

// Characters are counted in each lane for up to 31 blocks, then summed: eight lanes of at
// most 31 fit a byte, so each half sums in one multiplication.
constexpr size_t kCountBlocks = 31;

inline size_t sum_counts(Bytes counts) {
    uint64_t half[2];
    std::memcpy(half, &counts, 16);
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    return static_cast<size_t>(((half[0] * kOnes) >> 56) + ((half[1] * kOnes) >> 56));
}

// 1 in each lane of `v` that begins a character.
inline Bytes starts_of(Bytes v) {
    return reinterpret_cast<Bytes>((v & 0xC0) != 0x80) & 1;
}

inline uint32_t widest_of(Bytes top) {
    return vec::byte_bits(top >= 0xF0)   ? 0x10FFFF
           : vec::byte_bits(top >= 0xC4) ? 0xFFFF
           : vec::byte_bits(top > 0x7F)  ? 0xFF
                                         : 0x7F;
}

inline Utf8Shape utf8_shape_vector(const unsigned char* s, size_t n) {
    size_t chars = 0, i = 0;
    Bytes top{};
    while (n - i >= 16) {
        Bytes counts{};
        for (size_t k = 0; k < kCountBlocks && n - i >= 16; k++, i += 16) {
            const Bytes v = vec::load<uint8_t, 16>(s + i);
            counts += starts_of(v);
            top = top > v ? top : v;
        }
        chars += sum_counts(counts);
    }
    const Utf8Shape rest = utf8_shape_scalar(s + i, n - i);
    const uint32_t widest = widest_of(top);
    return {chars + rest.chars, rest.max_char > widest ? rest.max_char : widest};
}

template <class Out>
void decode_utf8_vector(Out* out, const unsigned char* s, size_t n, size_t chars) {
    Out* const out_end = out + chars;
    size_t i = 0;
    // Stores write a whole block however few characters they take: what is past them is
    // written again by the next step, and each is made only where the str has room for it.
    while (n - i >= 16) {
        const Bytes v = vec::load<uint8_t, 16>(s + i);
        const uint32_t high = vec::byte_bits(v > 0x7F);
        if ((high & 1) == 0) {
            if (out_end - out < 16) {
                break;
            }
            const size_t ascii = high == 0 ? 16 : static_cast<size_t>(std::countr_zero(high));
            if constexpr (sizeof(Out) == 1) {
                vec::store(out, v);
            } else {
                // Sixteen bytes of units at a time.
                constexpr size_t k = 16 / sizeof(Out);
                for (size_t j = 0; j < 16; j += k) {
                    vec::store(out + j, __builtin_convertvector(vec::load<uint8_t, k>(s + i + j),
                                                                vec::Vec<Out, 16>));
                }
            }
            out += ascii;
            i += ascii;
            continue;
        }
        // Lead byte low, continuation byte high in each lane of two bytes: a character below
        // U+0800, which fits units of any width (below U+0100 where they are bytes).
        using Pairs = vec::Vec<uint16_t, 16>;
        Pairs w;
        std::memcpy(&w, &v, 16);
        const uint32_t other = vec::byte_bits((w & 0xC0E0) != 0x80C0);
        if ((other & 1) == 0) {
            if (out_end - out < 8) {
                break;
            }
            const size_t two = other == 0 ? 8 : static_cast<size_t>(std::countr_zero(other)) / 2;
            const Pairs units = ((w & 0x1F) << 6) | ((w >> 8) & 0x3F);
            if constexpr (sizeof(Out) == 2) {
                vec::store(out, units);
            } else {
                // Copied rather than passed: a vector of 32 bytes, without AVX, has no register.
                const auto wide = __builtin_convertvector(units, vec::Vec<Out, 8 * sizeof(Out)>);
                std::memcpy(out, &wide, sizeof wide);
            }
            out += two;
            i += 2 * two;
            continue;
        }
        // Characters up to the next ASCII byte, at most a block's bytes.
        const size_t stop = i + 16;
        while (i < stop && s[i] >= 0x80) {
            size_t size;
            *out++ = static_cast<Out>(decode_one(s + i, &size));
            i += size;
        }
    }
    decode_utf8_scalar(out, s + i, n - i);
}

#endif

}  // namespace detail

// The characters of the `n` bytes of well-formed UTF-8 at `s`, and the widest of them; through
// the vector loops where the build has them and `vector` asks for them.
inline Utf8Shape utf8_shape(const char* s, size_t n, bool vector) {
    const auto* u = reinterpret_cast<const unsigned char*>(s);
#if defined(WF_VECTOR)
    if (vector) {
        return detail::utf8_shape_vector(u, n);
    }
#endif
    (void)vector;
    return detail::utf8_shape_scalar(u, n);
}

// Writes the characters of the `n` bytes of well-formed UTF-8 at `s` to `out`: `chars` units
// (utf8_shape's count), each wide enough for its character. Input that is not well-formed
// could write past them.
template <class Out>
void decode_utf8(Out* out, const char* s, size_t n, size_t chars, bool vector) {
    const auto* u = reinterpret_cast<const unsigned char*>(s);
#if defined(WF_VECTOR)
    if (vector) {
        detail::decode_utf8_vector(out, u, n, chars);
        return;
    }
#endif
    (void)chars;
    (void)vector;
    detail::decode_utf8_scalar(out, u, n);
}

}  // namespace wrenfold::common
