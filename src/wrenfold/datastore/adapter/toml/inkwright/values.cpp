// Python values as TOML values: scalars, arrays from lists and tuples, inline tables from
// dicts, nested to any depth.
#include "inkwright.hpp"

#include <wrenfold/_cpp/common/dict_walk.hpp>
#include <wrenfold/_cpp/common/number_format.hpp>
#include <wrenfold/_cpp/common/recursion.hpp>
#include <wrenfold/_cpp/common/ref.hpp>
#include <wrenfold/_cpp/common/toml_number.hpp>

namespace wrenfold::inkwright {

using common::Ref;

namespace {

// The digits of an int beyond 64 bits, as str() gives them, so that the interpreter's digit
// limit still applies. int's own conversion, which runs no Python code, also for subclasses.
int long_digits_to_buf(Buffer* buf, PyObject* value) {
    Ref text(PyLong_Type.tp_repr(value));
    if (!text || buf_write_str(buf, text.get()) < 0) {
        return -1;
    }
    return 0;
}

// The value of an int or a float (or of a subclass's), formatted byte for byte as str() of
// the same int or float.
int number_to_buf(Buffer* buf, PyObject* value, bool is_float) {
    static_assert(common::kMaxDoubleReprChars >= common::kMaxInt64Chars);
    long long n = 0;
    if (!is_float) {
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
                return long_digits_to_buf(buf, value);
            }
        }
    }
    // The double formatter may use its whole window as scratch, past the end it returns.
    if (!common::buf_ensure(buf, common::kMaxDoubleReprChars)) [[unlikely]] {
        PyErr_NoMemory();
        return -1;
    }
    char* out = buf->data + buf->pos;
    char* end = is_float ? common::format_double_repr(PyFloat_AS_DOUBLE(value), out)
                         : common::format_int64(n, out);
    buf->pos += static_cast<size_t>(end - out);
    return 0;
}

// True when str() of `value`, of a subclass of `base`, is the base type's own conversion.
bool str_is_inherited(PyObject* value, PyTypeObject* base) {
    PyTypeObject* type = Py_TYPE(value);
    return type->tp_str == base->tp_str && type->tp_repr == base->tp_repr;
}

// A subclass of int or float: the text of its str(), unquoted. In escaped mode, whose output
// must read back, a text that is no TOML number (an enum's "S.ACTIVE") gives way to the
// value, written as the same int or float would be.
int number_subclass_to_buf(Buffer* buf, PyObject* value, int escape_strings) {
    const bool is_float = PyFloat_Check(value);
    if (str_is_inherited(value, is_float ? &PyFloat_Type : &PyLong_Type)) {
        return number_to_buf(buf, value, is_float);
    }
    if (common::arm_walks(buf->walks) < 0) {
        return -1;
    }
    Ref text(PyObject_Str(value));
    if (!text) {
        return -1;
    }
    if (escape_strings &&
        !(is_ascii_str(text.get()) &&
          common::is_toml_number(static_cast<const char*>(PyUnicode_DATA(text.get())),
                                 static_cast<size_t>(PyUnicode_GET_LENGTH(text.get()))))) {
        return number_to_buf(buf, value, is_float);
    }
    return buf_write_str(buf, text.get());
}

int null_to_buf(Buffer* buf) {
    if (!common::buf_write(buf, B_NULL, INK_LEN(NULL_))) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

// str(value) as a quoted string, for objects of no TOML kind.
int other_to_buf(Buffer* buf, PyObject* value, int escape_strings) {
    if (common::arm_walks(buf->walks) < 0) {
        return -1;
    }
    Ref text(PyObject_Str(value));
    if (!text || _escaped_quoted_value(buf, text.get(), escape_strings) < 0) {
        return -1;
    }
    return 0;
}

int array_items(Buffer* buf, PyObject* arr, int escape_strings) {
    if (insert_open_bracket(buf) < 0 || insert_space(buf) < 0) {
        return -1;
    }
    if (PyList_Check(arr)) {
        Py_ssize_t n = PyList_GET_SIZE(arr);
        // A __str__ further down may shrink the list: stop at its current end.
        for (Py_ssize_t i = 0; i < n && i < PyList_GET_SIZE(arr); i++) {
            if (i > 0 && insert_comma_space(buf) < 0) {
                return -1;
            }
            // _value_to_buf holds the item itself wherever user code can run.
            if (_value_to_buf(buf, PyList_GET_ITEM(arr, i), escape_strings) < 0) {
                return -1;
            }
        }
    } else if (PyTuple_Check(arr)) {
        // Immutable, and kept alive by whoever handed it to us.
        Py_ssize_t n = PyTuple_GET_SIZE(arr);
        for (Py_ssize_t i = 0; i < n; i++) {
            if (i > 0 && insert_comma_space(buf) < 0) {
                return -1;
            }
            if (_value_to_buf(buf, PyTuple_GET_ITEM(arr, i), escape_strings) < 0) {
                return -1;
            }
        }
    }
    if (insert_space(buf) < 0 || insert_close_bracket(buf) < 0) {
        return -1;
    }
    return 0;
}

int table_items(Buffer* buf, PyObject* d, int escape_strings, KeyMemo* memo) {
    if (insert_open_brace(buf) < 0 || insert_space(buf) < 0) {
        return -1;
    }
    if (PyDict_Check(d)) {
        common::DictWalk walk(d, &buf->walks);
        const Py_ssize_t size = PyDict_GET_SIZE(d);
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        bool first = true;
        for (Py_ssize_t slot = 0; PyDict_Next(d, &pos, &key, &value); slot++) {
            if (value == Py_None) {
                continue;
            }
            if (!first && insert_comma_space(buf) < 0) {
                return -1;
            }
            // The key is written before any user code can run; _value_to_buf holds the
            // value itself wherever user code can run.
            const int memo_status = memo != nullptr ? memo->write(buf, slot, key) : 0;
            if (memo_status < 0 ||
                (memo_status == 0 &&
                 (_key_to_buf(buf, key, escape_strings) < 0 || insert_equals(buf) < 0)) ||
                _value_to_buf(buf, value, escape_strings) < 0) {
                return -1;
            }
            first = false;
            if (PyDict_GET_SIZE(d) != size) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                return -1;
            }
            if (walk.check() < 0) {
                return -1;
            }
        }
    }
    if (insert_space(buf) < 0 || insert_close_brace(buf) < 0) {
        return -1;
    }
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
        return number_subclass_to_buf(buf, value, escape_strings);
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
    return other_to_buf(buf, value, escape_strings);
}

}  // namespace

int _value_to_buf(Buffer* buf, PyObject* value, int escape_strings) {
    PyTypeObject* type = Py_TYPE(value);
    int status;
    // Exact scalar types first, in order of how often they turn up in records. None of them
    // runs user code, so they need no reference of their own.
    if (type == &PyUnicode_Type) {
        status = _escaped_quoted_value(buf, value, escape_strings);
    } else if (type == &PyLong_Type || type == &PyFloat_Type) {
        status = number_to_buf(buf, value, type == &PyFloat_Type);
    } else if (value == Py_None) {
        status = null_to_buf(buf);
    } else if (value == Py_True) {
        status = insert_true(buf);
    } else if (value == Py_False) {
        status = insert_false(buf);
    } else {
        status = held_value_to_buf(buf, value, escape_strings);
    }
    if (status < 0) {
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

int _inline_table_to_buf(Buffer* buf, PyObject* d, int escape_strings, KeyMemo* memo) {
    common::RecursionGuard guard(" while encoding a TOML inline table");
    if (!guard.entered() || table_items(buf, d, escape_strings, memo) < 0) {
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
