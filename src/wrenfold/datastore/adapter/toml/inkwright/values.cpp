// Python values as TOML values: scalars, and arrays from lists and tuples, nested to any
// depth. Inline tables from dicts are in tables.cpp.
#include "cursor_values.hpp"

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

int array_items(Buffer* buf, PyObject* arr, int escape_strings) {
    Cursor c(buf);
    const int status = array_to_cursor(c, arr, escape_strings);
    c.commit();
    return status < 0 ? -1 : 0;
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

int char_true(Buffer* buf, const char* key) {
    if (write_token(buf, key, WF_INK "char_true") < 0 || insert_equals(buf) < 0 ||
        insert_true(buf) < 0) {
        return INK_FAIL("char_true");
    }
    return 0;
}

}  // namespace wrenfold::inkwright
