// TOML's character rules, for the writers and the reader alike: which characters make a bare
// key, and the escapes of a basic string, by byte for writing and by letter for reading.
// Plain C++ with no Python dependency.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace wrenfold::common {

// --- bare keys -------------------------------------------------------------------------------

// ASCII letters, digits, '_' and '-'.
constexpr bool is_bare_key_char(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-';
}

namespace detail {

struct ByteSet {
    bool in[256];
};

constexpr ByteSet make_bare_key_set() {
    ByteSet t{};
    for (int c = 0; c < 256; c++) {
        t.in[c] = is_bare_key_char(static_cast<unsigned char>(c));
    }
    return t;
}

inline constexpr ByteSet kBareKey = make_bare_key_set();

}  // namespace detail

// True when the `n` bytes at `s` can be written as a key without quotes.
inline bool is_bare_key(const char* s, size_t n) {
    if (n == 0) {
        return false;
    }
    for (size_t i = 0; i < n; i++) {
        if (!detail::kBareKey.in[static_cast<unsigned char>(s[i])]) {
            return false;
        }
    }
    return true;
}

// --- what a basic string escapes ------------------------------------------------------------
//
// The control characters (every code below kControlEnd, and DEL), the quote and the escape
// character. Escaped output escapes them all; raw output carries a tab and refuses the rest,
// which also end a clean run of a basic string for the reader. The escape table below and
// every scanner that looks for these bytes a block at a time are built from kControlEnd and
// kEscapedSigns; tests/cpp/test_escape_rule.cpp holds each scanner to needs_escape().

inline constexpr unsigned char kControlEnd = 0x20;
inline constexpr unsigned char kDel = 0x7F;
// The escaped bytes at or above kControlEnd.
inline constexpr unsigned char kEscapedSigns[] = {'"', '\\', kDel};

// A power of two, so that a vector tests "below" with a mask.
static_assert((kControlEnd & (kControlEnd - 1)) == 0);

constexpr bool is_toml_control(uint32_t code) {
    return code < kControlEnd || code == kDel;
}

constexpr bool needs_escape(uint32_t code) {
    if (code < kControlEnd) {
        return true;
    }
    for (const unsigned char sign : kEscapedSigns) {
        if (code == sign) {
            return true;
        }
    }
    return false;
}

// `marks(sign)` for each escaped sign, ORed: written out one sign after the other, for the
// scanners that compare a word or a vector with each.
template <class Marks>
[[gnu::always_inline]] inline auto or_over_signs(Marks marks) {
    return [&]<size_t... I>(std::index_sequence<I...>) {
        return (marks(kEscapedSigns[I]) | ...);
    }(std::make_index_sequence<sizeof(kEscapedSigns)>{});
}

// What raw output refuses between quotes: everything escaped but the tab.
constexpr bool raw_refuses(uint32_t code) {
    return needs_escape(code) && code != '\t';
}

// A two-character escape: the byte, and the letter after the backslash. ESC's is read but not
// written: readers of TOML 1.0 do not know it, and \u001B reads the same everywhere.
struct ShortEscape {
    unsigned char byte;
    char letter;
    bool written;
};

inline constexpr ShortEscape kShortEscapes[] = {
    {0x08, 'b', true}, {0x09, 't', true}, {0x0A, 'n', true},  {0x0C, 'f', true},
    {0x0D, 'r', true}, {0x22, '"', true}, {0x5C, '\\', true}, {0x1B, 'e', false},
};

// Per byte, for writing: 0 copies it, 'u' writes \u00XX, anything else is the letter of a
// two-character escape. Every control character and DEL is escaped; bytes of multi-byte
// characters are all >= 0x80 and never are.
struct EscapeTable {
    char cls[256];
};

// Per letter after a backslash, for reading: the byte of a two-character escape, or the
// number of hex digits of \xHH, \uHHHH and \UHHHHHHHH; 0 in both when the letter is no escape.
struct UnescapeTable {
    unsigned char byte[256];
    unsigned char hex_digits[256];
};

namespace detail {

constexpr EscapeTable make_escape_table() {
    EscapeTable t{};
    for (uint32_t b = 0; b < 256; b++) {
        t.cls[b] = needs_escape(b) ? 'u' : 0;
    }
    for (const ShortEscape& e : kShortEscapes) {
        if (e.written) {
            t.cls[e.byte] = e.letter;
        }
    }
    return t;
}

constexpr UnescapeTable make_unescape_table() {
    UnescapeTable t{};
    for (const ShortEscape& e : kShortEscapes) {
        t.byte[static_cast<unsigned char>(e.letter)] = e.byte;
    }
    t.hex_digits['x'] = 2;
    t.hex_digits['u'] = 4;
    t.hex_digits['U'] = 8;
    return t;
}

}  // namespace detail

inline constexpr EscapeTable kEscape = detail::make_escape_table();
inline constexpr UnescapeTable kUnescape = detail::make_unescape_table();

}  // namespace wrenfold::common
