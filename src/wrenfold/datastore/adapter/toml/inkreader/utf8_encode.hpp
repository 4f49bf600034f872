// The UTF-8 of a str's own code units (1, 2 or 4 bytes each), for the parse of a document
// given as a str. Plain C++ with no Python dependency.
//
// Where the machine shuffles bytes, 1- and 2-byte units go eight at a time whatever their
// widths: each unit's UTF-8 is made in a lane of its own, and a shuffle looked up from the
// widths packs the lanes. Elsewhere, and for 4-byte units, the vector path takes the units
// from the start of a block that are ASCII (narrowed) or, for 2-byte units, of two UTF-8 bytes
// (both bytes made in each lane); a run of other units, and the last units short of a block,
// go through the scalar loop.
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

#if defined(WF_SHUFFLE)

// For each key of four units' widths (two bits a unit: 0 for one byte, 1 for two, 3 for
// three), the shuffle that packs their UTF-8 from 32-bit lanes, and the bytes it packs.
struct PackTable {
    uint8_t at[256][16];
    uint8_t size[256];
    constexpr PackTable() : at{}, size{} {
        for (int key = 0; key < 256; key++) {
            int o = 0;
            for (int u = 0; u < 4; u++) {
                const int bits = (key >> (2 * u)) & 3;
                for (int b = 0; b < (bits == 0 ? 1 : bits == 1 ? 2 : 3); b++) {
                    at[key][o++] = static_cast<uint8_t>(4 * u + b);
                }
            }
            size[key] = static_cast<uint8_t>(o);
            while (o < 16) {
                at[key][o++] = 0x80;
            }
        }
    }
};
inline constexpr PackTable kPackTable{};

// The UTF-8 of the eight units at `in`, packed by shuffles from a lane per unit; returns the
// end of what was written, at most 28 bytes past `out` (a store of 16 after 12 packed ones), or
// null at a lone surrogate.
template <class T>
WF_SHUFFLE_TARGET inline char* encode_eight_shuffle(char* out, const T* in) {
    using U = vec::Vec<uint16_t, 16>;
    U c;
    if constexpr (sizeof(T) == 1) {
        c = __builtin_convertvector(vec::load<uint8_t, 8>(in), U);
    } else {
        c = vec::load<uint16_t, 16>(in);
        if (vec::any_lane((c & 0xF800) == 0xD800)) {
            return nullptr;
        }
    }
    const U two = reinterpret_cast<U>(c > 0x7F);
    const U three = reinterpret_cast<U>(c > 0x7FF);
    const uint32_t key = (vec::byte_bits(two) & 0x5555) | (vec::byte_bits(three) & 0xAAAA);
    if (key == 0) {
        vec::store(out, __builtin_convertvector(c, vec::Vec<uint8_t, 8>));
        return out + 8;
    }
    // Each lane: the lead byte, the middle one, the last one, nought.
    const U last = (c & 0x3F) | 0x80;
    const U lead =
        (three & ((c >> 12) | 0xE0)) | (~three & ((two & ((c >> 6) | 0xC0)) | (~two & c)));
    const U middle = (three & (((c >> 6) & 0x3F) | 0x80)) | (~three & last);
    const U low = lead | (middle << 8);
    const U w0 = __builtin_shufflevector(low, last, 0, 8, 1, 9, 2, 10, 3, 11);
    const U w1 = __builtin_shufflevector(low, last, 4, 12, 5, 13, 6, 14, 7, 15);
    vec::store(out, vec::shuffle(reinterpret_cast<vec::Bytes>(w0),
                                 vec::load<uint8_t, 16>(kPackTable.at[key & 0xFF])));
    out += kPackTable.size[key & 0xFF];
    vec::store(out, vec::shuffle(reinterpret_cast<vec::Bytes>(w1),
                                 vec::load<uint8_t, 16>(kPackTable.at[key >> 8])));
    return out + kPackTable.size[key >> 8];
}

template <class T>
WF_SHUFFLE_TARGET char* encode_utf8_shuffle(char* out, const T* in, size_t n) {
    static_assert(sizeof(T) <= 2);
    using U = vec::Vec<uint16_t, 16>;
    size_t i = 0;
    // Sixteen ASCII units at once, as most of a document between its strings is; else two
    // steps of eight, each with the room of the 12 units it needs left.
    while (n - i >= 16) {
        bool ascii;
        if constexpr (sizeof(T) == 1) {
            const vec::Bytes b = vec::load<uint8_t, 16>(in + i);
            ascii = !vec::any_lane(b > 0x7F);
            if (ascii) {
                vec::store(out, b);
            }
        } else {
            const U c0 = vec::load<uint16_t, 16>(in + i), c1 = vec::load<uint16_t, 16>(in + i + 8);
            ascii = !vec::any_lane(((c0 | c1) & 0xFF80) != 0);
            if (ascii) {
                vec::store(out, __builtin_convertvector(c0, vec::Vec<uint8_t, 8>));
                vec::store(out + 8, __builtin_convertvector(c1, vec::Vec<uint8_t, 8>));
            }
        }
        if (ascii) {
            out += 16;
            i += 16;
            continue;
        }
        for (int step = 0; step < 2 && n - i >= 12; step++, i += 8) {
            if ((out = encode_eight_shuffle(out, in + i)) == nullptr) {
                return nullptr;
            }
        }
    }
    if (n - i >= 12) {
        if ((out = encode_eight_shuffle(out, in + i)) == nullptr) {
            return nullptr;
        }
        i += 8;
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
#if defined(WF_SHUFFLE)
        if constexpr (sizeof(T) <= 2) {
            if (vec::shuffle_text) {
                return detail::encode_utf8_shuffle(out, in, n);
            }
        }
#endif
        return detail::encode_utf8_vector(out, in, n);
    }
#endif
    return detail::encode_utf8_scalar(out, in, n);
}

}  // namespace wrenfold::inkreader
