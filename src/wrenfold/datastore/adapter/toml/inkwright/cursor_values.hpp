// Values written through a cursor, inline: the kinds that need no call out to Python code
// (exact str, int, float, bool, None), and arrays of them. Everything else goes through
// _value_to_buf. Used by the loops over records, arrays and inline tables.
#pragma once

#include "inkwright.hpp"
#include "wide_text.hpp"

#include <wrenfold/_cpp/common/number_format.hpp>

namespace wrenfold::inkwright {

// The error of a cursor that could not make room; -1.
[[gnu::cold, gnu::noinline]] inline int no_room() {
    set_no_room_error();
    return -1;
}

// An exact str of ASCII text, quoted, unless escaping would change it or (raw) it holds text
// that raw TOML cannot carry, which the string writer refuses.
[[gnu::always_inline]] inline int put_ascii_str(Cursor& c, PyObject* s, int escape_strings) {
    const char* text = static_cast<const char*>(PyUnicode_DATA(s));
    const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(s));
    if (!c.reserve(n + 2)) [[unlikely]] {
        return -1;
    }
    const char quote = B_QUOTE[0];
    char* out = c.out();
    out[0] = quote;
    if (!escape_strings) {
        // Tabs pass raw.
        if (!common::copy_clean_text(out + 1, text, n)) {
            if (!raw_safe(text, n)) {
                return 0;
            }
            common::copy_text(out + 1, text, n);
        }
    } else if (!common::copy_clean_text(out + 1, text, n)) {
        return 0;  // written escaped elsewhere; the cursor has not moved
    }
    out[n + 1] = quote;
    c.advance_to(out + n + 2);
    return 1;
}

// An exact str beyond ASCII, in an encode, with nothing to escape (nor to refuse, raw) and
// no lone surrogate, noted between quotes at the cursor: 1. 0 without writing anything for
// every other text, which the string writer takes; -1 when the buffer cannot grow (no
// exception set). The string writer does the same, a few calls deeper.
[[gnu::always_inline]] inline int put_wide_str(Cursor& c, PyObject* s) {
    auto* output = static_cast<EncodeOutput*>(c.buffer()->user);
    if (output == nullptr || output->runs.count == output->runs.capacity) {
        return 0;
    }
    const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(s));
    const int kind = PyUnicode_KIND(s);
    if (kind == PyUnicode_2BYTE_KIND   ? !wide::clean(PyUnicode_2BYTE_DATA(s), n)
        : kind == PyUnicode_1BYTE_KIND ? !wide::clean(PyUnicode_1BYTE_DATA(s), n)
                                       : true) {
        return 0;
    }
    if (!c.reserve(2)) {
        return -1;
    }
    char* out = c.out();
    out[0] = out[1] = B_QUOTE[0];
    c.advance_to(out + 2);
    Buffer* buf = c.buffer();
    add_run(buf, &output->runs, static_cast<size_t>(out + 1 - buf->data), s, n, 0,
            kind == PyUnicode_1BYTE_KIND ? 0xFF : 0xFFFF);
    return 1;
}

// An exact int within 64 bits, as str() writes it.
[[gnu::always_inline]] inline int put_int(Cursor& c, PyObject* value) {
    long long n;
#if PY_VERSION_HEX >= 0x030C0000
    PyLongObject* v = reinterpret_cast<PyLongObject*>(value);
    if (PyUnstable_Long_IsCompact(v)) [[likely]] {
        n = PyUnstable_Long_CompactValue(v);
    } else
#endif
    {
        int overflow;
        n = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow) {
            return 0;
        }
    }
    if (!c.reserve(common::kMaxInt64Chars)) [[unlikely]] {
        return -1;
    }
    c.advance_to(common::format_int64(n, c.out()));
    return 1;
}

[[gnu::always_inline]] inline int put_float(Cursor& c, PyObject* value) {
    // The formatter may use its whole window as scratch, past the end it returns.
    if (!c.reserve(common::kMaxDoubleReprChars)) [[unlikely]] {
        return -1;
    }
    c.advance_to(common::format_double_repr(PyFloat_AS_DOUBLE(value), c.out()));
    return 1;
}

