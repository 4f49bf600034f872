// Python values as TOML values: scalars, arrays from lists and tuples, inline tables from
// dicts, nested to any depth.
#include "inkwright.hpp"

#include <wrenfold/_cpp/common/number_format.hpp>
#include <wrenfold/_cpp/common/recursion.hpp>
#include <wrenfold/_cpp/common/ref.hpp>

namespace wrenfold::inkwright {

using common::Ref;

namespace {

// The text of str(value), unquoted: subclasses (with their own __str__) and ints beyond 64
// bits, so that the interpreter's digit limit still applies.
int number_str_to_buf(Buffer* buf, PyObject* value) {
    Ref text(PyObject_Str(value));
    if (!text || buf_write_str(buf, text.get()) < 0) {
        return -1;
    }
    return 0;
}

// --- the kinds written without a call out: through a cursor, inline --------------------------

// An exact str of ASCII text, quoted, unless escaping would change it.
[[gnu::always_inline]] inline int put_ascii_str(Cursor& c, PyObject* s, int escape_strings) {
    const char* text = static_cast<const char*>(PyUnicode_DATA(s));
    const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(s));
    if (escape_strings && common::first_escape(text, n) != n) {
        return 0;
    }
    if (!c.reserve(n + 2)) [[unlikely]] {
        return -1;
    }
    const char quote = B_QUOTE[0];
    char* out = c.out();
    out[0] = quote;
    common::copy_text(out + 1, text, n);
    out[n + 1] = quote;
    c.advance_to(out + n + 2);
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
        return PyUnicode_IS_ASCII(value) ? put_ascii_str(c, value, escape_strings) : 0;
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

// An item of a container: the scalar kinds through the cursor, the rest through
// _value_to_buf. 0 when written through the cursor, 1 when through _value_to_buf (user code
// may have run), -1 with an exception set.
[[gnu::always_inline]] inline int item_to_cursor(Cursor& c, PyObject* value, int escape_strings) {
    const int written = put_scalar(c, value, escape_strings);
    if (written > 0) [[likely]] {
        return 0;
    }
    if (written < 0) {
        return INK_NO_MEMORY("_value_to_buf");
    }
    c.commit();
    const int status = _value_to_buf(c.buffer(), value, escape_strings);
    c.load();
    return status < 0 ? -1 : 1;
}

[[gnu::cold]] int no_room() {
    PyErr_NoMemory();
    return -1;
}

// --- containers ------------------------------------------------------------------------------

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

int array_items(Buffer* buf, PyObject* arr, int escape_strings) {
    Cursor c(buf);
    const int status = array_to_cursor(c, arr, escape_strings);
    c.commit();
    return status < 0 ? -1 : 0;
}

// A list or tuple that is a record's field, without the calls and the recursion guard of
// _value_to_buf: an array of scalars (tags, say) is the common case. Deeper containers still
// go through _value_to_buf, guarded. As array_to_cursor.
int record_array_to_buf(Buffer* buf, PyObject* arr, int escape_strings) {
    // An item's __str__ may drop the record's reference to the array.
    Ref held = Ref::borrow(arr);
    Cursor c(buf);
    const int status = array_to_cursor(c, arr, escape_strings);
    c.commit();
    if (status < 0) {
        // The traceback of the path that _value_to_buf takes.
        INK_FAIL("_array_to_buf");
        return INK_FAIL("_value_to_buf");
    }
    return status;
}

// The entries of `d` as an inline table; a record's line, with its indent and ",\n", when
// `Line`. One copy per mode: the flag is tested for every string.
template <bool Line, int escape_strings>
int table_items(Buffer* buf, PyObject* d, KeyMemo* memo) {
    Cursor c(buf);
    if (!c.reserve(INK_LEN(INDENT) + 2)) {
        return no_room();
    }
    if (Line) {
        c.put(B_INDENT, INK_LEN(INDENT));
    }
    c.put(B_OPEN_BRACE, INK_LEN(OPEN_BRACE));
    c.put(B_SPACE, INK_LEN(SPACE));
    if (PyDict_Check(d)) {
        const Py_ssize_t size = PyDict_GET_SIZE(d);
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        bool first = true;
        for (Py_ssize_t slot = 0; PyDict_Next(d, &pos, &key, &value); slot++) {
            if (value == Py_None) {
                continue;
            }
            if (!c.reserve(INK_LEN(COMMA_SPACE) + KeyMemo::kRoom)) {
                return no_room();
            }
            if (!first) {
                c.put(B_COMMA_SPACE, INK_LEN(COMMA_SPACE));
            }
            first = false;
            // The key is written before any user code can run; _value_to_buf holds the
            // value itself wherever user code can run.
            if (!Line || !memo->put(c, slot, key)) {
                c.commit();
                if (_key_to_buf(buf, key, escape_strings) < 0 || insert_equals(buf) < 0) {
                    return -1;
                }
                c.load();
            }
            PyTypeObject* type = Py_TYPE(value);
            int status;
            if (Line && (type == &PyList_Type || type == &PyTuple_Type)) {
                c.commit();
                status = record_array_to_buf(buf, value, escape_strings);
                c.load();
            } else {
                status = item_to_cursor(c, value, escape_strings);
            }
            if (status < 0) {
                return -1;
            }
            if (status > 0 && PyDict_GET_SIZE(d) != size) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                return -1;
            }
        }
    }
    if (!c.reserve(2 + INK_LEN(COMMA) + INK_LEN(NEWLINE))) {
        return no_room();
    }
    c.put(B_SPACE, INK_LEN(SPACE));
    c.put(B_CLOSE_BRACE, INK_LEN(CLOSE_BRACE));
    if (Line) {
        c.put(B_COMMA, INK_LEN(COMMA));
        c.put(B_NEWLINE, INK_LEN(NEWLINE));
    }
    c.commit();
    return 0;
}

// Containers, subclasses and other objects: their writing can run user code, which could
// drop the last other reference to `value`.
int held_value_to_buf(Buffer* buf, PyObject* value, int escape_strings) {
    Ref held = Ref::borrow(value);
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyDict_Type) {
        return _inline_table_to_buf(buf, value, escape_strings);
    }
    if (type == &PyList_Type || type == &PyTuple_Type) {
        return _array_to_buf(buf, value, escape_strings);
    }
    if (PyLong_Check(value) || PyFloat_Check(value)) {
        // Subclasses, with their own __str__ if they have one, and ints beyond 64 bits.
        return number_str_to_buf(buf, value);
    }
    if (PyUnicode_Check(value)) {
        return _escaped_quoted_value(buf, value, escape_strings);
    }
    if (PyList_Check(value) || PyTuple_Check(value)) {
        return _array_to_buf(buf, value, escape_strings);
    }
    if (PyDict_Check(value)) {
        return _inline_table_to_buf(buf, value, escape_strings);
    }
    // str(value) as a quoted string, for objects of no TOML kind.
    Ref text(PyObject_Str(value));
    if (!text || _escaped_quoted_value(buf, text.get(), escape_strings) < 0) {
        return -1;
    }
    return 0;
}

}  // namespace

