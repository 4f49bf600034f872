// The block-at-a-time scans and copies of wide text against the scalar loops, on the same
// inputs; each input ends at a page that cannot be read, so a load past its end faults.
#include <wrenfold/datastore/adapter/toml/inkwright/wide_text.hpp>

#include <gtest/gtest.h>

#include "guarded_page.hpp"

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace {

namespace wide = wrenfold::inkwright::wide;
namespace detail = wrenfold::inkwright::wide::detail;

template <class T>
class WideText : public ::testing::Test {};
using Units = ::testing::Types<uint8_t, uint16_t, uint32_t>;
TYPED_TEST_SUITE(WideText, Units);

// Widening copies of every length write exactly the units asked for.
TYPED_TEST(WideText, WideningCopiesAgreeWithTheScalarLoop) {
    using In = TypeParam;
    GuardedPage guard;
    std::mt19937 rng(7);
    auto check = [&]<class Out>(Out) {
        for (size_t n = 0; n <= 64; n++) {
            std::vector<In> units(n);
            for (In& u : units) {
                u = static_cast<In>(rng());
            }
            const In* in = guard.place(units);
            std::vector<Out> want(n + 2, 0x5A), got(n + 2, 0x5A);
            detail::widen_scalar(want.data() + 1, in, n);
            EXPECT_EQ(wide::copy_units(got.data() + 1, in, n), got.data() + 1 + n);
            ASSERT_EQ(got, want) << n;
            got.assign(n + 2, 0x5A);
            detail::widen_vector(got.data() + 1, in, n);
            ASSERT_EQ(got, want) << n;
        }
    };
    check(In{});
    if constexpr (sizeof(In) < 4) {
        check(uint32_t{});
    }
    if constexpr (sizeof(In) == 1) {
        check(uint16_t{});
    }
}

// ASCII widened in pieces cut at every point: the units come out right, no read goes past
// the zeroed slack after the text, and a byte that is not ASCII at any offset is seen.
TYPED_TEST(WideText, AsciiWidenerCopiesPiecesAndSeesEveryHighByte) {
    using Out = TypeParam;
    GuardedPage guard;
    for (size_t n = 0; n <= 64; n++) {
        std::vector<char> text(n + wide::kAsciiSlack, 0);
        for (size_t i = 0; i < n; i++) {
            text[i] = static_cast<char>(0x20 + i);
        }
        const char* in = guard.place(text);
        for (size_t cut = 0; cut <= n; cut++) {
            std::vector<Out> got(n + wide::kAsciiSlack, 0x5A);
            wide::AsciiWidener widener;
            Out* out = widener.copy(got.data(), in, cut);
            ASSERT_EQ(widener.copy(out, in + cut, n - cut), got.data() + n);
            ASSERT_TRUE(widener.ascii()) << n << " " << cut;
            ASSERT_EQ(std::vector<Out>(got.begin(), got.begin() + n),
                      std::vector<Out>(text.begin(), text.begin() + n))
                << n << " " << cut;
        }
        for (size_t at = 0; at < n; at++) {
            std::vector<char> high = text;
            high[at] = static_cast<char>(at % 2 ? 0x80 : 0xFF);
            std::vector<Out> got(n + wide::kAsciiSlack);
            wide::AsciiWidener widener;
            widener.copy(got.data(), guard.place(high), n);
            ASSERT_FALSE(widener.ascii()) << n << " " << at;
        }
    }
}

}  // namespace
