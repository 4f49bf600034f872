// Values written through a cursor, inline: the kinds that need no call out to Python code
// (exact str, int, float, bool, None), and arrays of them. Everything else goes through
// _value_to_buf. Used by the loops over records, arrays and inline tables.
#pragma once

#include "inkwright.hpp"
#include "wide_text.hpp"

#include <wrenfold/_cpp/common/int_value.hpp>
#include <wrenfold/_cpp/common/number_format.hpp>

namespace wrenfold::inkwright {

// What a writer of the cursor's kinds did with a value.
enum class Put {
    kWritten,
    kOther,   // not of its kinds, or text to escape (or refuse): nothing written
    kFailed,  // an exception is set
};

// How writing an item went, for loops that read ahead: whether user code may have run.
enum class Item {
    kWritten,    // no user code ran
    kCalledOut,  // written, but user code may have run
    kFailed,     // an exception is set
};

// An exact str of ASCII text, quoted, unless escaping would change it or (raw) it holds text
// that raw TOML cannot carry, which the string writer refuses.
[[gnu::always_inline]] inline Put put_ascii_str(Cursor& c, PyObject* s, int escape_strings) {
    const char* text = static_cast<const char*>(PyUnicode_DATA(s));
    const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(s));
    if (c.reserve(n + 2) < 0) [[unlikely]] {
        return Put::kFailed;
    }
    const char quote = B_QUOTE[0];
    char* out = c.at();
    out[0] = quote;
    if (!escape_strings) {
        // Tabs pass raw.
        if (!common::copy_clean_text(out + 1, text, n)) {
            if (!raw_safe(text, n)) {
                return Put::kOther;
            }
            common::copy_text(out + 1, text, n);
        }
    } else if (!common::copy_clean_text(out + 1, text, n)) {
        return Put::kOther;  // written escaped elsewhere; the cursor has not moved
    }
    out[n + 1] = quote;
    c.advance_to(out + n + 2);
    return Put::kWritten;
}

// An exact str beyond ASCII, noted between quotes at the cursor when the output notes text
// and has room for a note at once: unchecked while the output defers checks, else only one
// with nothing to escape (nor to refuse, raw) and no lone surrogate. kOther without writing
// anything for every other text, which the string writer takes (and does the same, a few
// calls deeper).
[[gnu::always_inline]] inline Put put_wide_str(Cursor& c, PyObject* s, int escape_strings) {
    Output* const output = c.output();
    if (!output->can_note()) {
        return Put::kOther;
    }
    const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(s));
    const int kind = PyUnicode_KIND(s);
    const bool unchecked = escape_strings && output->defers_checks();
    if (kind == PyUnicode_4BYTE_KIND ||
        (!unchecked && (kind == PyUnicode_2BYTE_KIND ? !wide::clean(PyUnicode_2BYTE_DATA(s), n)
                                                     : !wide::clean(PyUnicode_1BYTE_DATA(s), n)))) {
        return Put::kOther;
    }
    if (c.reserve(2) < 0) {
        return Put::kFailed;
    }
    char* out = c.at();
    out[0] = out[1] = B_QUOTE[0];
    c.advance_to(out + 2);
    const Py_UCS4 max_char = kind == PyUnicode_1BYTE_KIND ? 0xFF : 0xFFFF;
    if (unchecked) {
        output->note_unchecked(output->offset_of(out + 1), s, n, max_char);
    } else {
        output->note(output->offset_of(out + 1), s, n, 0, max_char);
    }
    return Put::kWritten;
}

// An exact int within 64 bits, as str() writes it.
[[gnu::always_inline]] inline Put put_int(Cursor& c, PyObject* value) {
    long long n;
    if (!common::int64_value(value, &n)) {
        return Put::kOther;
    }
    if (c.reserve(common::kMaxInt64Chars) < 0) [[unlikely]] {
        return Put::kFailed;
    }
    c.advance_to(common::format_int64(n, c.at()));
    return Put::kWritten;
}

