// Whether a text is a TOML integer or float, as a reader would accept it unquoted. Plain C++
// with no Python dependency.
#pragma once

#include <cstddef>
#include <cstring>

namespace wrenfold::common {

namespace detail {

inline bool is_digit_in(char c, int base) {
    if (c >= '0' && c <= '9') {
        return c - '0' < base;
    }
    return base == 16 && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'));
}

// Digits of `base`, single underscores allowed between two of them; advances `p`. False when
// there is no digit or an underscore is misplaced.
inline bool digits(const char*& p, const char* end, int base) {
    if (p == end || !is_digit_in(*p, base)) {
        return false;
    }
    for (p++; p < end; p++) {
        if (*p == '_') {
            if (p + 1 == end || !is_digit_in(p[1], base)) {
                return false;
            }
        } else if (!is_digit_in(*p, base)) {
            break;
        }
    }
    return true;
}

inline bool starts_with(const char* p, const char* end, const char* word) {
    const size_t n = std::strlen(word);
    return static_cast<size_t>(end - p) >= n && std::memcmp(p, word, n) == 0;
}

}  // namespace detail

// True when the `size` bytes at `s` are a TOML integer (decimal with an optional sign, or
// 0x / 0o / 0b) or a TOML float (a decimal integer part with a fraction, an exponent or both;
// or inf or nan with an optional sign).
inline bool is_toml_number(const char* s, size_t size) {
    const char* p = s;
    const char* const end = s + size;
    if (end - p > 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'o' || p[1] == 'b')) {
        const int base = p[1] == 'x' ? 16 : p[1] == 'o' ? 8 : 2;
        p += 2;
        return detail::digits(p, end, base) && p == end;
    }
    if (p < end && (*p == '+' || *p == '-')) {
        p++;
    }
    if (detail::starts_with(p, end, "inf") || detail::starts_with(p, end, "nan")) {
        return end - p == 3;
    }
    // No leading zeros: "0" alone, or a digit from 1.
    if (p < end && *p == '0') {
        p++;
    } else if (!detail::digits(p, end, 10)) {
        return false;
    }
    if (p < end && *p == '.') {
        p++;
        if (!detail::digits(p, end, 10)) {
            return false;
        }
    }
    if (p < end && (*p == 'e' || *p == 'E')) {
        p++;
        if (p < end && (*p == '+' || *p == '-')) {
            p++;
        }
        if (!detail::digits(p, end, 10)) {
            return false;
        }
    }
    return p == end;
}

}  // namespace wrenfold::common
