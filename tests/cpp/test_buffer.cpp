// The byte buffer and the TOML escaper of wrenfold::common.
#include <wrenfold/_cpp/common/buffer.hpp>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

namespace {

using wrenfold::common::buf_ensure;
using wrenfold::common::buf_free;
using wrenfold::common::buf_new;
using wrenfold::common::buf_write;
using wrenfold::common::Buffer;
using wrenfold::common::escape_reservation;
using wrenfold::common::escape_toml_to_buf;
using wrenfold::common::get_toml_escape;
using wrenfold::common::needs_unicode_escape;

struct BufDeleter {
    void operator()(Buffer* b) const {
        buf_free(b);
    }
};
using BufPtr = std::unique_ptr<Buffer, BufDeleter>;

BufPtr make(size_t capacity) {
    BufPtr b(buf_new(capacity));
    EXPECT_NE(b, nullptr);
    return b;
}

std::string content(const Buffer* b) {
    return std::string(b->data, b->pos);
}

std::string escaped(const std::string& in) {
    BufPtr b = make(4);
    EXPECT_TRUE(escape_toml_to_buf(b.get(), in.data(), in.size()));
    return content(b.get());
}

// --- growth ----------------------------------------------------------------------------------

TEST(Buffer, NewHasRequestedCapacityAndNoContent) {
    BufPtr b = make(16);
    EXPECT_EQ(b->pos, 0u);
    EXPECT_EQ(b->capacity, 16u);
}

TEST(Buffer, FillingExactlyToCapacityDoesNotGrow) {
    BufPtr b = make(16);
    ASSERT_TRUE(buf_write(b.get(), "0123456789", 10));
    char* block = b->data;
    ASSERT_TRUE(buf_write(b.get(), "abcdef", 6));
    EXPECT_EQ(b->capacity, 16u);
    EXPECT_EQ(b->pos, 16u);
    EXPECT_EQ(b->data, block);
    EXPECT_EQ(content(b.get()), "0123456789abcdef");
}

TEST(Buffer, GrowsToTwiceWhatTheWriteNeeds) {
    BufPtr b = make(16);
    ASSERT_TRUE(buf_write(b.get(), "0123456789", 10));
    ASSERT_TRUE(buf_write(b.get(), "abcdefg", 7));
    EXPECT_EQ(b->capacity, 34u);  // 2 x (10 + 7), not 2 x 16
    EXPECT_EQ(b->pos, 17u);
    EXPECT_EQ(content(b.get()), "0123456789abcdefg");
}

// A preferred size is taken as it is, but never below what the write needs (10 + 7).
TEST(Buffer, GrowsToThePreferredSizeAtLeastWhatTheWriteNeeds) {
    for (auto [preferred, capacity] : {std::pair<size_t, size_t>{100, 100}, {5, 17}, {17, 17}}) {
        BufPtr b = make(16);
        ASSERT_TRUE(buf_write(b.get(), "0123456789", 10));
        ASSERT_TRUE(wrenfold::common::detail::grow_with(
            b.get(), 7,
            [&](size_t size) { return static_cast<char*>(std::realloc(b->data, size)); },
            preferred));
        EXPECT_EQ(b->capacity, capacity) << "preferred " << preferred;
        EXPECT_EQ(content(b.get()), "0123456789");
    }
}

TEST(Buffer, ZeroCapacityBufferGrowsOnFirstWrite) {
    BufPtr b = make(0);
    ASSERT_TRUE(buf_write(b.get(), "abc", 3));
    EXPECT_EQ(b->capacity, 6u);
    EXPECT_EQ(content(b.get()), "abc");
}

TEST(Buffer, ZeroByteWritesChangeNothingEvenWhenFull) {
    BufPtr b = make(4);
    ASSERT_TRUE(buf_write(b.get(), "", 0));
    EXPECT_EQ(b->pos, 0u);
    ASSERT_TRUE(buf_write(b.get(), "wxyz", 4));
    ASSERT_TRUE(buf_write(b.get(), "", 0));
    ASSERT_TRUE(buf_ensure(b.get(), 0));
    EXPECT_EQ(b->pos, 4u);
    EXPECT_EQ(b->capacity, 4u);
    EXPECT_EQ(content(b.get()), "wxyz");
}

// --- failure paths: the buffer is left exactly as it was -----------------------------------

struct Snapshot {
    char* data;
    size_t pos;
    size_t capacity;
    std::string text;
};

Snapshot snap(const Buffer* b) {
    return {b->data, b->pos, b->capacity, content(b)};
}

void expect_unchanged(const Buffer* b, const Snapshot& s) {
    EXPECT_EQ(b->data, s.data);
    EXPECT_EQ(b->pos, s.pos);
    EXPECT_EQ(b->capacity, s.capacity);
    EXPECT_EQ(content(b), s.text);
}

TEST(BufferFailure, SizeOverflowIsRefused) {
    BufPtr b = make(16);
    ASSERT_TRUE(buf_write(b.get(), "0123456789", 10));
    Snapshot s = snap(b.get());
    EXPECT_FALSE(buf_ensure(b.get(), SIZE_MAX));      // pos + needed wraps
    EXPECT_FALSE(buf_ensure(b.get(), SIZE_MAX / 2));  // 2 x (pos + needed) wraps
    // Never dereferenced: the write is refused before the copy.
    EXPECT_FALSE(buf_write(b.get(), "x", SIZE_MAX - 5));
    expect_unchanged(b.get(), s);
    ASSERT_TRUE(buf_write(b.get(), "ab", 2));
    EXPECT_EQ(content(b.get()), "0123456789ab");
}

TEST(BufferFailure, FailedReallocKeepsTheOldBlock) {
    BufPtr b = make(16);
    ASSERT_TRUE(buf_write(b.get(), "keep", 4));
    Snapshot s = snap(b.get());
    // Within the arithmetic limit but far beyond any address space.
    EXPECT_FALSE(buf_ensure(b.get(), static_cast<size_t>(PTRDIFF_MAX) / 2 - 8));
    expect_unchanged(b.get(), s);
}

// --- escaping --------------------------------------------------------------------------------

// Long text is counted before it is reserved: a long string with nothing to escape must not
// reserve six times its size (a 100 MB string would ask for 600 MB).
TEST(EscapeReservation, LongTextReservesWhatItNeeds) {
    const std::string clean(1 << 20, 'x');
    BufPtr b = make(0);
    ASSERT_TRUE(escape_toml_to_buf(b.get(), clean.data(), clean.size()));
    EXPECT_EQ(b->pos, clean.size());
    EXPECT_LE(b->capacity, 2 * clean.size());

    for (const std::string& in : {clean + "\x01", "\"" + clean + "\n\x7F", std::string(300, '\t'),
                                  std::string(257, '\0'), std::string(300, 'x') + "\xC3\xA9"}) {
        size_t room = 0;
        ASSERT_TRUE(escape_reservation(in.data(), in.size(), &room));
        EXPECT_EQ(room, escaped(in).size()) << in.size();
    }
}

TEST(EscapeReservation, ShortTextReservesTheWorstCaseUncounted) {
    for (size_t n : {0u, 1u, 255u, 256u}) {
        const std::string in(n, 'x');
        size_t room = 0;
        ASSERT_TRUE(escape_reservation(in.data(), in.size(), &room));
        EXPECT_EQ(room, 6 * n);
    }
}

TEST(Escape, EveryTwoCharacterEscape) {
    EXPECT_EQ(escaped("\b"), "\\b");
    EXPECT_EQ(escaped("\t"), "\\t");
    EXPECT_EQ(escaped("\n"), "\\n");
    EXPECT_EQ(escaped("\f"), "\\f");
    EXPECT_EQ(escaped("\r"), "\\r");
    EXPECT_EQ(escaped("\""), "\\\"");
    EXPECT_EQ(escaped("\\"), "\\\\");
    EXPECT_EQ(escaped("a\"b"), "a\\\"b");
}

TEST(Escape, OtherControlsUseUppercaseUnicodeEscapes) {
    EXPECT_EQ(escaped(std::string(1, '\0')), "\\u0000");
    EXPECT_EQ(escaped("\x01"), "\\u0001");
    EXPECT_EQ(escaped("\x0B"), "\\u000B");
    EXPECT_EQ(escaped("\x1B"), "\\u001B");
    EXPECT_EQ(escaped("\x1F"), "\\u001F");
    EXPECT_EQ(escaped("\x7F"), "\\u007F");
}

// Every ASCII byte against a rule written independently of the table.
TEST(Escape, AsciiSweep) {
    for (int c = 0; c < 0x80; c++) {
        std::string want;
        if (const char* e = get_toml_escape(static_cast<uint32_t>(c))) {
            want = e;
        } else if (c < 0x20 || c == 0x7F) {
            char tmp[13];
            std::snprintf(tmp, sizeof tmp, "\\u%04X", c);
            want = tmp;
        } else {
            want = std::string(1, static_cast<char>(c));
        }
        EXPECT_EQ(escaped(std::string(1, static_cast<char>(c))), want) << "byte " << c;
    }
}

TEST(Escape, LookupFunctions) {
    const uint32_t two_char[] = {0x08, 0x09, 0x0A, 0x0C, 0x0D, 0x22, 0x5C};
    for (uint32_t c : two_char) {
        const char* e = get_toml_escape(c);
        ASSERT_NE(e, nullptr) << c;
        EXPECT_EQ(std::strlen(e), 2u);
        EXPECT_EQ(e[0], '\\');
    }
    for (uint32_t c : {0x00u, 0x0Bu, 0x1Fu, 0x7Fu, 0x41u, 0xE9u, 0x1F600u}) {
        EXPECT_EQ(get_toml_escape(c), nullptr) << c;
    }
    for (uint32_t c = 0; c <= 0x1F; c++) {
        EXPECT_TRUE(needs_unicode_escape(c)) << c;
    }
    EXPECT_TRUE(needs_unicode_escape(0x7F));
    for (uint32_t c : {0x20u, 0x22u, 0x5Cu, 0x7Eu, 0x80u, 0x9Fu, 0xE9u, 0x2028u, 0x1F600u}) {
        EXPECT_FALSE(needs_unicode_escape(c)) << c;
    }
}

TEST(Escape, MultiByteCharactersAreCopiedUnchanged) {
    EXPECT_EQ(escaped("\xC3\xA9"), "\xC3\xA9");                  // U+00E9
    EXPECT_EQ(escaped("\xC2\x80\xC2\x9F"), "\xC2\x80\xC2\x9F");  // C1 controls
    EXPECT_EQ(escaped("\xE2\x80\xA8"), "\xE2\x80\xA8");          // U+2028
    EXPECT_EQ(escaped("\xF0\x9F\x98\x80"), "\xF0\x9F\x98\x80");  // U+1F600, no surrogates
    EXPECT_EQ(escaped("\xC3\xA9\"\xF0\x9F\x98\x80\n\x7F"
                      "z"),
              "\xC3\xA9\\\"\xF0\x9F\x98\x80\\n\\u007Fz");
}

TEST(Escape, EmptyInputAppendsNothing) {
    BufPtr b = make(8);
    ASSERT_TRUE(buf_write(b.get(), "ab", 2));
    ASSERT_TRUE(escape_toml_to_buf(b.get(), "", 0));
    EXPECT_EQ(content(b.get()), "ab");
}

TEST(Escape, AppendsAfterExistingContentAcrossGrowth) {
    BufPtr b = make(4);
    ASSERT_TRUE(buf_write(b.get(), "k=", 2));
    std::string clean(1000, 'x');
    std::string in = clean + "\t" + clean + "\x01";
    ASSERT_TRUE(escape_toml_to_buf(b.get(), in.data(), in.size()));
    EXPECT_EQ(content(b.get()), "k=" + clean + "\\t" + clean + "\\u0001");
    EXPECT_LE(b->pos, b->capacity);
}

}  // namespace
