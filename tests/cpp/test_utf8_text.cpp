// The reader's UTF-8 encoder of str units and its decoder into them: the vector and the scalar
// loops on the same texts, inputs ending at a page that cannot be read, outputs at one that
// cannot be written.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <wrenfold/datastore/adapter/toml/inkreader/utf8_decode.hpp>
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

// The scalar loops always; the vector ones where the build has them, with and without the
// byte shuffle where the machine has it. Path 0 is the scalar one.
struct Path {
    bool scalar;
    bool shuffle;
};
std::vector<Path> paths() {
    std::vector<Path> all = {{true, false}};
#if defined(WF_VECTOR)
    all.push_back({false, false});
#endif
#if defined(WF_SHUFFLE)
    if (ir::vec::machine_shuffles()) {
        all.push_back({false, true});
    }
#endif
    return all;
}
const std::vector<Path> kPaths = paths();

void take(const Path& path) {
    ir::vec::scalar_text = path.scalar;
#if defined(WF_SHUFFLE)
    ir::vec::shuffle_text = path.shuffle;
#endif
}

// Back to what the machine chooses.
void take_default() {
    ir::vec::scalar_text = false;
#if defined(WF_SHUFFLE)
    ir::vec::shuffle_text = ir::vec::machine_shuffles();
#endif
}

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

// Encoded by both paths alike, and decoded back to the same units.
template <class T>
void round_trip(Guarded& in_page, Guarded& out_page, const std::vector<T>& units) {
    const size_t n = units.size();
    T* in = static_cast<T*>(in_page.at_end(n * sizeof(T)));
    std::memcpy(in, units.data(), n * sizeof(T));
    std::string expected;
    uint32_t top = 0;
    for (const T u : units) {
        top = u > top ? u : top;
    }
    const uint32_t widest = top < 0x80      ? 0x7F
                            : top < 0x100   ? 0xFF
                            : top < 0x10000 ? 0xFFFF
                                            : 0x10FFFF;
    for (const Path& path : kPaths) {
        take(path);
        const bool scalar = path.scalar;
        const size_t room = ir::utf8_room<T>(n);
        char* out = static_cast<char*>(out_page.at_end(room));
        const char* stop = ir::encode_utf8(out, in, n);
        ASSERT_NE(stop, nullptr) << scalar;
        const std::string utf8(out, static_cast<size_t>(stop - out));
        expected = scalar ? utf8 : expected;
        ASSERT_EQ(utf8, expected) << path.shuffle << " n=" << n;
        // And back, from bytes that end at the guard into units that end at the other.
        char* text = static_cast<char*>(in_page.at_end(utf8.size()));
        std::memcpy(text, utf8.data(), utf8.size());
        const ir::Utf8Shape shape = ir::utf8_shape(text, utf8.size());
        ASSERT_EQ(shape.chars, n) << scalar;
        ASSERT_EQ(shape.max_char, widest) << scalar << " n=" << n;
        T* back = static_cast<T*>(out_page.at_end(n * sizeof(T)));
        ir::decode_utf8(back, text, utf8.size(), n);
        ASSERT_EQ(std::vector<T>(back, back + n), units) << scalar << " n=" << n;
        // Followed by the padding the padded count may read, of bytes it must leave out.
        char* padded = static_cast<char*>(in_page.at_end(utf8.size() + ir::kUtf8Padding));
        std::memcpy(padded, utf8.data(), utf8.size());
        std::memset(padded + utf8.size(), n % 2 ? 0x80 : 0xFF, ir::kUtf8Padding);
        const ir::Utf8Shape padded_shape = ir::utf8_shape_padded(padded, utf8.size());
        ASSERT_EQ(padded_shape.chars, n) << scalar;
        ASSERT_EQ(padded_shape.max_char, widest) << scalar << " n=" << n;
        std::memcpy(in, units.data(), n * sizeof(T));
    }
    take_default();
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
                for (const Path& path : kPaths) {
                    take(path);
                    char* out = static_cast<char*>(out_page.at_end(ir::utf8_room<T>(n)));
                    EXPECT_EQ(ir::encode_utf8(out, in, n), nullptr)
                        << path.scalar << path.shuffle << " at=" << at;
                }
                take_default();
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
