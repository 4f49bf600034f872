// The clean runs of one-line strings, a block of sixteen bytes at a time. Plain C++ with no
// Python dependency.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "vec.hpp"

namespace wrenfold::inkreader {

#if defined(WF_VECTOR)

// One bit per byte of `v` that ends a clean run of a one-line string closed by `quote`: the
// quote, a control character other than tab, DEL, and in a basic string the backslash.
inline uint32_t run_stops(vec::Vec<uint8_t, 16> v, unsigned char quote) {
    auto stop = ((v < 0x20) & (v != '\t')) | (v == 0x7F) | (v == quote);
    if (quote == '"') {
        stop |= v == '\\';
    }
    return vec::byte_bits(stop);
}

// Whether a byte that ends the run lies in the whole blocks of 16 bytes from `*at` before
// `end`: `*at` is then moved to it; else to the start of the last, partial block (fewer than
// 16 bytes before `end`), for the scalar loop to finish. `*high` gets the top bits of the
// bytes passed, to tell ASCII runs.
inline bool clean_run_blocks(const char** at, const char* end, unsigned char quote,
                             uint32_t* high) {
    const char* p = *at;
    uint32_t top = 0;
    for (; end - p >= 16; p += 16) {
        const auto v = vec::load<uint8_t, 16>(p);
        const uint32_t high_bytes = vec::byte_bits(v > 0x7F);
        if (const uint32_t stops = run_stops(v, quote)) {
            // The bytes below the first stop.
            *high |= top | (high_bytes & ((stops & (0 - stops)) - 1));
            *at = p + std::countr_zero(stops);
            return true;
        }
        top |= high_bytes;
    }
    *high |= top;
    *at = p;
    return false;
}

#endif

}  // namespace wrenfold::inkreader