// The formatter may use its whole window as scratch, past the end it returns: the Output's
// scratch room takes what lies beyond the longest text.
[[gnu::always_inline]] inline Put put_float(Cursor& c, PyObject* value) {
    if (c.reserve(common::kMaxDoubleReprLen) < 0) [[unlikely]] {
        return Put::kFailed;
    }
    c.advance_to(common::format_double_repr(PyFloat_AS_DOUBLE(value), c.at()));
    return Put::kWritten;
}

[[gnu::always_inline]] inline Put put_token(Cursor& c, const char* token, size_t size) {
    if (c.reserve(size) < 0) [[unlikely]] {
        return Put::kFailed;
    }
    c.put(token, size);
    return Put::kWritten;
}

// Writes `value` when it is an exact str of ASCII text (with nothing to escape, when
// escaping), an exact int within 64 bits, an exact float, a bool or None. None of these runs
// user code.
[[gnu::always_inline]] inline Put put_scalar(Cursor& c, PyObject* value, int escape_strings) {
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyUnicode_Type) {
        return PyUnicode_IS_ASCII(value) ? put_ascii_str(c, value, escape_strings)
                                         : put_wide_str(c, value, escape_strings);
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
    return Put::kOther;
}

// The rest of item_to_cursor, once put_scalar has given `put` (not kWritten) for `value`.
[[gnu::always_inline]] inline Item item_after_scalar(Cursor& c, PyObject* value, Put put,
                                                     int escape_strings) {
    if (put == Put::kFailed) {
        INK_FAIL("_value_to_buf");
        return Item::kFailed;
    }
    if (Py_IS_TYPE(value, &PyUnicode_Type)) {
        // Text to escape or beyond ASCII: straight to the string writer, no user code.
        if (c.hand_over([&](Output* out) {
                return _escaped_quoted_value(out, value, escape_strings);
            }) < 0) {
            INK_FAIL("_value_to_buf");
            return Item::kFailed;
        }
        return Item::kWritten;
    }
    const int status =
        c.hand_over([&](Output* out) { return _value_to_buf(out, value, escape_strings); });
    return status < 0 ? Item::kFailed : Item::kCalledOut;
}

// An item of a container: the scalar kinds through the cursor, the rest through
// _value_to_buf.
[[gnu::always_inline]] inline Item item_to_cursor(Cursor& c, PyObject* value, int escape_strings) {
    const Put put = put_scalar(c, value, escape_strings);
    if (put == Put::kWritten) [[likely]] {
        return Item::kWritten;
    }
    return item_after_scalar(c, value, put, escape_strings);
}

// The items of the list or tuple `arr` as an array; kCalledOut when an item went through
// _value_to_buf.
[[gnu::always_inline]] inline Item array_to_cursor(Cursor& c, PyObject* arr, int escape_strings) {
    if (c.reserve(2) < 0) {
        return Item::kFailed;
    }
    c.put(B_OPEN_BRACKET, INK_LEN(OPEN_BRACKET));
    c.put(B_SPACE, INK_LEN(SPACE));
    Item done = Item::kWritten;
    const bool list = PyList_Check(arr);
    if (list || PyTuple_Check(arr)) {
        // A tuple is immutable and kept alive by whoever handed it to us. A __str__ further
        // down may shrink a list: stop at its current end.
        const Py_ssize_t n = Py_SIZE(arr);
        for (Py_ssize_t i = 0; i < n && (!list || i < PyList_GET_SIZE(arr)); i++) {
            if (i > 0) {
                if (c.reserve(2) < 0) {
                    return Item::kFailed;
                }
                c.put(B_COMMA_SPACE, INK_LEN(COMMA_SPACE));
            }
            // _value_to_buf holds the item itself wherever user code can run.
            PyObject* item = list ? PyList_GET_ITEM(arr, i) : PyTuple_GET_ITEM(arr, i);
            const Item status = item_to_cursor(c, item, escape_strings);
            if (status == Item::kFailed) {
                return Item::kFailed;
            }
            if (status == Item::kCalledOut) {
                done = Item::kCalledOut;
            }
        }
    }
    if (c.reserve(2) < 0) {
        return Item::kFailed;
    }
    c.put(B_SPACE, INK_LEN(SPACE));
    c.put(B_CLOSE_BRACKET, INK_LEN(CLOSE_BRACKET));
    return done;
}

}  // namespace wrenfold::inkwright
