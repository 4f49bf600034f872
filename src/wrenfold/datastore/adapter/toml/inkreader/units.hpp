// A non-ASCII str document as the parser reads it: one byte per character, ASCII as itself
// and any other character as a byte of 0x80 or above, which TOML allows only inside strings
// and comments. A byte's offset is then its character's index in the str: strings are copied
// from the str's own code units, and errors placed, without counting characters. Plain C++
// with no Python dependency.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vec.hpp"

namespace wrenfold::inkreader {

namespace detail {

template <class T>
bool units_to_bytes_scalar(unsigned char* out, const T* in, size_t n) {
    uint32_t surrogates = 0;
    for (size_t i = 0; i < n; i++) {
        const uint32_t c = in[i];
        out[i] = static_cast<unsigned char>(c < 0x80 ? c : 0xFF);
        surrogates |= static_cast<uint32_t>(c - 0xD800 < 0x800);
    }
    return surrogates == 0;
}

template <class T>
uint32_t unit_bits_scalar(const T* in, size_t n) {
    uint32_t bits = 0;
    for (size_t i = 0; i < n; i++) {
        bits |= in[i];
    }
    return bits;
}

#if defined(WF_VECTOR)

template <class T>
using Units = vec::Vec<T, 16>;

template <class T>
Units<T> lane_numbers() {
    Units<T> v{};
    for (size_t k = 0; k < 16 / sizeof(T); k++) {
        v[k] = static_cast<T>(k);
    }
    return v;
}

template <class T>
bool units_to_bytes_vector(unsigned char* out, const T* in, size_t n) {
    constexpr size_t kUnits = 16 / sizeof(T);
    Units<T> surrogates{};
    size_t i = 0;
    for (; n - i >= kUnits; i += kUnits) {
        const Units<T> v = vec::load<T, 16>(in + i);
        surrogates |= (v & 0xF800) == 0xD800;
        // Lanes above ASCII all ones, whose low byte is 0xFF.
        vec::store(out + i, __builtin_convertvector(v | (v > 0x7F), vec::Vec<uint8_t, kUnits>));
    }
    return vec::byte_bits(surrogates != 0) == 0 && units_to_bytes_scalar(out + i, in + i, n - i);
}

// The bits of the units in whole blocks, the last one ending at the last unit: a string short
// of a block is read with the units before it, `before` of which are there to read.
template <class T>
uint32_t unit_bits_vector(const T* in, size_t n, size_t before) {
    constexpr size_t kUnits = 16 / sizeof(T);
    Units<T> bits{};
    if (n >= kUnits) {
        for (size_t i = 0; n - i > kUnits; i += kUnits) {
            bits |= vec::load<T, 16>(in + i);
        }
        bits |= vec::load<T, 16>(in + n - kUnits);
    } else if (before >= kUnits - n) {
        const Units<T> mine = lane_numbers<T>() >= static_cast<T>(kUnits - n);
        bits = vec::load<T, 16>(in + n - kUnits) & mine;
    } else {
        return unit_bits_scalar(in, n);
    }
    uint32_t all = 0;
    for (size_t k = 0; k < kUnits; k++) {
        all |= bits[k];
    }
    return all;
}

#endif

}  // namespace detail

// The bytes of the `n` units at `in` (2 or 4 bytes each) into `out`: false when a unit is a
// lone surrogate, which has no UTF-8.
template <class T>
bool units_to_bytes(unsigned char* out, const T* in, size_t n) {
    static_assert(sizeof(T) > 1, "1-byte units are their own bytes");
#if defined(WF_VECTOR)
    if (!vec::scalar_text) {
        return detail::units_to_bytes_vector(out, in, n);
    }
#endif
    return detail::units_to_bytes_scalar(out, in, n);
}

// The widest of the `n` units at `in`, after `before` others, as PyUnicode_New takes it:
// 0x7F, 0xFF, 0xFFFF or 0x10FFFF. Each is one less than a power of two, so the units' bits
// together tell it.
template <class T>
uint32_t widest_unit(const T* in, size_t n, size_t before) {
#if defined(WF_VECTOR)
    const uint32_t bits = vec::scalar_text ? detail::unit_bits_scalar(in, n)
                                           : detail::unit_bits_vector(in, n, before);
#else
    (void)before;
    const uint32_t bits = detail::unit_bits_scalar(in, n);
#endif
    return bits < 0x80 ? 0x7F : bits < 0x100 ? 0xFF : bits < 0x10000 ? 0xFFFF : 0x10FFFF;
}

}  // namespace wrenfold::inkreader
