// The compiler's generic vectors, for the text loops of the encoder and the reader: SSE2 on
// x86-64 (AVX2 when the build targets it), NEON on 64-bit Arm. Where neither is there,
// WF_VECTOR is left undefined and the scalar loops are the only path. Plain C++ with no
// Python dependency.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if (defined(__SSE2__) || defined(__ARM_NEON)) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define WF_VECTOR 1
#endif

namespace wrenfold::common::vec {

template <class T, size_t Bytes>
struct VecOf {
    typedef T type __attribute__((vector_size(Bytes)));
};
template <class T, size_t Bytes>
using Vec = typename VecOf<T, Bytes>::type;

template <class T, size_t Bytes>
Vec<T, Bytes> load(const void* p) {
    Vec<T, Bytes> v;
    std::memcpy(&v, p, Bytes);
    return v;
}

template <class V>
void store(void* p, V v) {
    std::memcpy(p, &v, sizeof(V));
}

// Whether any lane of the comparison result `m` is set.
template <class M>
bool any_lane(M m) {
#if defined(__SSE2__)
    if constexpr (sizeof(M) == 16) {
        return _mm_movemask_epi8(reinterpret_cast<__m128i>(m)) != 0;
    }
#endif
    uint64_t w[sizeof(M) / 8];
    std::memcpy(w, &m, sizeof(M));
    uint64_t all = 0;
    for (uint64_t x : w) {
        all |= x;
    }
    return all != 0;
}

// One bit per byte of the comparison result `m` (of 16 bytes), set where its lane is.
template <class M>
uint32_t byte_bits(M m) {
    static_assert(sizeof(M) == 16);
#if defined(__SSE2__)
    return static_cast<uint32_t>(_mm_movemask_epi8(reinterpret_cast<__m128i>(m)));
#else
    uint8_t b[16];
    std::memcpy(b, &m, 16);
    uint32_t bits = 0;
    for (int i = 0; i < 16; i++) {
        bits |= static_cast<uint32_t>(b[i] >> 7) << i;
    }
    return bits;
#endif
}

}  // namespace wrenfold::common::vec
