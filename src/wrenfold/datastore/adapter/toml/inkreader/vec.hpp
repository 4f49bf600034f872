// The common vectors as the reader's text loops name them, and the switch that chooses between
// the loops. Plain C++ with no Python dependency.
#pragma once

#include <wrenfold/_cpp/common/vec.hpp>

namespace wrenfold::inkreader::vec {

using common::vec::byte_bits;
using common::vec::load;
using common::vec::store;
using common::vec::Vec;

// Set through the module's _scalar_text() to read every text with the scalar loops, so that
// the tests and the fuzzer reach both paths.
inline bool scalar_text = false;

// The instruction set of the text loops now, null where they are the scalar ones: the
// benchmark names it beside its figures.
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

}  // namespace wrenfold::inkreader::vec
