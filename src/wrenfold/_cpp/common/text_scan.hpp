// Finding the first byte of a text that a TOML basic string must escape, and copying short
// texts, many bytes at a time. Plain C++ with no Python dependency.
//
// Every load stays inside the text: a short text is read as two overlapping blocks (its
// first and last 4, 8 or 16 bytes), never past its end, since the bytes after a string's
// data belong to someone else.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include <wrenfold/_cpp/common/toml_chars.hpp>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace wrenfold::common {

namespace detail {

inline uint64_t load8(const unsigned char* p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

inline uint32_t load4(const unsigned char* p) {
    uint32_t w;
    std::memcpy(&w, p, 4);
    return w;
}

// The scalar scan: one look-up in the escape table a byte.
inline bool in_escape_table(unsigned char c) {
    return kEscape.cls[c] != 0;
}

}  // namespace detail

// The high bit of every byte of `w` that a basic string escapes, with `quote` for its double
// quote (the reader's literal strings pass a single one), and possibly of bytes above such a
// byte (a borrow runs upwards), so only the lowest marked byte is exact. Bytes of 0x80 and
// above are never marked: those of multi-byte characters pass.
inline uint64_t escape_bits(uint64_t w, unsigned char quote = '"') {
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    constexpr uint64_t kHigh = 0x8080808080808080ull;
    const auto zero_bytes = [](uint64_t v) { return (v - kOnes) & ~v; };
    const uint64_t signs = or_over_signs(
        [&](unsigned char sign) { return zero_bytes(w ^ (kOnes * (sign == '"' ? quote : sign))); });
    return ((w - kOnes * kControlEnd) | signs) & ~w & kHigh;
}

namespace detail {

// Index of the lowest marked byte of `bits` (nonzero): little-endian order, first in memory.
inline size_t first_marked(uint64_t bits) {
    return static_cast<size_t>(std::countr_zero(bits)) / 8;
}

// Portable: eight bytes a step.
inline size_t first_escape_words(const unsigned char* p, size_t n) {
    if (n >= 8) {
        size_t i = 0;
        for (; i + 8 <= n; i += 8) {
            if (const uint64_t bits = escape_bits(load8(p + i))) {
                return i + first_marked(bits);
            }
        }
        if (i < n) {
            if (const uint64_t bits = escape_bits(load8(p + n - 8))) {
                return n - 8 + first_marked(bits);
            }
        }
        return n;
    }
    if (n >= 4) {
        // The first and the last four bytes in one word. When the first four are clean, the
        // bytes that the last four share with them are too, so the first mark is exact.
        const uint64_t bits = escape_bits(load4(p) | uint64_t{load4(p + n - 4)} << 32);
        if (bits & 0x80808080u) {
            return first_marked(bits);
        }
        return bits != 0 ? n - 8 + first_marked(bits) : n;
    }
    for (size_t i = 0; i < n; i++) {
        if (in_escape_table(p[i])) {
            return i;
        }
    }
    return n;
}

#if defined(__SSE2__)

// One bit per byte of `x` that needs an escape, exact.
inline unsigned escape_mask(__m128i x) {
    const __m128i below = _mm_set1_epi8(static_cast<char>(kControlEnd - 1));
    const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(x, below), below);
    const __m128i signs = or_over_signs([&](unsigned char sign) {
        return _mm_cmpeq_epi8(x, _mm_set1_epi8(static_cast<char>(sign)));
    });
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(control, signs)));
}

