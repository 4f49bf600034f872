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

class DictWalk;

// Append-only output; the content is the first `pos` bytes of `data`, not NUL-terminated.
struct Buffer {
    char* data;
    size_t pos;
    size_t capacity;
    // Cleared by whoever appends (or notes) text that is not ASCII; while set, the content
    // can become a str without a UTF-8 decoding pass.
    bool ascii;
    // When set, growth calls this instead of realloc: it returns a block of `capacity` bytes
    // holding the content (releasing the old one), or null and leaves the buffer as it was.
    char* (*grow)(Buffer* buf, size_t capacity);
    // Set by `grow` when it moved the content into a block that this object owns; buf_free
    // then leaves the block to whoever set `grow`.
    void* owner;
    // What the writer keeps beside the buffer, if anything; buf_free ignores it.
    void* user;
    // The innermost of the dicts that the writer is walking, if it keeps track of them.
    DictWalk* walks;
    // When set, a buffer that is full first hands its content to this, which empties it
    // (`pos` 0) and returns true, or returns false and leaves the buffer as it was. The
    // buffer grows only for a write larger than its whole capacity.
    bool (*drain)(Buffer* buf);
    void* sink;  // where `drain` puts the content
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
    buf->ascii = true;
    buf->grow = nullptr;
    buf->owner = nullptr;
    buf->user = nullptr;
    buf->walks = nullptr;
    buf->drain = nullptr;
    buf->sink = nullptr;
    return buf;
}

inline void buf_free(Buffer* buf) {
    if (buf == nullptr) {
        return;
    }
    if (buf->data != nullptr && buf->owner == nullptr) {
        std::free(buf->data);
    }
    std::free(buf);
}

namespace detail {

// Larger blocks could not be indexed by ptrdiff_t (nor decoded into a str).
inline constexpr size_t kMaxCapacity = static_cast<size_t>(PTRDIFF_MAX);

// Out of line: the estimate makes growth rare, and the append path stays small.
[[gnu::noinline, gnu::cold]] inline bool buf_grow(Buffer* buf, size_t needed) {
    if (buf->drain != nullptr && buf->pos > 0) {
        if (!buf->drain(buf)) {
            return false;
        }
        if (needed <= buf->capacity) {
            return true;
        }
    }
    size_t required;
    size_t capacity;
    if (__builtin_add_overflow(buf->pos, needed, &required) ||
        __builtin_mul_overflow(required, size_t{2}, &capacity) || capacity > kMaxCapacity) {
        return false;
    }
    const auto resize = [buf](size_t size) {
        return buf->grow != nullptr ? buf->grow(buf, size)
                                    : static_cast<char*>(std::realloc(buf->data, size));
    };
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

}  // namespace detail

// Room for `needed` more bytes. False (buffer unchanged) when the size overflows, the
// allocation fails or the drain fails.
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

// Appends `input` (well-formed UTF-8) with the TOML escapes applied, into room the caller has
// reserved with escape_reservation. Copies each clean run with one memcpy.
inline void escape_toml_reserved(Buffer* buf, const char* input, size_t input_len) {
    const char* p = input;
    const char* const end = input + input_len;
    char* out = buf->data + buf->pos;
    for (;;) {
        const size_t run = first_escape(p, static_cast<size_t>(end - p));
        std::memcpy(out, p, run);
        out += run;
        p += run;
        if (p == end) {
            break;
        }
        const unsigned char c = static_cast<unsigned char>(*p++);
        out = detail::put_escape(out, c, kEscape.cls[c]);
    }
    buf->pos = static_cast<size_t>(out - buf->data);
}

// Appends `input` (well-formed UTF-8) with the TOML escapes applied. False (buffer
// unchanged) when the reservation fails.
inline bool escape_toml_to_buf(Buffer* buf, const char* input, size_t input_len) {
    size_t room;
    if (!escape_reservation(input, input_len, &room) || !buf_ensure(buf, room)) [[unlikely]] {
        return false;
    }
    escape_toml_reserved(buf, input, input_len);
    return true;
}

}  // namespace wrenfold::common