int _value_to_buf(Buffer* buf, PyObject* value, int escape_strings) {
    Cursor c(buf);
    int status = put_scalar(c, value, escape_strings);
    if (status > 0) [[likely]] {
        c.commit();
        return 0;
    }
    if (status < 0) {
        return INK_NO_MEMORY("_value_to_buf");
    }
    if (held_value_to_buf(buf, value, escape_strings) < 0) {
        return INK_FAIL("_value_to_buf");
    }
    return 0;
}

int _array_to_buf(Buffer* buf, PyObject* arr, int escape_strings) {
    common::RecursionGuard guard(" while encoding a TOML array");
    if (!guard.entered() || array_items(buf, arr, escape_strings) < 0) {
        return INK_FAIL("_array_to_buf");
    }
    return 0;
}

int _inline_table_to_buf(Buffer* buf, PyObject* d, int escape_strings) {
    common::RecursionGuard guard(" while encoding a TOML inline table");
    if (!guard.entered() || (escape_strings ? table_items<false, 1>(buf, d, nullptr)
                                            : table_items<false, 0>(buf, d, nullptr)) < 0) {
        return INK_FAIL("_inline_table_to_buf");
    }
    return 0;
}

int record_line_to_buf(Buffer* buf, PyObject* record, int escape_strings, KeyMemo* memo) {
    // Records are written from the table's loop, not from a nested value: no recursion.
    const int status = escape_strings ? table_items<true, 1>(buf, record, memo)
                                      : table_items<true, 0>(buf, record, memo);
    if (status < 0) {
        return INK_FAIL("_inline_table_to_buf");
    }
    return 0;
}

int char_true(Buffer* buf, const char* key) {
    if (write_token(buf, key, WF_INK "char_true") < 0 || insert_equals(buf) < 0 ||
        insert_true(buf) < 0) {
        return INK_FAIL("char_true");
    }
    return 0;
}

}  // namespace wrenfold::inkwright
