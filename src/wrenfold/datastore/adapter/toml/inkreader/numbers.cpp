// Integers and floats. A number is scanned as far as the grammar allows; whatever follows is
// for the caller to accept or refuse.
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>

#include <wrenfold/_cpp/common/toml_number.hpp>

#include "inkreader.hpp"
#include "plain_number.hpp"

namespace wrenfold::inkreader {

namespace {

PyObject* int_from_magnitude(bool negative, uint64_t m) {
    constexpr uint64_t kMaxLong = uint64_t{1} << 63;
    if (!negative) {
        return m < kMaxLong ? PyLong_FromLongLong(static_cast<long long>(m))
                            : PyLong_FromUnsignedLongLong(m);
    }
    if (m <= kMaxLong) {
        return PyLong_FromLongLong(static_cast<long long>(0 - m));
    }
    Ref magnitude(PyLong_FromUnsignedLongLong(m));
    return magnitude ? PyNumber_Negative(magnitude.get()) : nullptr;
}

}  // namespace

PyObject* Parser::number() {
    const char* start = p_;
    const PlainNumber plain = read_plain_number(start, end_);
    if (plain.kind == PlainNumber::kInteger) {
        p_ = plain.end;
        return int_from_magnitude(plain.negative, plain.magnitude);
    }
    if (parse_float_ == nullptr) {
        if (plain.kind == PlainNumber::kFloat) {
            p_ = plain.end;
            return PyFloat_FromDouble(plain.value);
        }
        if (plain.kind == PlainNumber::kFloatText && *start != '+') {
            // Nothing to take out of the text before from_chars reads it.
            p_ = plain.end;
            return float_from_chars(start, plain.end);
        }
    }
    const common::TomlNumber n = common::scan_toml_number(start, end_);
    p_ = n.end;
    switch (n.kind) {
        case common::TomlNumber::kInteger: return decimal_int(start, n.end, n.digits);
        case common::TomlNumber::kFloat: return float_from_text(start, n.end);
        case common::TomlNumber::kRadix: return radix_int(start + 2, n.end, n.base);
        case common::TomlNumber::kSpecial: return special_float(start);
        default: return error_at(start, "Invalid value");
    }
}

PyObject* Parser::decimal_int(const char* start, const char* stop, size_t count) {
    if (count <= 19) {
        uint64_t v = 0;
        for (const char* p = start; p < stop; p++) {
            if (is(*p, cls::kDigit)) {
                v = v * 10 + static_cast<uint64_t>(*p - '0');
            }
        }
        return int_from_magnitude(*start == '-', v);
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

// The digits of `base` from `start` to `stop`, underscores among them.
PyObject* Parser::radix_int(const char* start, const char* stop, int base) {
    scratch_.clear();
    unsigned long long v = 0;
    bool small = true;
    for (const char* p = start; p < stop; p++) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c == '_') {
            continue;
        }
        const unsigned d = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
        small = small && v <= (~0ull - d) / static_cast<unsigned>(base);
        v = v * static_cast<unsigned>(base) + d;
        scratch_ += static_cast<char>(c);
    }
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
    String& big = scratch_;
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
    return float_from_chars(buf, buf + len);
}

// The float of a decimal text with no sign but '-' and no underscore.
PyObject* Parser::float_from_chars(const char* start, const char* stop) {
    double d;
    const auto [ptr, ec] = std::from_chars(start, stop, d);
    if (ec == std::errc::result_out_of_range) {
        // Beyond the range of a double: float() gives an infinity or zero.
        const String text(start, stop);
        d = PyOS_string_to_double(text.c_str(), nullptr, nullptr);
        if (d == -1.0 && PyErr_Occurred()) {
            return nullptr;
        }
    } else if (ec != std::errc() || ptr != stop) {
        PyErr_SetString(PyExc_SystemError, "inkreader: a scanned float did not read back");
        return nullptr;
    }
    return PyFloat_FromDouble(d);
}

// inf or nan, signed or not, from `start` to the parser's position.
PyObject* Parser::special_float(const char* start) {
    if (parse_float_ != nullptr) {
        return float_from_text(start, p_);
    }
    const char* word = *start == '+' || *start == '-' ? start + 1 : start;
    const double magnitude = word[0] == 'i' ? HUGE_VAL : std::nan("");
    return PyFloat_FromDouble(*start == '-' ? -magnitude : magnitude);
}

}  // namespace wrenfold::inkreader
