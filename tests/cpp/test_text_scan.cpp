// Finding the first byte to escape and copying short texts, against byte-by-byte references;
// texts end at a page that cannot be read, so a load past their end faults.
#include <wrenfold/_cpp/common/text_scan.hpp>

#include <gtest/gtest.h>

#include "guarded_page.hpp"

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using wrenfold::common::copy_clean_text;
using wrenfold::common::copy_text;
using wrenfold::common::first_escape;
namespace detail = wrenfold::common::detail;

using Scan = size_t (*)(const unsigned char*, size_t);

// Every implementation this machine can run; the portable one always.
std::vector<std::pair<const char*, Scan>> scanners() {
    std::vector<std::pair<const char*, Scan>> all = {{"words", detail::first_escape_words}};
#if defined(__SSE2__)
    all.emplace_back("sse2", detail::first_escape_sse2);
#endif
    all.emplace_back("first_escape", [](const unsigned char* p, size_t n) {
        return first_escape(reinterpret_cast<const char*>(p), n);
    });
    return all;
}

size_t reference(const std::string& s) {
    for (size_t i = 0; i < s.size(); i++) {
        if (wrenfold::common::needs_escape(static_cast<unsigned char>(s[i]))) {
            return i;
        }
    }
    return s.size();
}

// Bytes next to the boundaries of each test: around the controls, the quote, the backslash,
// DEL, and the bytes of multi-byte characters, which must pass.
const unsigned char kEdgeBytes[] = {0x00, 0x01, 0x08, 0x0A, 0x1F, 0x20, 0x21, 0x22, 0x23, 0x41,
                                    0x5B, 0x5C, 0x5D, 0x7E, 0x7F, 0x80, 0xA2, 0xBF, 0xDC, 0xFF};

TEST(FirstEscape, RandomTextsOfEdgeBytes) {
    GuardedPage guard;
    std::mt19937 rng(20240611);
    for (int round = 0; round < 20000; round++) {
        const size_t n = rng() % 80;
        // Mostly clean text, so that the first byte to escape falls anywhere.
        const unsigned rate = 1 + rng() % 40;
        std::string s(n, 'x');
        for (char& c : s) {
            c = static_cast<char>(rng() % rate == 0 ? kEdgeBytes[rng() % sizeof kEdgeBytes]
                                                    : 0x20 + rng() % 0x60);
        }
        const auto* p = reinterpret_cast<const unsigned char*>(guard.place(s));
        for (const auto& [name, scan] : scanners()) {
            ASSERT_EQ(scan(p, n), reference(s)) << name << " on a text of " << n;
        }
    }
}

TEST(FirstEscape, BytesOfMultiByteCharactersPass) {
    GuardedPage guard;
    // U+00E9, U+2028, U+1F600 and the C1 control U+0085, many times over.
    std::string s;
    for (int i = 0; i < 10; i++) {
        s += "\xC3\xA9\xE2\x80\xA8\xF0\x9F\x98\x80\xC2\x85";
    }
    for (size_t n = 0; n <= s.size(); n++) {
        const std::string part = s.substr(0, n);
        const auto* p = reinterpret_cast<const unsigned char*>(guard.place(part));
        for (const auto& [name, scan] : scanners()) {
            EXPECT_EQ(scan(p, n), n) << name << " length " << n;
        }
    }
}

TEST(CopyText, EveryLengthCopiesExactlyItsBytes) {
    GuardedPage guard;
    for (size_t n = 0; n <= 100; n++) {
        std::string s(n, '\0');
        for (size_t i = 0; i < n; i++) {
            s[i] = static_cast<char>('A' + (i * 7) % 26);
        }
        const char* src = guard.place(s);
        std::vector<char> out(n + 32, '#');
        copy_text(out.data() + 16, src, n);
        EXPECT_EQ(std::string(out.data() + 16, n), s) << "length " << n;
        EXPECT_EQ(std::string(out.data(), 16), std::string(16, '#')) << "before, length " << n;
        EXPECT_EQ(std::string(out.data() + 16 + n, 16), std::string(16, '#'))
            << "after, length " << n;
    }
}

TEST(CopyCleanText, CopiesEveryLengthAndFindsAnEscapeAnywhere) {
    GuardedPage guard;
    for (size_t n = 0; n <= 70; n++) {
        // Clean, then each edge byte at each position.
        for (size_t at = 0; at <= n; at++) {
            for (unsigned char edge : kEdgeBytes) {
                std::string s(n, '\0');
                for (size_t i = 0; i < n; i++) {
                    s[i] = static_cast<char>('a' + (i * 5) % 26);
                }
                if (at < n) {
                    s[at] = static_cast<char>(edge);
                }
                std::vector<char> out(n + 32, '#');
                const bool clean = copy_clean_text(out.data() + 16, guard.place(s), n);
                ASSERT_EQ(clean, reference(s) == n) << "length " << n << " at " << at;
                if (clean) {
                    ASSERT_EQ(std::string(out.data() + 16, n), s) << "length " << n;
                }
                ASSERT_EQ(std::string(out.data(), 16), std::string(16, '#'));
                ASSERT_EQ(std::string(out.data() + 16 + n, 16), std::string(16, '#'));
                if (at == n) {
                    break;  // the clean text once
                }
            }
        }
    }
}

}  // namespace
