// The common vectors as the reader's text loops name them, and the switch that sends every
// text through the scalar loops instead. Plain C++ with no Python dependency.
#pragma once

#include <wrenfold/_cpp/common/vec.hpp>

namespace wrenfold::inkreader::vec {

using common::vec::any_lane;
using common::vec::byte_bits;
using common::vec::count_bits16;
using common::vec::load;
using common::vec::store;
using common::vec::Vec;

// Set through the module's _scalar_text() to read every text with the scalar loops, so that
// the tests and the fuzzer reach both paths.
inline bool scalar_text = false;

}  // namespace wrenfold::inkreader::vec
