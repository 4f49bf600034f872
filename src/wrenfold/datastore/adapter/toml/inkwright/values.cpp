// Python values as TOML values: scalars, and arrays from lists and tuples, nested to any
// depth. Inline tables from dicts are in tables.cpp.
#include "cursor_values.hpp"

#include <wrenfold/_cpp/common/recursion.hpp>
#include <wrenfold/_cpp/common/ref.hpp>
#include <wrenfold/_cpp/common/toml_number.hpp>

namespace wrenfold::inkwright {

using common::Ref;

namespace {

// The digits of an int beyond 64 bits, as str() gives them, so that the interpreter's digit
// limit still applies. int's own conversion, which runs no Python code, also for subclasses.
int long_digits_to_buf(Output* out, PyObject* value) {
    Ref text(PyLong_Type.tp_repr(value));
    if (!text || buf_write_str(out, text.get()) < 0) {
        return -1;
    }
    return 0;
}

// The value of an int or a float (or of a subclass's), written byte for byte as str() of the
// same int or float.
int number_to_buf(Output* out, PyObject* value, bool is_float) {
    Put put;
    {
        Cursor c(out);
        put = is_float ? put_float(c, value) : put_int(c, value);
    }
    if (put == Put::kOther) {
        return long_digits_to_buf(out, value);
    }
    return put == Put::kFailed ? -1 : 0;
}

// True when str() of `value`, of a subclass of `base`, is the base type's own conversion.
bool str_is_inherited(PyObject* value, PyTypeObject* base) {
    PyTypeObject* type = Py_TYPE(value);
    return type->tp_str == base->tp_str && type->tp_repr == base->tp_repr;
}

// A subclass of int or float, or an int beyond 64 bits: the text of its str(), unquoted, when
// TOML reads that text as a number. Any other text (an enum's "S.ACTIVE", "1, admin = true")
// would make the file unreadable or add keys to it, in either mode: the value is written
// instead, as the same int or float would be.
int number_subclass_to_buf(Output* out, PyObject* value) {
    const bool is_float = PyFloat_Check(value);
    if (str_is_inherited(value, is_float ? &PyFloat_Type : &PyLong_Type)) {
        return number_to_buf(out, value, is_float);
    }
    if (out->before_call_out() < 0) {
        return -1;
    }
    Ref text(PyObject_Str(value));
    if (!text) {
        return -1;
    }
    if (!(is_ascii_str(text.get()) &&
          common::is_toml_number(static_cast<const char*>(PyUnicode_DATA(text.get())),
                                 static_cast<size_t>(PyUnicode_GET_LENGTH(text.get()))))) {
        return number_to_buf(out, value, is_float);
    }
    return buf_write_str(out, text.get());
}

int array_items(Output* out, PyObject* arr, int escape_strings) {
    Cursor c(out);
    return array_to_cursor(c, arr, escape_strings) == Item::kFailed ? -1 : 0;
}

// Containers, subclasses and other objects: their writing can run user code, which could
// drop the last other reference to `value`.
int held_value_to_buf(Output* out, PyObject* value, int escape_strings) {
    Ref held = Ref::borrow(value);
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyDict_Type) {
        return _inline_table_to_buf(out, value, escape_strings);
    }
    if (type == &PyList_Type || type == &PyTuple_Type) {
        return _array_to_buf(out, value, escape_strings);
    }
    if (PyLong_Check(value) || PyFloat_Check(value)) {
        return number_subclass_to_buf(out, value);
    }
    if (PyUnicode_Check(value)) {
        return _escaped_quoted_value(out, value, escape_strings);
    }
    if (PyList_Check(value) || PyTuple_Check(value)) {
        return _array_to_buf(out, value, escape_strings);
    }
    if (PyDict_Check(value)) {
        return _inline_table_to_buf(out, value, escape_strings);
    }
    // str(value) as a quoted string, for objects of no TOML kind.
    if (out->before_call_out() < 0) {
        return -1;
    }
    Ref text(PyObject_Str(value));
    if (!text || _escaped_quoted_value(out, text.get(), escape_strings) < 0) {
        return -1;
    }
    return 0;
}

}  // namespace

int _value_to_buf(Output* out, PyObject* value, int escape_strings) {
    Put put;
    {
        Cursor c(out);
        put = put_scalar(c, value, escape_strings);
    }
    if (put == Put::kWritten) [[likely]] {
        return 0;
    }
    if (put == Put::kFailed || held_value_to_buf(out, value, escape_strings) < 0) {
        return INK_FAIL("_value_to_buf");
    }
    return 0;
}

int _array_to_buf(Output* out, PyObject* arr, int escape_strings) {
    common::RecursionGuard guard(" while encoding a TOML array");
    if (!guard.entered() || array_items(out, arr, escape_strings) < 0) {
        return INK_FAIL("_array_to_buf");
    }
    return 0;
}

int char_true(Output* out, const char* key) {
    if (write_token(out, key, WF_INK "char_true") < 0 || insert_equals(out) < 0 ||
        insert_true(out) < 0) {
        return INK_FAIL("char_true");
    }
    return 0;
}

}  // namespace wrenfold::inkwright
