// The reader's block scan of string runs against TOML's rule byte by byte: every byte value at
// every place of texts that end where the readable memory does.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include <wrenfold/_cpp/common/toml_chars.hpp>
#include <wrenfold/datastore/adapter/toml/inkreader/runs.hpp>

#include "guarded_page.hpp"

#if defined(WF_VECTOR)

namespace {

namespace ir = wrenfold::inkreader;

// A basic string's run ends where raw output refuses a byte; a literal string's at its quote
// and at the controls but tab.
bool ends_run(unsigned char c, unsigned char quote) {
    if (quote == '"') {
        return wrenfold::common::raw_refuses(c);
    }
    return (wrenfold::common::is_toml_control(c) && c != '\t') || c == quote;
}

TEST(StringRuns, EveryByteAtEveryPlaceBeforeTheEndOfMemory) {
    GuardedPage guard;
    for (const unsigned char quote : {0x22, 0x27}) {
        for (const unsigned char fill : {0x61, 0x09, 0xC3}) {
            for (size_t n = 0; n <= 48; n++) {
                const size_t whole = n - n % 16;
                for (size_t at = 0; at <= n; at++) {
                    for (int c = 0; c < 256; c++) {
                        std::string s(n, static_cast<char>(fill));
                        if (at < n) {
                            s[at] = static_cast<char>(c);
                        }
                        const char* text = guard.place(s);
                        const bool stops = at < n && ends_run(static_cast<unsigned char>(c), quote);
                        const char* p = text;
                        uint32_t high = 0;
                        const bool found = ir::clean_run_blocks(&p, text + n, quote, &high);
                        ASSERT_EQ(found, stops && at < whole) << quote << fill << n << at << c;
                        const size_t stop = found ? at : whole;
                        ASSERT_EQ(p, text + stop) << quote << fill << n << at << c;
                        bool top = false;
                        for (size_t i = 0; i < stop; i++) {
                            top |= static_cast<unsigned char>(text[i]) >= 0x80;
                        }
                        ASSERT_EQ(high != 0, top) << quote << fill << n << at << c;
                        if (at == n) {
                            break;  // no byte to place
                        }
                    }
                }
            }
        }
    }
}

}  // namespace

#endif
