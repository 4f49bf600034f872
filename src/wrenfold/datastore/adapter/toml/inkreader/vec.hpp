// The common vectors as the reader's text loops name them, the byte shuffle where the machine
// has one, and the switches that choose between the loops. Plain C++ with no Python dependency.
#pragma once

#include <wrenfold/_cpp/common/vec.hpp>

#if defined(WF_VECTOR) && defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
// Functions that shuffle are built for AVX2 and called only where the CPU and the OS have it.
#define WF_SHUFFLE 1
#define WF_SHUFFLE_TARGET __attribute__((target("avx2")))
#elif defined(WF_VECTOR) && defined(__ARM_NEON)
#include <arm_neon.h>
#define WF_SHUFFLE 1
#define WF_SHUFFLE_TARGET
#endif

namespace wrenfold::inkreader::vec {

using common::vec::any_lane;
using common::vec::byte_bits;
using common::vec::load;
using common::vec::store;
using common::vec::Vec;

// Set through the module's _scalar_text() to read every text with the scalar loops, so that
// the tests and the fuzzer reach both paths.
inline bool scalar_text = false;

#if defined(WF_SHUFFLE)

using Bytes = Vec<uint8_t, 16>;

// The bytes of `v` at the positions `at` gives, zero where its position has the top bit set.
WF_SHUFFLE_TARGET inline Bytes shuffle(Bytes v, Bytes at) {
#if defined(__x86_64__)
    return reinterpret_cast<Bytes>(
        _mm_shuffle_epi8(reinterpret_cast<__m128i>(v), reinterpret_cast<__m128i>(at)));
#else
    return reinterpret_cast<Bytes>(
        vqtbl1q_u8(reinterpret_cast<uint8x16_t>(v), reinterpret_cast<uint8x16_t>(at)));
#endif
}

// Whether this machine runs shuffle(): NEON is baseline on 64-bit Arm; on x86-64, AVX2 wants
// the CPU to have it and the OS to save the wide registers.
inline bool machine_shuffles() {
#if defined(__x86_64__)
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_OSXSAVE) || !(c & bit_AVX)) {
        return false;
    }
    unsigned lo, hi;
    __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (lo & 6) == 6 && __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & bit_AVX2);
#else
    return true;
#endif
}

// Cleared by the C++ tests to reach the loops that do without the shuffle on this machine too.
inline bool shuffle_text = machine_shuffles();

#endif

// The instruction set each kind of text loop runs now, null where it is the scalar loop: the
// benchmark names them beside its figures.
inline const char* text_isa() {
#if defined(WF_VECTOR)
    if (!scalar_text) {
#if defined(__AVX2__)
        return "avx2";
#elif defined(__SSE2__)
        return "sse2";
#else
        return "neon";
#endif
    }
#endif
    return nullptr;
}

inline const char* shuffle_isa() {
#if defined(WF_SHUFFLE)
    if (!scalar_text && shuffle_text) {
#if defined(__x86_64__)
        return "avx2";
#else
        return "neon";
#endif
    }
#endif
    return nullptr;
}

}  // namespace wrenfold::inkreader::vec
