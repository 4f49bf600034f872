// Integers and floats. A number is scanned as far as the grammar allows; whatever follows is
// for the caller to accept or refuse.
#include <charconv>
#include <cmath>
#include <cstring>

#include "inkreader.hpp"

namespace wrenfold::inkreader {

namespace {

inline bool digit(const char* p, const char* end) {
    return p < end && is(*p, cls::kDigit);
}

// Past a run of digits where single underscores may stand between two digits; `count` gets
// the digits.
const char* digits(const char* p, const char* end, size_t* count) {
    size_t n = 0;
    while (p < end) {
        if (is(*p, cls::kDigit)) {
            p++;
            n++;
        } else if (*p == '_' && n > 0 && digit(p + 1, end)) {
            p++;
        } else {
            break;
        }
    }
    *count += n;
    return p;
}

int radix_digit(unsigned char c, int base) {
    int v = c <= '9'                                   ? c - '0'
            : ((c | 0x20) >= 'a' && (c | 0x20) <= 'f') ? (c | 0x20) - 'a' + 10
                                                       : 99;
    return c >= '0' && v < base ? v : -1;
}

}  // namespace

PyObject* Parser::number() {
    const char* s = p_;
    if (end_ - s > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'o' || s[1] == 'b')) {
        const int base = s[1] == 'x' ? 16 : s[1] == 'o' ? 8 : 2;
        if (radix_digit(static_cast<unsigned char>(s[2]), base) >= 0) {
            return radix_int(base);
        }
    }
    const char* q = s;
    if (q < end_ && (*q == '+' || *q == '-')) {
        q++;
    }
    if (!digit(q, end_)) {
        return special_float();
    }
    size_t count = 0;
    // No leading zeros: a 0 is the whole integer part.
    q = *q == '0' ? (count = 1, q + 1) : digits(q, end_, &count);
    bool is_float = false;
    if (q < end_ && *q == '.' && digit(q + 1, end_)) {
        size_t fraction = 0;
        q = digits(q + 1, end_, &fraction);
        is_float = true;
    }
    if (q < end_ && (*q == 'e' || *q == 'E')) {
        const char* r = q + 1;
        if (r < end_ && (*r == '+' || *r == '-')) {
            r++;
        }
        if (digit(r, end_)) {
            size_t exponent = 0;
            q = digits(r, end_, &exponent);
            is_float = true;
        }
    }
    p_ = q;
    return is_float ? float_from_text(s, q) : decimal_int(s, q, count);
}

PyObject* Parser::decimal_int(const char* start, const char* stop, size_t count) {
    if (count <= 18) {
        long long v = 0;
        for (const char* p = start; p < stop; p++) {
            if (is(*p, cls::kDigit)) {
                v = v * 10 + (*p - '0');
            }
        }
        return PyLong_FromLongLong(*start == '-' ? -v : v);
    }
    // Long integers go through the interpreter, which also applies its digit limit.
    scratch_.clear();
    for (const char* p = start; p < stop; p++) {
        if (*p != '_' && *p != '+') {
            scratch_ += *p;
        }
    }
    return PyLong_FromString(scratch_.c_str(), nullptr, 10);
}

PyObject* Parser::radix_int(int base) {
    const char* p = p_ + 2;
    scratch_.clear();
    unsigned long long v = 0;
    bool small = true;
    while (p < end_) {
        const int d = radix_digit(static_cast<unsigned char>(*p), base);
        if (d >= 0) {
            small = small && v <= (~0ull - static_cast<unsigned>(d)) / static_cast<unsigned>(base);
            v = v * static_cast<unsigned>(base) + static_cast<unsigned>(d);
            scratch_ += *p++;
        } else if (*p == '_' && !scratch_.empty() && p + 1 < end_ &&
                   radix_digit(static_cast<unsigned char>(p[1]), base) >= 0) {
            p++;
        } else {
            break;
        }
    }
    p_ = p;
    if (small) {
        return PyLong_FromUnsignedLongLong(v);
    }
    return PyLong_FromString(scratch_.c_str(), nullptr, base);
}

// The text of a float goes to parse_float as written, underscores included; the built-in
// float is read here, exactly as float() would.
PyObject* Parser::float_from_text(const char* start, const char* stop) {
    if (parse_float_ != nullptr) {
        Ref text(PyUnicode_FromStringAndSize(start, stop - start));
        if (!text) {
            return nullptr;
        }
        Ref value(PyObject_CallOneArg(parse_float_, text.get()));
        if (value && (PyDict_Check(value.get()) || PyList_Check(value.get()))) {
            PyErr_SetString(PyExc_ValueError, "parse_float must not return dicts or lists");
            return nullptr;
        }
        return value.release();
    }
    char small[64];
    std::string& big = scratch_;
    const size_t n = static_cast<size_t>(stop - start);
    char* buf = small;
    if (n >= sizeof small) {
        big.resize(n + 1);
        buf = big.data();
    }
    size_t len = 0;
    for (const char* p = *start == '+' ? start + 1 : start; p < stop; p++) {
        if (*p != '_') {
            buf[len++] = *p;
        }
    }
    buf[len] = '\0';
    double d;
    const auto [ptr, ec] = std::from_chars(buf, buf + len, d);
    if (ec == std::errc::result_out_of_range) {
        // Beyond the range of a double: float() gives an infinity or zero.
        d = PyOS_string_to_double(buf, nullptr, nullptr);
        if (d == -1.0 && PyErr_Occurred()) {
            return nullptr;
        }
    } else if (ec != std::errc() || ptr != buf + len) {
        PyErr_SetString(PyExc_SystemError, "inkreader: a scanned float did not read back");
        return nullptr;
    }
    return PyFloat_FromDouble(d);
}

// inf and nan, signed or not.
PyObject* Parser::special_float() {
    const char* s = p_;
    const char* word = s < end_ && (*s == '+' || *s == '-') ? s + 1 : s;
    if (end_ - word < 3 || (std::memcmp(word, "inf", 3) != 0 && std::memcmp(word, "nan", 3) != 0)) {
        return error_at(s, "Invalid value");
    }
    p_ = word + 3;
    if (parse_float_ != nullptr) {
        return float_from_text(s, p_);
    }
    const double magnitude = word[0] == 'i' ? HUGE_VAL : std::nan("");
    return PyFloat_FromDouble(*s == '-' ? -magnitude : magnitude);
}

}  // namespace wrenfold::inkreader
