// The reader's block scan of string runs against TOML's rule byte by byte: every byte value at
// every place of texts that end where the readable memory does.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include <wrenfold/_cpp/common/toml_chars.hpp>
#include <wrenfold/datastore/adapter/toml/inkreader/runs.hpp>

#if defined(WF_VECTOR)

namespace {

namespace ir = wrenfold::inkreader;

bool ends_run(unsigned char c, unsigned char quote) {
    return (wrenfold::common::is_toml_control(c) && c != '\t') || c == quote ||
           (quote == '"' && c == '\\');
}

TEST(StringRuns, EveryByteAtEveryPlaceBeforeTheEndOfMemory) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void* m = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(m, MAP_FAILED);
    char* base = static_cast<char*>(m);
    ASSERT_EQ(mprotect(base + page, page, PROT_NONE), 0);
    for (const unsigned char quote : {0x22, 0x27}) {
        for (const unsigned char fill : {0x61, 0x09, 0xC3}) {
            for (size_t n = 0; n <= 48; n++) {
                char* text = base + page - n;
                const size_t whole = n - n % 16;
                for (size_t at = 0; at <= n; at++) {
                    for (int c = 0; c < 256; c++) {
                        std::memset(text, fill, n);
                        if (at < n) {
                            text[at] = static_cast<char>(c);
                        }
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
    munmap(m, 2 * page);
}

}  // namespace

#endif
