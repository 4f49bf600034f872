// The plain forms of TOML's decimal numbers read in one pass, with their values: nearly every
// number a document holds. Plain C++ with no Python dependency.
//
// Only what is sure is read here: a form the full grammar must judge (underscores, leading
// zeros, a radix prefix, a number that something other than a separator follows) is left to
// the full scan, and a float whose exact value needs more than one rounding only delimited.
#pragma once

#include <cfloat>
#include <cstddef>
#include <cstdint>

namespace wrenfold::inkreader {

struct PlainNumber {
    // kFloatText: a float of the plain form whose value needs the full reading of its text.
    enum Kind : unsigned char { kNone, kInteger, kFloat, kFloatText };
    Kind kind;
    bool negative;       // of an integer: its magnitude is in `magnitude`
    const char* end;     // past the number
    uint64_t magnitude;  // kInteger
    double value;        // kFloat, sign included
};

namespace detail {

inline bool is_decimal(char c) {
    return static_cast<unsigned>(c - '0') < 10u;
}

// What may follow a value in a document: white space, a line end, a comment, a separator.
inline bool ends_value(const char* p, const char* end) {
    if (p == end) {
        return true;
    }
    switch (*p) {
        case ' ':
        case '\t':
        case '\n':
        case '\r':
        case ',':
        case ']':
        case '}':
        case '#': return true;
        default: return false;
    }
}

// Powers of ten that a double holds exactly.
inline constexpr double kExactPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                          1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                          1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

}  // namespace detail

inline PlainNumber read_plain_number(const char* s, const char* end) {
    const PlainNumber none{PlainNumber::kNone, false, s, 0, 0.0};
    const char* p = s;
    const bool negative = p < end && *p == '-';
    if (p < end && (*p == '-' || *p == '+')) {
        p++;
    }
    if (p == end || !detail::is_decimal(*p)) {
        return none;
    }
    const char* digits = p;
    uint64_t m = 0;
    while (p < end && detail::is_decimal(*p)) {
        m = m * 10 + static_cast<uint64_t>(*p - '0');
        p++;
    }
    size_t count = static_cast<size_t>(p - digits);
    if (count > 19 || (*digits == '0' && count > 1)) {
        return none;
    }
    if (p == end || (*p != '.' && *p != 'e' && *p != 'E')) {
        if (!detail::ends_value(p, end)) {
            return none;
        }
        return {PlainNumber::kInteger, negative, p, m, 0.0};
    }
    int exponent = 0;
    if (*p == '.') {
        const char* fraction = ++p;
        while (p < end && detail::is_decimal(*p)) {
            m = m * 10 + static_cast<uint64_t>(*p - '0');
            p++;
        }
        const size_t places = static_cast<size_t>(p - fraction);
        count += places;
        if (places == 0 || count > 19) {
            return none;
        }
        exponent = -static_cast<int>(places);
    }
    if (p < end && (*p == 'e' || *p == 'E')) {
        p++;
        const bool down = p < end && *p == '-';
        if (p < end && (*p == '-' || *p == '+')) {
            p++;
        }
        const char* first = p;
        int e = 0;
        while (p < end && detail::is_decimal(*p) && p - first < 4) {
            e = e * 10 + (*p - '0');
            p++;
        }
        if (p == first || (p < end && detail::is_decimal(*p))) {
            return none;
        }
        exponent += down ? -e : e;
    }
    if (!detail::ends_value(p, end)) {
        return none;
    }
    // One rounding: the digits and the power of ten are both exact in a double, so their
    // product or quotient is the correctly rounded value (with no wider intermediate).
    constexpr uint64_t kExactInt = uint64_t{1} << 53;
    while (m > kExactInt && m % 10 == 0) {
        m /= 10;
        exponent++;
    }
#if FLT_EVAL_METHOD == 0
    if (m <= kExactInt && exponent >= -22 && exponent <= 22) {
        const double d = static_cast<double>(m);
        const double v =
            exponent < 0 ? d / detail::kExactPowers[-exponent] : d * detail::kExactPowers[exponent];
        return {PlainNumber::kFloat, negative, p, 0, negative ? -v : v};
    }
#endif
    return {PlainNumber::kFloatText, negative, p, 0, 0.0};
}

}  // namespace wrenfold::inkreader
