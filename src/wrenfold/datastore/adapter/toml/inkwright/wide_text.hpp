// The code units of a str that is not ASCII, many at a time: whether any needs an escape or
// is a lone surrogate, and copies that widen them (or the buffer's ASCII bytes) into the
// units of the result. Plain C++ with no Python dependency, so the unit tests build without
// an interpreter.
//
// The vector path uses the common generic vectors (SSE2 or AVX2 on x86-64, NEON on 64-bit
// Arm); elsewhere the scalar loops below are the only path. Every load stays inside the
// text: a text shorter than a block is read as two overlapping pieces (its first and last 8
// or 4 bytes), as the bytes after a string's data belong to someone else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include <wrenfold/_cpp/common/buffer.hpp>
#include <wrenfold/_cpp/common/vec.hpp>

namespace wrenfold::inkwright::wide {

// What escape_extra returns for a text holding a lone surrogate.
inline constexpr ptrdiff_t kLoneSurrogate = -1;

namespace detail {

template <class T>
bool is_surrogate(T c) {
    return sizeof(T) > 1 && static_cast<uint32_t>(c) - 0xD800 < 0x800;
}

// Characters the escapes add to the `n` units at `p` (put_escape writes 2 or 6 for 1), or
// kLoneSurrogate.
template <class T>
ptrdiff_t escape_extra_scalar(const T* p, size_t n, bool escape) {
    size_t extra = 0;
    for (size_t i = 0; i < n; i++) {
        const uint32_t c = p[i];
        if (is_surrogate(p[i])) {
            return kLoneSurrogate;
        }
        const char cls = escape && c < 0x80 ? common::kEscape.cls[c] : 0;
        extra += cls == 0 ? 0 : cls == 'u' ? common::detail::kMaxEscapeLen - 1 : 1;
    }
    return static_cast<ptrdiff_t>(extra);
}

// The `n` units at `in` as the wider (or same) units at `out`.
template <class Out, class In>
void widen_scalar(Out* out, const In* in, size_t n) {
    for (size_t i = 0; i < n; i++) {
        out[i] = static_cast<Out>(in[i]);
    }
}

#if defined(WF_VECTOR)

#if defined(__AVX2__)
inline constexpr size_t kBlock = 32;
#else
inline constexpr size_t kBlock = 16;
#endif

using common::vec::any_lane;
using common::vec::load;
using common::vec::Vec;

// The lanes of `v` that are a lone surrogate or, when `escape`, need an escape. Masks and
// equality only: SSE2 has no unsigned comparison of 16 or 32 bits.
template <class T, size_t Bytes>
auto bad_units(Vec<T, Bytes> v, bool escape) {
    using V = Vec<T, Bytes>;
    const V zero{};
    auto bad = v != v;
    if constexpr (sizeof(T) > 1) {
        bad |= (v & (zero + static_cast<T>(~T{0x7FF}))) == zero + 0xD800;
    }
    if (escape) {
        bad |= (v & (zero + static_cast<T>(~T{common::kControlEnd - 1}))) == zero;
        bad |= common::or_over_signs([&](unsigned char sign) { return v == zero + sign; });
    }
    return bad;
}

template <class T, size_t Bytes>
bool clean_units(Vec<T, Bytes> v, bool escape) {
    return !any_lane(bad_units<T, Bytes>(v, escape));
}

// Two pieces of `Piece` bytes, the first and the last of the `n` units at `p`, as one
// vector of 16 bytes (a piece of 4 twice). Built in registers: two 8-byte stores read back
// as one 16-byte load stall the load until the stores retire.
template <class T, size_t Piece>
Vec<T, 16> first_and_last(const T* p, size_t n) {
    using Words = Vec<uint64_t, 16>;
    const T* last = p + n - Piece / sizeof(T);
    Words w;
    if constexpr (Piece == 8) {
        uint64_t a, b;
        std::memcpy(&a, p, 8);
        std::memcpy(&b, last, 8);
        w = Words{a, b};
    } else {
        uint32_t a, b;
        std::memcpy(&a, p, 4);
        std::memcpy(&b, last, 4);
        const uint64_t both = a | uint64_t{b} << 32;
        w = Words{both, both};
    }
    return reinterpret_cast<Vec<T, 16>>(w);
}

template <class T>
[[gnu::always_inline]] inline bool clean_vector(const T* p, size_t n, bool escape) {
    constexpr size_t kUnits = kBlock / sizeof(T);
    if (n >= kUnits) {
        size_t i = 0;
        for (; i + kUnits <= n; i += kUnits) {
            if (!clean_units<T, kBlock>(load<T, kBlock>(p + i), escape)) {
                return false;
            }
        }
        return i == n || clean_units<T, kBlock>(load<T, kBlock>(p + n - kUnits), escape);
    }
    if (kBlock > 16 && n >= 16 / sizeof(T)) {
        return clean_units<T, 16>(load<T, 16>(p), escape) &&
               clean_units<T, 16>(load<T, 16>(p + n - 16 / sizeof(T)), escape);
    }
    if (n * sizeof(T) >= 8) {
        return clean_units<T, 16>(first_and_last<T, 8>(p, n), escape);
    }
    if (n * sizeof(T) >= 4) {
        return clean_units<T, 16>(first_and_last<T, 4>(p, n), escape);
    }
    return escape_extra_scalar(p, n, escape) == 0;
}

// escape_extra_scalar's result; texts with nothing to escape (nearly all) are told apart a
// block at a time, and only the others are counted unit by unit.
template <class T>
ptrdiff_t escape_extra_vector(const T* p, size_t n, bool escape) {
    return clean_vector(p, n, escape) ? 0 : escape_extra_scalar(p, n, escape);
}

// The `Bytes` bytes of units at `in`, widened to the units at `out`.
template <class Out, class In, size_t Bytes>
void widen_piece(Out* out, const In* in) {
    using Wide = Vec<Out, Bytes * sizeof(Out) / sizeof(In)>;
    const Wide w = __builtin_convertvector((load<In, Bytes>(in)), Wide);
    std::memcpy(out, &w, sizeof(Wide));
}

// Pieces of 4 bytes or more, the last one overlapping: what is written twice is the same.
// The units of a text shorter than 4 bytes are left to the caller.
template <class Out, class In>
size_t widen_pieces(Out* out, const In* in, size_t n) {
    constexpr size_t kUnits = kBlock / sizeof(In);
    if (n >= kUnits) {
        size_t i = 0;
        for (; i + kUnits <= n; i += kUnits) {
            widen_piece<Out, In, kBlock>(out + i, in + i);
        }
        if (i < n) {
            widen_piece<Out, In, kBlock>(out + n - kUnits, in + n - kUnits);
        }
        return n;
    }
    if (kBlock > 16 && n >= 16 / sizeof(In)) {
        widen_piece<Out, In, 16>(out, in);
        widen_piece<Out, In, 16>(out + n - 16 / sizeof(In), in + n - 16 / sizeof(In));
        return n;
    }
    if (n * sizeof(In) >= 8) {
        widen_piece<Out, In, 8>(out, in);
        widen_piece<Out, In, 8>(out + n - 8 / sizeof(In), in + n - 8 / sizeof(In));
        return n;
    }
    if (n * sizeof(In) >= 4) {
        widen_piece<Out, In, 4>(out, in);
        widen_piece<Out, In, 4>(out + n - 4 / sizeof(In), in + n - 4 / sizeof(In));
        return n;
    }
    return 0;
}

template <class Out, class In>
void widen_vector(Out* out, const In* in, size_t n) {
    if (widen_pieces(out, in, n) == 0) {
        widen_scalar(out, in, n);
    }
}

// copy_clean's loop: blocks of 16 bytes, the last one overlapping, their lanes to escape
// gathered and tested once, as nearly every text has none.
template <class T>
bool copy_clean_vector(T* out, const T* in, size_t n) {
    constexpr size_t kUnits = 16 / sizeof(T);
    if (n < kUnits) {
        common::copy_text(reinterpret_cast<char*>(out), reinterpret_cast<const char*>(in),
                          n * sizeof(T));
        return clean_vector(in, n, true);
    }
    const auto copy_block = [&](size_t at) {
        const Vec<T, 16> v = load<T, 16>(in + at);
        common::vec::store(out + at, v);
        return bad_units<T, 16>(v, true);
    };
    auto bad = copy_block(n - kUnits);
    for (size_t i = 0; i + kUnits < n; i += kUnits) {
        bad |= copy_block(i);
    }
    return !any_lane(bad);
}

#endif

}  // namespace detail

// Characters the TOML escapes add to the `n` units at `p` when `escape` (0 without), or
// kLoneSurrogate if one of them is a lone surrogate.
template <class T>
ptrdiff_t escape_extra(const T* p, size_t n, bool escape) {
#if defined(WF_VECTOR)
    return detail::escape_extra_vector(p, n, escape);
#else
    return detail::escape_extra_scalar(p, n, escape);
#endif
}

// Whether none of the `n` units at `p` needs an escape or is a lone surrogate; inline, for
// the writers' fast paths.
template <class T>
[[gnu::always_inline]] inline bool clean(const T* p, size_t n) {
#if defined(WF_VECTOR)
    return detail::clean_vector(p, n, true);
#else
    return detail::escape_extra_scalar(p, n, true) == 0;
#endif
}

// Copies the `n` units at `in` to the units at `out`, as wide or wider; returns the end.
template <class Out, class In>
Out* copy_units(Out* out, const In* in, size_t n) {
    static_assert(sizeof(Out) >= sizeof(In));
    if constexpr (sizeof(Out) == sizeof(In)) {
        common::copy_text(reinterpret_cast<char*>(out), reinterpret_cast<const char*>(in),
                          n * sizeof(In));
    } else {
#if defined(WF_VECTOR)
        detail::widen_vector(out, in, n);
#else
        detail::widen_scalar(out, in, n);
#endif
    }
    return out + n;
}

// Copies the `n` units at `in` to `out`; returns whether none needs an escape or is a lone
// surrogate (as clean()), checked in the same pass.
template <class T>
bool copy_clean(T* out, const T* in, size_t n) {
#if defined(WF_VECTOR)
    return detail::copy_clean_vector(out, in, n);
#else
    detail::widen_scalar(out, in, n);
    return detail::escape_extra_scalar(in, n, true) == 0;
#endif
}

// What AsciiWidener::copy may read and write past the end of a piece.
#if defined(WF_VECTOR)
inline constexpr size_t kAsciiSlack = 16;
#else
inline constexpr size_t kAsciiSlack = 0;
#endif

// Widens the pieces of a buffer's bytes between the noted texts into units. Each copy reads
// and writes up to kAsciiSlack - 1 bytes and units past its piece, so that short pieces
// take a block or two and no branch on their length: the caller leaves that much room after
// the output and after the buffer's content (zeroed), and copies the pieces in order, each
// text over what the piece before it wrote past its end. ascii() tells whether every byte
// read was ASCII.
class AsciiWidener {
public:
    template <class Out>
    Out* copy(Out* out, const char* in, size_t n) {
#if defined(WF_VECTOR)
        using Wide = common::vec::Vec<Out, 16 * sizeof(Out)>;
        for (size_t i = 0; i < n; i += 16) {
            const auto bytes = common::vec::load<uint8_t, 16>(in + i);
            seen_ |= bytes;
            const Wide units = __builtin_convertvector(bytes, Wide);
            std::memcpy(out + i, &units, sizeof(Wide));
        }
#else
        for (size_t i = 0; i < n; i++) {
            seen_ |= static_cast<unsigned char>(in[i]);
            out[i] = static_cast<Out>(static_cast<unsigned char>(in[i]));
        }
#endif
        return out + n;
    }
    bool ascii() const {
#if defined(WF_VECTOR)
        return !common::vec::any_lane(seen_ > 0x7F);
#else
        return seen_ < 0x80;
#endif
    }

private:
#if defined(WF_VECTOR)
    common::vec::Vec<uint8_t, 16> seen_{};
#else
    unsigned char seen_ = 0;
#endif
};

}  // namespace wrenfold::inkwright::wide
