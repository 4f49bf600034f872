// A Buffer that grows inside an ASCII str, so that ASCII text becomes the writer's result
// without a final copy: at tens of megabytes, that copy into fresh pages costs as much as a
// fifth of writing the text.
#pragma once

#include <Python.h>

#include <cstdlib>
#include <cstring>

#include <wrenfold/_cpp/common/buffer.hpp>

namespace wrenfold::common {

// A `grow` for a Buffer: the content moves into a new str of `capacity` characters, or the
// str it is already in is resized. Null, with the buffer as it was, when that fails.
inline char* grow_into_str_block(Buffer* buf, size_t capacity) {
    PyObject* block = static_cast<PyObject*>(buf->owner);
    if (block == nullptr) {
        block = PyUnicode_New(static_cast<Py_ssize_t>(capacity), 0x7F);
        if (block == nullptr) {
            PyErr_Clear();  // the writer reports MemoryError
            return nullptr;
        }
        std::memcpy(PyUnicode_DATA(block), buf->data, buf->pos);
        std::free(buf->data);
    } else if (PyUnicode_Resize(&block, static_cast<Py_ssize_t>(capacity)) < 0) {
        PyErr_Clear();  // `block` is left as it was
        return nullptr;
    }
    buf->owner = block;
    return static_cast<char*>(PyUnicode_DATA(block));
}

// The content, which the caller knows to be ASCII, as a str: the block it grew into, trimmed
// and taken from the buffer, or a copy when it never grew. Null with an exception set.
inline PyObject* take_ascii_str(Buffer* buf) {
    const Py_ssize_t size = static_cast<Py_ssize_t>(buf->pos);
    if (buf->owner != nullptr) {
        PyObject* block = static_cast<PyObject*>(buf->owner);
        if (PyUnicode_Resize(&block, size) < 0) {
            return nullptr;  // still the buffer's, released with it
        }
        buf->owner = nullptr;
        buf->data = nullptr;
        return block;
    }
    PyObject* result = PyUnicode_New(size, 0x7F);
    if (result != nullptr) {
        std::memcpy(PyUnicode_DATA(result), buf->data, buf->pos);
    }
    return result;
}

// Frees a buffer that may have grown into a str.
inline void free_str_buffer(Buffer* buf) {
    if (buf != nullptr) {
        Py_XDECREF(static_cast<PyObject*>(buf->owner));
        buf_free(buf);
    }
}

}  // namespace wrenfold::common
