// The grammar of TOML's integers and floats, for the reader and for writers that must know
// whether a number's own text reads back as a number. Plain C++ with no Python dependency.
#pragma once

#include <cstddef>
#include <cstring>

namespace wrenfold::common {

namespace detail {

[[gnu::always_inline]] inline bool is_digit_in(char c, int base) {
    if (static_cast<unsigned>(c - '0') < 10u) {
        return c - '0' < base;
    }
    return base == 16 && static_cast<unsigned>((c | 0x20) - 'a') < 6u;
}

// Past digits of `base` from `p`, single underscores allowed between two of them; `p` itself
// when there is no digit. `count` gets the digits. Inline, so that the base is a constant.
[[gnu::always_inline]] inline const char* digits(const char* p, const char* end, int base,
                                                 size_t* count) {
    size_t n = 0;
    while (p < end) {
        if (is_digit_in(*p, base)) {
            p++;
            n++;
        } else if (*p == '_' && n > 0 && p + 1 < end && is_digit_in(p[1], base)) {
            p++;
        } else {
            break;
        }
    }
    *count += n;
    return p;
}

inline bool digit_at(const char* p, const char* end) {
    return p < end && static_cast<unsigned>(*p - '0') < 10u;
}

}  // namespace detail

// The longest TOML number at the start of a text: what follows it is for the caller to accept
// or refuse.
struct TomlNumber {
    enum Kind : unsigned char {
        kNone,     // not a number
        kInteger,  // decimal, with an optional sign
        kRadix,    // 0x, 0o or 0b and digits of `base`
        kFloat,    // a decimal integer part with a fraction, an exponent or both
        kSpecial,  // inf or nan, with an optional sign
    };
    const char* end;  // past the number
    Kind kind;
    unsigned char base;
    size_t digits;  // of the integer part, or of a kRadix
};

inline TomlNumber scan_toml_number(const char* s, const char* end) {
    if (end - s > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'o' || s[1] == 'b')) {
        const int base = s[1] == 'x' ? 16 : s[1] == 'o' ? 8 : 2;
        if (detail::is_digit_in(s[2], base)) {
            size_t count = 0;
            const char* stop = detail::digits(s + 2, end, base, &count);
            return {stop, TomlNumber::kRadix, static_cast<unsigned char>(base), count};
        }
    }
    const char* p = s < end && (*s == '+' || *s == '-') ? s + 1 : s;
    if (!detail::digit_at(p, end)) {
        if (end - p >= 3 && (std::memcmp(p, "inf", 3) == 0 || std::memcmp(p, "nan", 3) == 0)) {
            return {p + 3, TomlNumber::kSpecial, 10, 0};
        }
        return {s, TomlNumber::kNone, 10, 0};
    }
    size_t count = 0;
    // No leading zeros: a 0 is the whole integer part.
    p = *p == '0' ? (count = 1, p + 1) : detail::digits(p, end, 10, &count);
    TomlNumber::Kind kind = TomlNumber::kInteger;
    size_t fraction = 0;
    if (p < end && *p == '.' && detail::digit_at(p + 1, end)) {
        p = detail::digits(p + 1, end, 10, &fraction);
        kind = TomlNumber::kFloat;
    }
    if (p < end && (*p == 'e' || *p == 'E')) {
        const char* e = p + 1;
        if (e < end && (*e == '+' || *e == '-')) {
            e++;
        }
        if (detail::digit_at(e, end)) {
            p = detail::digits(e, end, 10, &fraction);
            kind = TomlNumber::kFloat;
        }
    }
    return {p, kind, 10, count};
}

// True when the `size` bytes at `s` are a TOML integer or float, and nothing more.
inline bool is_toml_number(const char* s, size_t size) {
    const TomlNumber n = scan_toml_number(s, s + size);
    return n.kind != TomlNumber::kNone && n.end == s + size;
}

}  // namespace wrenfold::common
