// The UTF-8 text of a str, for the writers.
#pragma once

#include <Python.h>

namespace wrenfold::common {

// A str whose characters are all ASCII: its data is its UTF-8.
inline bool is_ascii_str(PyObject* s) {
    return PyUnicode_Check(s) && PyUnicode_IS_ASCII(s);
}

// The UTF-8 of the str `s` (of a subclass too: its own text, not its str()) and its length
// in bytes; clears `*ascii`, if given, when the text is not ASCII. An ASCII string's own data,
// else the form the interpreter caches in the string. Null with UnicodeEncodeError for a lone
// surrogate.
inline const char* str_utf8(PyObject* s, Py_ssize_t* size, bool* ascii = nullptr) {
    if (PyUnicode_IS_ASCII(s)) [[likely]] {
        *size = PyUnicode_GET_LENGTH(s);
        return static_cast<const char*>(PyUnicode_DATA(s));
    }
    if (ascii != nullptr) {
        *ascii = false;
    }
    return PyUnicode_AsUTF8AndSize(s, size);
}

}  // namespace wrenfold::common
