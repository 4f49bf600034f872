// The block-at-a-time scans and copies of wide text against the scalar loops, on the same
// inputs; each input ends at a page that cannot be read, so a load past its end faults.
#include <wrenfold/datastore/adapter/toml/inkwright/wide_text.hpp>

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace {

namespace wide = wrenfold::inkwright::wide;
namespace detail = wrenfold::inkwright::wide::detail;

class Guarded {
public:
    Guarded() : page_(static_cast<size_t>(sysconf(_SC_PAGESIZE))) {
        void* m =
            mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        EXPECT_NE(m, MAP_FAILED);
        base_ = static_cast<char*>(m);
        EXPECT_EQ(mprotect(base_ + page_, page_, PROT_NONE), 0);
    }
    ~Guarded() {
        munmap(base_, 2 * page_);
    }
    // A copy of `units` whose last byte is the last readable one.
    template <class T>
    const T* place(const std::vector<T>& units) {
        char* p = base_ + page_ - units.size() * sizeof(T);
        std::memcpy(p, units.data(), units.size() * sizeof(T));
        return reinterpret_cast<const T*>(p);
    }

private:
    size_t page_;
    char* base_;
};

template <class T>
class WideText : public ::testing::Test {};
using Units = ::testing::Types<uint8_t, uint16_t, uint32_t>;
TYPED_TEST_SUITE(WideText, Units);

// One unit of interest at every offset of every length, in text that needs no escape.
TYPED_TEST(WideText, EscapeExtraAgreesWithTheScalarLoop) {
    using T = TypeParam;
    Guarded guard;
    const uint32_t fill = sizeof(T) == 1 ? 0xE9 : 0x4E2D;
    const uint32_t marks[] = {0x00,   0x08,   0x0A,   0x1F,   0x20,   0x21,   0x22,
                              0x5C,   0x7E,   0x7F,   0x80,   0xFF,   0xD7FF, 0xD800,
                              0xDBFF, 0xDC00, 0xDFFF, 0xE000, 0x1F600};
    for (const uint32_t mark : marks) {
        if (mark != static_cast<T>(mark)) {
            continue;
        }
        const bool surrogate = mark - 0xD800 < 0x800;
        const bool short_escape = mark == 0x08 || mark == 0x0A || mark == 0x22 || mark == 0x5C;
        const ptrdiff_t one = short_escape ? 1 : mark < 0x20 || mark == 0x7F ? 5 : 0;
        for (size_t n = 1; n <= 64; n++) {
            for (size_t at = 0; at < n; at++) {
                std::vector<T> units(n, static_cast<T>(fill));
                units[at] = static_cast<T>(mark);
                const T* p = guard.place(units);
                for (const bool escape : {false, true}) {
                    const ptrdiff_t want = surrogate ? wide::kLoneSurrogate : escape ? one : 0;
                    ASSERT_EQ(detail::escape_extra_scalar(p, n, escape), want) << n << " " << at;
                    ASSERT_EQ(detail::escape_extra_vector(p, n, escape), want) << n << " " << at;
                }
            }
        }
    }
    EXPECT_EQ(detail::escape_extra_vector(guard.place(std::vector<T>{}), 0, true), 0);
}

// Widening copies of every length write exactly the units asked for.
TYPED_TEST(WideText, WideningCopiesAgreeWithTheScalarLoop) {
    using In = TypeParam;
    Guarded guard;
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
    Guarded guard;
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
