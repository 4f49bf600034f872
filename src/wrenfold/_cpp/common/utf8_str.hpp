// A str made from well-formed UTF-8 that the module itself holds: the reader's texts, and the
// document dumps wrote as UTF-8.
#pragma once

#include <Python.h>

#include <cstddef>

#include <wrenfold/_cpp/common/utf8_decode.hpp>

namespace wrenfold::common {

// The str of the `n` bytes of well-formed UTF-8 at `s`, whose characters `shape` counts
// (utf8_shape); `vector` as there. Null with an exception set.
inline PyObject* str_of_utf8(const char* s, size_t n, Utf8Shape shape, bool vector) {
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(shape.chars), shape.max_char);
    if (str == nullptr) {
        return nullptr;
    }
    switch (PyUnicode_KIND(str)) {
        case PyUnicode_1BYTE_KIND:
            decode_utf8(PyUnicode_1BYTE_DATA(str), s, n, shape.chars, vector);
            break;
        case PyUnicode_2BYTE_KIND:
            decode_utf8(PyUnicode_2BYTE_DATA(str), s, n, shape.chars, vector);
            break;
        default: decode_utf8(PyUnicode_4BYTE_DATA(str), s, n, shape.chars, vector); break;
    }
    return str;
}

}  // namespace wrenfold::common
