// The reader's UTF-8 encoder of str units and the decoder into them, and the bytes and widths
// of a str document's units: the vector and the scalar loops on the same texts, inputs ending
// at a page that cannot be read, outputs at one that cannot be written.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <wrenfold/_cpp/common/utf8_decode.hpp>
#include <wrenfold/datastore/adapter/toml/inkreader/units.hpp>
#include <wrenfold/datastore/adapter/toml/inkreader/utf8_encode.hpp>

namespace {

namespace ir = wrenfold::inkreader;

class Guarded {
public:
    Guarded() : page_(static_cast<size_t>(sysconf(_SC_PAGESIZE))) {
        void* m =
            mmap(nullptr, 3 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        EXPECT_NE(m, MAP_FAILED);
        base_ = static_cast<char*>(m);
        EXPECT_EQ(mprotect(base_ + 2 * page_, page_, PROT_NONE), 0);
    }
    ~Guarded() {
        munmap(base_, 3 * page_);
    }
    // `size` bytes whose last one is the last of the accessible pages.
    void* at_end(size_t size) {
        return base_ + 2 * page_ - size;
    }

private:
    size_t page_;
    char* base_;
};

// The scalar loops always; the vector ones where the build has them.
std::vector<bool> paths() {
    std::vector<bool> scalar = {true};
#if defined(WF_VECTOR)
    scalar.push_back(false);
#endif
    return scalar;
}
const std::vector<bool> kScalar = paths();

template <class T>
std::vector<T> sample_chars() {
    std::vector<T> c;
    for (const uint32_t u :
         {0x61u, 0x20u, 0x7Fu, 0x80u, 0xE9u, 0xFFu, 0x100u, 0x43Fu, 0x7FFu, 0x800u, 0x3042u,
          0xD7FFu, 0xE000u, 0xFFFFu, 0x10000u, 0x1F600u, 0x10FFFFu}) {
        if (u <= static_cast<T>(~T{0})) {
            c.push_back(static_cast<T>(u));
        }
    }
    return c;
}

template <class T>
uint32_t widest_of(const std::vector<T>& units) {
    uint32_t top = 0;
    for (const T u : units) {
        top = u > top ? u : top;
    }
    return top < 0x80 ? 0x7F : top < 0x100 ? 0xFF : top < 0x10000 ? 0xFFFF : 0x10FFFF;
}

// Encoded, then decoded back to the same units by each path; units made bytes by each path,
// and their widest told, from units that end at a page that cannot be read.
template <class T>
void round_trip(Guarded& in_page, Guarded& out_page, const std::vector<T>& units) {
    const size_t n = units.size();
    const uint32_t widest = widest_of(units);
    char* out = static_cast<char*>(out_page.at_end(ir::utf8_room<T>(n)));
    const std::string utf8(out, static_cast<size_t>(ir::encode_utf8(out, units.data(), n) - out));
    for (const bool scalar : kScalar) {
        ir::vec::scalar_text = scalar;
        char* text = static_cast<char*>(in_page.at_end(utf8.size()));
        std::memcpy(text, utf8.data(), utf8.size());
        const wrenfold::common::Utf8Shape shape =
            wrenfold::common::utf8_shape(text, utf8.size(), !scalar);
        ASSERT_EQ(shape.chars, n) << scalar;
        ASSERT_EQ(shape.max_char, widest) << scalar << " n=" << n;
        T* back = static_cast<T*>(out_page.at_end(n * sizeof(T)));
        wrenfold::common::decode_utf8(back, text, utf8.size(), n, !scalar);
        ASSERT_EQ(std::vector<T>(back, back + n), units) << scalar << " n=" << n;
        // Units after others of every width, which the count must leave out.
        constexpr size_t kBefore = 16 / sizeof(T);
        T* in = static_cast<T*>(in_page.at_end((kBefore + n) * sizeof(T)));
        for (size_t i = 0; i < kBefore; i++) {
            in[i] = static_cast<T>(i % 2 ? 0xFFFFFFFFu : 0x80u);
        }
        std::memcpy(in + kBefore, units.data(), n * sizeof(T));
        for (const size_t before : {size_t{0}, kBefore / 2, kBefore}) {
            ASSERT_EQ(ir::widest_unit(in + kBefore, n, before), widest)
                << scalar << " n=" << n << " before=" << before;
        }
        if constexpr (sizeof(T) > 1) {
            unsigned char* bytes = static_cast<unsigned char*>(out_page.at_end(n));
            ASSERT_TRUE(ir::units_to_bytes(bytes, in + kBefore, n)) << scalar;
            for (size_t i = 0; i < n; i++) {
                ASSERT_EQ(bytes[i], units[i] < 0x80 ? units[i] : 0xFF) << scalar << " i=" << i;
            }
        }
    }
    ir::vec::scalar_text = false;
}

template <class T>
void every_char_at_every_place() {
    Guarded in_page, out_page;
    for (size_t n = 0; n <= 64; n++) {
        for (const T fill : {T{'a'}, T{0xE9}, static_cast<T>(sizeof(T) > 1 ? 0x43F : 0xFF),
                             static_cast<T>(sizeof(T) > 1 ? 0x3042 : 'z')}) {
            for (const T c : sample_chars<T>()) {
                for (size_t at = 0; at < n; at++) {
                    std::vector<T> units(n, fill);
                    units[at] = c;
                    round_trip(in_page, out_page, units);
                }
            }
            // A lone surrogate anywhere is refused.
            constexpr uint32_t kLone[] = {0xD800, 0xDBFF, 0xDC00, 0xDFFF};
            for (size_t at = 0; sizeof(T) > 1 && at < n; at++) {
                T* in = static_cast<T*>(in_page.at_end(n * sizeof(T)));
                for (size_t i = 0; i < n; i++) {
                    in[i] = i != at ? fill : static_cast<T>(kLone[at % 4]);
                }
                for (const bool scalar : kScalar) {
                    ir::vec::scalar_text = scalar;
                    unsigned char* bytes = static_cast<unsigned char*>(out_page.at_end(n));
                    if constexpr (sizeof(T) > 1) {
                        EXPECT_FALSE(ir::units_to_bytes(bytes, in, n)) << scalar << " at=" << at;
                    }
                }
                ir::vec::scalar_text = false;
            }
        }
    }
    // Random mixtures, where runs of each kind begin anywhere in a block; some longer than the
    // blocks whose characters are counted lane by lane before they are summed.
    std::mt19937 rng(5);
    const std::vector<T> chars = sample_chars<T>();
    for (int round = 0; round < 3000; round++) {
        const bool long_text = round % 100 == 0;
        std::vector<T> units(long_text ? 600 + rng() % 1300 : rng() % 65);
        for (T& u : units) {
            // Long texts mostly ASCII, which counts the most characters in a lane.
            u = long_text && rng() % 8 != 0 ? T{'a'} : chars[rng() % chars.size()];
        }
        round_trip(in_page, out_page, units);
    }
}

TEST(Utf8Text, EveryCharacterAtEveryPlaceOfEveryLength) {
    every_char_at_every_place<uint8_t>();
    every_char_at_every_place<uint16_t>();
    every_char_at_every_place<uint32_t>();
}

}  // namespace
