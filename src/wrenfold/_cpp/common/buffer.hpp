// The encoder's growable byte buffer and TOML basic-string escaping. Plain C++ with no
// Python dependency, so the unit tests build without an interpreter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <wrenfold/_cpp/common/text_scan.hpp>
#include <wrenfold/_cpp/common/toml_chars.hpp>

namespace wrenfold::common {

// Append-only output; the content is the first `pos` bytes of `data`, not NUL-terminated.
// Whoever writes through something larger (the encoder's Output, dumps' Text) keeps what it
// needs beside the buffer.
struct Buffer {
    char* data;
    size_t pos;
    size_t capacity;
};

// Null when either allocation fails.
inline Buffer* buf_new(size_t initial_capacity) {
    Buffer* buf = static_cast<Buffer*>(std::malloc(sizeof(Buffer)));
    if (buf == nullptr) {
        return nullptr;
    }
    // malloc(0) may return null; a one-byte block keeps `data` valid.
    buf->data = static_cast<char*>(std::malloc(initial_capacity > 0 ? initial_capacity : 1));
    if (buf->data == nullptr) {
        std::free(buf);
        return nullptr;
    }
    buf->pos = 0;
    buf->capacity = initial_capacity;
    return buf;
}

// Frees the record and its block, if it still has one.
inline void buf_free(Buffer* buf) {
    if (buf == nullptr) {
        return;
    }
    std::free(buf->data);
    std::free(buf);
}

namespace detail {

// Larger blocks could not be indexed by ptrdiff_t (nor decoded into a str).
inline constexpr size_t kMaxCapacity = static_cast<size_t>(PTRDIFF_MAX);

// Growth for `needed` more bytes through `resize(capacity)`, which returns a block of that
// size holding the content (the old one released) or null: `preferred` bytes, or twice the
// size the write requires when `preferred` is 0 (never less than it requires), else just
// that size. False, with the buffer as it was, when the sizes overflow or neither can be had.
template <class Resize>
bool grow_with(Buffer* buf, size_t needed, Resize resize, size_t preferred = 0) {
    size_t required;
    if (__builtin_add_overflow(buf->pos, needed, &required) || required > kMaxCapacity) {
        return false;
    }
    size_t capacity = preferred != 0 ? preferred : required * 2;  // no wrap: required is small
    if (capacity < required || capacity > kMaxCapacity) {
        capacity = required;
    }
    char* data = resize(capacity);
    if (data == nullptr) {
        // Doubling is only for speed: settle for what the write needs before giving up.
        capacity = required;
        data = resize(capacity);
    }
    if (data == nullptr) {
        return false;  // the old block is still valid and still owned by `buf`
    }
    buf->data = data;
    buf->capacity = capacity;
    return true;
}

// Out of line: the estimate makes growth rare, and the append path stays small.
[[gnu::noinline, gnu::cold]] inline bool buf_grow(Buffer* buf, size_t needed) {
    return grow_with(buf, needed, [buf](size_t size) {
        return static_cast<char*>(std::realloc(buf->data, size));
    });
}

}  // namespace detail

// Room for `needed` more bytes. False (buffer unchanged) when the size overflows or the
// allocation fails.
inline bool buf_ensure(Buffer* buf, size_t needed) {
    // Written as a subtraction so that a huge `needed` cannot wrap around.
    if (needed <= buf->capacity - buf->pos) [[likely]] {
        return true;
    }
    return detail::buf_grow(buf, needed);
}

inline bool buf_write(Buffer* buf, const char* s, size_t length) {
    if (!buf_ensure(buf, length)) [[unlikely]] {
        return false;
    }
    std::memcpy(buf->data + buf->pos, s, length);
    buf->pos += length;
    return true;
}

// --- TOML basic-string escaping ------------------------------------------------------------

namespace detail {

// The two-character escapes as texts, by byte.
struct EscapeTexts {
    char text[128][3];
};

constexpr EscapeTexts make_escape_texts() {
    EscapeTexts t{};
    for (int c = 0; c < 128; c++) {
        if (kEscape.cls[c] != 0 && kEscape.cls[c] != 'u') {
            t.text[c][0] = '\\';
            t.text[c][1] = kEscape.cls[c];
        }
    }
    return t;
}

inline constexpr EscapeTexts kEscapeTexts = make_escape_texts();

}  // namespace detail

// The two-character escape written for a code point, or null.
inline const char* get_toml_escape(uint32_t code) {
    if (code >= 0x80 || kEscape.cls[code] == 0 || kEscape.cls[code] == 'u') {
        return nullptr;
    }
    return detail::kEscapeTexts.text[code];
}

// Control characters, and DEL, which TOML forbids raw in a basic string; those without a
// two-character escape are written as \u00XX.
inline bool needs_unicode_escape(uint32_t code) {
    return is_toml_control(code);
}

namespace detail {

// Worst case per input byte: \u00XX.
inline constexpr size_t kMaxEscapeLen = 6;

// Writes the escape of the byte `c`, whose class `cls` is not 0; returns the end.
inline char* put_escape(char* out, unsigned char c, char cls) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    if (cls == 'u') {
        std::memcpy(out, "\\u00", 4);
        out[4] = kHex[c >> 4];
        out[5] = kHex[c & 0xF];
        return out + 6;
    }
    out[0] = '\\';
    out[1] = cls;
    return out + 2;
}

// Up to this length the worst case is reserved without looking: cheaper than counting, and
// small. Longer text is counted, so that a long string reserves what it needs, not six times
// its size.
inline constexpr size_t kCountEscapesAbove = 256;

// Bytes the escapes add to the `n` bytes at `p`.
inline size_t escape_extra(const char* p, size_t n) {
    size_t extra = 0;
    for (const char* const end = p + n;; p++) {
        p += first_escape(p, static_cast<size_t>(end - p));
        if (p == end) {
            return extra;
        }
        extra += kEscape.cls[static_cast<unsigned char>(*p)] == 'u' ? kMaxEscapeLen - 1 : 1;
    }
}

}  // namespace detail

// Room to reserve for `input_len` bytes of `input` escaped: exact for long text, the worst
// case for short text. False when that size overflows.
inline bool escape_reservation(const char* input, size_t input_len, size_t* size) {
    if (input_len <= detail::kCountEscapesAbove) {
        *size = input_len * detail::kMaxEscapeLen;
        return true;
    }
    return !__builtin_add_overflow(input_len, detail::escape_extra(input, input_len), size);
}

// Writes `input` (well-formed UTF-8) with the TOML escapes applied at `out`, into room the
// caller has reserved with escape_reservation; returns the end. Copies each clean run with
// one memcpy.
inline char* escape_toml_at(char* out, const char* input, size_t input_len) {
    const char* p = input;
    const char* const end = input + input_len;
    for (;;) {
        const size_t run = first_escape(p, static_cast<size_t>(end - p));
        std::memcpy(out, p, run);
        out += run;
        p += run;
        if (p == end) {
            return out;
        }
        const unsigned char c = static_cast<unsigned char>(*p++);
        out = detail::put_escape(out, c, kEscape.cls[c]);
    }
}

// Appends `input` (well-formed UTF-8) with the TOML escapes applied. False (buffer
// unchanged) when the reservation fails.
inline bool escape_toml_to_buf(Buffer* buf, const char* input, size_t input_len) {
    size_t room;
    if (!escape_reservation(input, input_len, &room) || !buf_ensure(buf, room)) [[unlikely]] {
        return false;
    }
    buf->pos =
        static_cast<size_t>(escape_toml_at(buf->data + buf->pos, input, input_len) - buf->data);
    return true;
}

}  // namespace wrenfold::common
