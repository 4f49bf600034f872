// The common vector helpers against plain loops: every single lane of a comparison result
// found (of 32 bytes too where the build targets AVX2).
#include <gtest/gtest.h>

#include <cstdint>

#include <wrenfold/_cpp/common/vec.hpp>

namespace {

namespace vec = wrenfold::common::vec;

template <size_t Bytes>
void check_lanes() {
    using V = vec::Vec<uint8_t, Bytes>;
    const V zero{};
    EXPECT_FALSE(vec::any_lane(zero != zero));
    for (size_t lane = 0; lane < Bytes; lane++) {
        uint8_t bytes[Bytes] = {};
        bytes[lane] = 0x80;
        const V v = vec::load<uint8_t, Bytes>(bytes);
        EXPECT_TRUE(vec::any_lane(v > 0x7F)) << Bytes << " " << lane;
        if constexpr (Bytes == 16) {
            EXPECT_EQ(vec::byte_bits(v > 0x7F), 1u << lane);
            EXPECT_EQ(vec::byte_bits(v <= 0x7F), 0xFFFFu & ~(1u << lane));
        }
        uint8_t back[Bytes];
        vec::store(back, v);
        EXPECT_EQ(back[lane], 0x80);
    }
}

TEST(Vec, EveryLaneIsSeen) {
    check_lanes<16>();
#if defined(__AVX2__)
    check_lanes<32>();
#endif
}

}  // namespace
