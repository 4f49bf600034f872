// Every scanner of the bytes a basic string escapes, held to the rule itself (needs_escape and
// its table): every byte at every place of texts up to 40 bytes, which takes each scanner
// through its blocks, its overlapping last block, its paired words and its byte loop; and
// every 16-bit unit through the scans of wide text, at places that take them through the same
// paths. A second escaped byte after the first must not hide it. Texts end before a page that
// cannot be read. Built once more with AVX2 (escape_rule_avx2), for its blocks of 32 bytes.
#include <wrenfold/_cpp/common/text_scan.hpp>
#include <wrenfold/datastore/adapter/toml/inkwright/wide_text.hpp>

#include <gtest/gtest.h>

#include "guarded_page.hpp"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace {

namespace common = wrenfold::common;
namespace wide = wrenfold::inkwright::wide;

// The first byte of the `n` at `p` that each finds, or `n`.
using ByteScan = std::function<size_t(const char*, size_t)>;

std::vector<std::pair<const char*, ByteScan>> byte_scanners() {
    std::vector<std::pair<const char*, ByteScan>> all = {
        {"first_escape", common::first_escape},
        {"words",
         [](const char* p, size_t n) {
             return common::detail::first_escape_words(reinterpret_cast<const unsigned char*>(p),
                                                       n);
         }},
        // Checked and copied in one pass: tells only whether a byte needs an escape.
        {"copy_clean_text", [](const char* p, size_t n) {
             std::vector<char> out(n + 1);
             return common::copy_clean_text(out.data(), p, n) ? n : common::first_escape(p, n);
         }}};
#if defined(__SSE2__)
    all.emplace_back("sse2", [](const char* p, size_t n) {
        return common::detail::first_escape_sse2(reinterpret_cast<const unsigned char*>(p), n);
    });
#endif
    return all;
}

// What the escapes add to one unit `c`: \X or \u00XX for one character.
ptrdiff_t added(uint32_t c) {
    if (!common::needs_escape(c)) {
        return 0;
    }
    return common::kEscape.cls[c] == 'u' ? 5 : 1;
}

TEST(EscapeRule, EveryByteAtEveryPlace) {
    GuardedPage guard;
    const auto scanners = byte_scanners();
    for (int b = 0; b < 256; b++) {
        const bool escaped = common::needs_escape(static_cast<uint32_t>(b));
        ASSERT_EQ(common::kEscape.cls[b] != 0, escaped) << b;
        for (size_t n = 1; n <= 40; n++) {
            for (size_t at = 0; at < n; at++) {
                std::string s(n, 'a');
                s[at] = static_cast<char>(b);
                if (at + 3 < n) {
                    s[at + 3] = '"';
                }
                const char* p = guard.place(s);
                const size_t first = escaped ? at : at + 3 < n ? at + 3 : n;
                for (const auto& [name, scan] : scanners) {
                    ASSERT_EQ(scan(p, n), first) << name << " byte " << b << " " << at << "/" << n;
                }
                const size_t refused = common::raw_refuses(static_cast<uint32_t>(b)) ? at : first;
                ASSERT_EQ(common::first_raw_refused(p, n),
                          b == '\t' ? (at + 3 < n ? at + 3 : n) : refused)
                    << "raw, byte " << b << " " << at << "/" << n;
            }
        }
        // The reader's word test, with either quote: exact at its lowest mark.
        for (const unsigned char quote : {'"', '\''}) {
            for (int at = 0; at < 8; at++) {
                const uint64_t w = (0x6161616161616161ull & ~(0xFFull << 8 * at)) | uint64_t(b)
                                                                                        << 8 * at;
                const uint64_t bits = common::escape_bits(w, quote);
                const bool stops = b == quote || (b != '"' && escaped);
                ASSERT_EQ(bits == 0 ? -1 : static_cast<int>(common::detail::first_marked(bits)),
                          stops ? at : -1)
                    << b << " at " << at << " quote " << quote;
            }
        }
    }
}

template <class T>
class EscapeRuleUnits : public ::testing::Test {};
using Units = ::testing::Types<uint8_t, uint16_t, uint32_t>;
TYPED_TEST_SUITE(EscapeRuleUnits, Units);

// Every unit of the type up to 0xFFFF (and three beyond, for 4-byte units), in text that
// needs no escape, through each wide scan with and without escaping, and the checking copy.
TYPED_TEST(EscapeRuleUnits, EveryUnitThroughEachScan) {
    using T = TypeParam;
    GuardedPage guard;
    const T fill = static_cast<T>(sizeof(T) == 1 ? 0xE9 : 0x4E2D);
    std::vector<uint32_t> units;
    for (uint32_t u = 0; u <= 0xFFFF && u == static_cast<T>(u); u++) {
        units.push_back(u);
    }
    if (sizeof(T) == 4) {
        units.insert(units.end(), {0x10000, 0x1F600, 0x10FFFF});
    }
    // Lengths of each path for every width: the byte loop, paired 4- and 8-byte pieces, one
    // or two 16-byte halves, whole blocks and an overlapping last block.
    const size_t lengths[] = {1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 33};
    for (const uint32_t u : units) {
        const bool surrogate = sizeof(T) > 1 && u - 0xD800 < 0x800;
        for (const size_t n : lengths) {
            for (size_t at = 0; at < n; at = at < n / 2 ? n / 2 : at < n - 1 ? n - 1 : n) {
                std::vector<T> text(n, fill);
                text[at] = static_cast<T>(u);
                const T* p = guard.place(text);
                for (const bool escape : {false, true}) {
                    const ptrdiff_t want = surrogate ? wide::kLoneSurrogate : escape ? added(u) : 0;
                    ASSERT_EQ(wide::detail::escape_extra_scalar(p, n, escape), want)
                        << u << " " << n;
                    ASSERT_EQ(wide::escape_extra(p, n, escape), want) << u << " " << at << "/" << n;
                }
                ASSERT_EQ(wide::clean(p, n), !surrogate && added(u) == 0) << u << " " << n;
                // The copy that checks as it goes: the same answer, the units and no more.
                std::vector<T> copy(n + 1, 0x5A);
                ASSERT_EQ(wide::copy_clean(copy.data(), p, n), !surrogate && added(u) == 0)
                    << u << " " << at << "/" << n;
                text.push_back(0x5A);
                ASSERT_EQ(copy, text) << u << " " << n;
            }
        }
    }
}

}  // namespace