// x86-64 always has SSE2: sixteen bytes a step.
inline size_t first_escape_sse2(const unsigned char* p, size_t n) {
    if (n >= 16) {
        size_t i = 0;
        for (; i + 16 <= n; i += 16) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
            if (const unsigned mask = escape_mask(x)) {
                return i + static_cast<size_t>(std::countr_zero(mask));
            }
        }
        if (i < n) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + n - 16));
            if (const unsigned mask = escape_mask(x)) {
                return n - 16 + static_cast<size_t>(std::countr_zero(mask));
            }
        }
        return n;
    }
    if (n >= 8) {
        const __m128i x =
            _mm_set_epi64x(static_cast<int64_t>(load8(p + n - 8)), static_cast<int64_t>(load8(p)));
        // As for the words below: a clean first half makes the second half's first mark exact.
        const unsigned mask = escape_mask(x);
        if (mask & 0xFF) {
            return static_cast<size_t>(std::countr_zero(mask));
        }
        return mask != 0 ? n - 16 + static_cast<size_t>(std::countr_zero(mask)) : n;
    }
    return first_escape_words(p, n);
}

#endif

}  // namespace detail

// Index of the first of the `n` bytes at `p` that a TOML basic string must escape, or `n`.
inline size_t first_escape(const char* p, size_t n) {
    const unsigned char* u = reinterpret_cast<const unsigned char*>(p);
#if defined(__SSE2__)
    return detail::first_escape_sse2(u, n);
#else
    return detail::first_escape_words(u, n);
#endif
}

// Index of the first of the `n` bytes at `p` that raw output refuses between quotes (all
// that escaping would change but the tab), or `n`.
inline size_t first_raw_refused(const char* p, size_t n) {
    for (size_t at = 0;; at++) {
        at += first_escape(p + at, n - at);
        if (at == n || p[at] != '\t') {
            return at;
        }
    }
}

// memcpy for texts that are mostly short: up to 32 bytes as two overlapping blocks, inline,
// with no call.
inline void copy_text(char* out, const char* s, size_t n) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
    if (n > 32) {
#if defined(__SSE2__)
        // Sixteen bytes a step, the last block overlapping: no call, as short texts have.
        for (size_t i = 0; i + 16 < n; i += 16) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i),
                             _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + n - 16),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + n - 16)));
#else
        std::memcpy(out, s, n);
#endif
    } else if (n >= 16) {
        struct Block {
            unsigned char b[16];
        };
        Block lo, hi;
        std::memcpy(&lo, p, 16);
        std::memcpy(&hi, p + n - 16, 16);
        std::memcpy(out, &lo, 16);
        std::memcpy(out + n - 16, &hi, 16);
    } else if (n >= 8) {
        const uint64_t lo = detail::load8(p), hi = detail::load8(p + n - 8);
        std::memcpy(out, &lo, 8);
        std::memcpy(out + n - 8, &hi, 8);
    } else if (n >= 4) {
        const uint32_t lo = detail::load4(p), hi = detail::load4(p + n - 4);
        std::memcpy(out, &lo, 4);
        std::memcpy(out + n - 4, &hi, 4);
    } else if (n > 0) {
        // 1 to 3 bytes: the first, the middle one and the last, some of them the same.
        const char first = s[0], middle = s[n / 2], last = s[n - 1];
        out[0] = first;
        out[n / 2] = middle;
        out[n - 1] = last;
    }
}

// copy_text and first_escape in one pass, for escaped output: copies the `n` bytes at `s` to
// `out` and tells whether none of them needs an escape. When one does, what was copied is
// not to be used.
inline bool copy_clean_text(char* out, const char* s, size_t n) {
#if defined(__SSE2__)
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
    if (n >= 16) {
        const auto copy_block = [&](size_t at) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + at), x);
            return detail::escape_mask(x) == 0;
        };
        size_t i = 0;
        for (; i + 16 <= n; i += 16) {
            if (!copy_block(i)) {
                return false;
            }
        }
        return i == n || copy_block(n - 16);
    }
    if (n >= 8) {
        const uint64_t lo = detail::load8(p), hi = detail::load8(p + n - 8);
        std::memcpy(out, &lo, 8);
        std::memcpy(out + n - 8, &hi, 8);
        return detail::escape_mask(
                   _mm_set_epi64x(static_cast<int64_t>(hi), static_cast<int64_t>(lo))) == 0;
    }
#endif
    copy_text(out, s, n);
    return first_escape(s, n) == n;
}

}  // namespace wrenfold::common