[[gnu::always_inline]] inline int put_token(Cursor& c, const char* token, size_t size) {
    if (!c.reserve(size)) [[unlikely]] {
        return -1;
    }
    c.put(token, size);
    return 1;
}

// Writes `value` when it is an exact str of ASCII text (with nothing to escape, when
// escaping), an exact int within 64 bits, an exact float, a bool or None: 1. None of these
// runs user code. 0 without writing anything for every other value; -1 when the buffer
// cannot grow (no exception set).
[[gnu::always_inline]] inline int put_scalar(Cursor& c, PyObject* value, int escape_strings) {
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyUnicode_Type) {
        return PyUnicode_IS_ASCII(value) ? put_ascii_str(c, value, escape_strings)
                                         : put_wide_str(c, value);
    }
    if (type == &PyLong_Type) {
        return put_int(c, value);
    }
    if (type == &PyFloat_Type) {
        return put_float(c, value);
    }
    if (value == Py_True) {
        return put_token(c, B_TRUE, INK_LEN(TRUE_));
    }
    if (value == Py_False) {
        return put_token(c, B_FALSE, INK_LEN(FALSE_));
    }
    if (value == Py_None) {
        return put_token(c, B_NULL, INK_LEN(NULL_));
    }
    return 0;
}

// The rest of item_to_cursor, once put_scalar has given `written` (0 or -1) for `value`.
[[gnu::always_inline]] inline int item_after_scalar(Cursor& c, PyObject* value, int written,
                                                    int escape_strings) {
    if (written < 0) {
        return INK_NO_MEMORY("_value_to_buf");
    }
    c.commit();
    if (Py_IS_TYPE(value, &PyUnicode_Type)) {
        // Text to escape or beyond ASCII: straight to the string writer, no user code.
        const int status = _escaped_quoted_value(c.buffer(), value, escape_strings);
        c.load();
        return status < 0 ? INK_FAIL("_value_to_buf") : 0;
    }
    const int status = _value_to_buf(c.buffer(), value, escape_strings);
    c.load();
    return status < 0 ? -1 : 1;
}

// An item of a container: the scalar kinds through the cursor, the rest through
// _value_to_buf. 0 when no user code can have run (written through the cursor, or an exact
// str: text to escape or beyond ASCII), 1 when it may have, -1 with an exception set.
[[gnu::always_inline]] inline int item_to_cursor(Cursor& c, PyObject* value, int escape_strings) {
    const int written = put_scalar(c, value, escape_strings);
    if (written > 0) [[likely]] {
        return 0;
    }
    return item_after_scalar(c, value, written, escape_strings);
}

// The items of the list or tuple `arr` as an array. 0, or 1 when an item went through
// _value_to_buf (user code may have run); -1 with an exception set.
[[gnu::always_inline]] inline int array_to_cursor(Cursor& c, PyObject* arr, int escape_strings) {
    if (!c.reserve(2)) {
        return no_room();
    }
    c.put(B_OPEN_BRACKET, INK_LEN(OPEN_BRACKET));
    c.put(B_SPACE, INK_LEN(SPACE));
    int called_out = 0;
    const bool list = PyList_Check(arr);
    if (list || PyTuple_Check(arr)) {
        // A tuple is immutable and kept alive by whoever handed it to us. A __str__ further
        // down may shrink a list: stop at its current end.
        const Py_ssize_t n = Py_SIZE(arr);
        for (Py_ssize_t i = 0; i < n && (!list || i < PyList_GET_SIZE(arr)); i++) {
            if (i > 0) {
                if (!c.reserve(2)) {
                    return no_room();
                }
                c.put(B_COMMA_SPACE, INK_LEN(COMMA_SPACE));
            }
            // _value_to_buf holds the item itself wherever user code can run.
            PyObject* item = list ? PyList_GET_ITEM(arr, i) : PyTuple_GET_ITEM(arr, i);
            const int status = item_to_cursor(c, item, escape_strings);
            if (status < 0) {
                return -1;
            }
            called_out |= status;
        }
    }
    if (!c.reserve(2)) {
        return no_room();
    }
    c.put(B_SPACE, INK_LEN(SPACE));
    c.put(B_CLOSE_BRACKET, INK_LEN(CLOSE_BRACKET));
    return called_out;
}

}  // namespace wrenfold::inkwright
