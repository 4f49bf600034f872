// The clean runs of one-line strings, a block of sixteen bytes at a time. Plain C++ with no
// Python dependency.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include <wrenfold/_cpp/common/toml_chars.hpp>

#include "vec.hpp"

namespace wrenfold::inkreader {

#if defined(WF_VECTOR)

// One bit per byte of `v` that ends a clean run of a one-line string closed by `quote`: in a
// basic string what raw output refuses, in a literal string the quote and the controls but tab.
inline uint32_t run_stops(vec::Vec<uint8_t, 16> v, unsigned char quote) {
    const auto control = (v < common::kControlEnd) & (v != '\t');
    if (quote == '"') {
        return vec::byte_bits(control |
                              common::or_over_signs([&](unsigned char sign) { return v == sign; }));
    }
    return vec::byte_bits(control | (v == common::kDel) | (v == quote));
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
