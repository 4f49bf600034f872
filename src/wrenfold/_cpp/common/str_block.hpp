// A Buffer whose block grows inside an ASCII str, so that ASCII text becomes the writer's
// result without a final copy: at tens of megabytes, that copy into fresh pages costs as much
// as a fifth of writing the text. Used by the encoder's Output and by dumps' Text, which each
// keep the str beside their Buffer.
#pragma once

#include <Python.h>

#include <cstdlib>
#include <cstring>

#include <wrenfold/_cpp/common/buffer.hpp>
#include <wrenfold/_cpp/common/huge_pages.hpp>

namespace wrenfold::common {

// Allocated and freed at once, a little larger than the str about to be made: it keeps that
// str's block in glibc's heap, reused warm by the next call, rather than fresh pages. glibc
// maps a block above its mmap threshold afresh, and freeing one raises the threshold to its
// size, up to 32 MiB, and never lowers it: a size kept once needs nothing more (the pair cost
// a small document's encode a tenth of its instructions). Past 32 MiB, huge pages do.
inline void keep_in_heap(size_t chars, Py_UCS4 max_char) {
    // A block's size in glibc is rounded up to pages past what is asked: a margin below 32 MiB.
    constexpr size_t kMostThreshold = (size_t{32} << 20) - (size_t{64} << 10);
    static size_t kept = 0;
    const size_t kind = max_char > 0xFFFF ? 4 : max_char > 0xFF ? 2 : 1;
    const size_t bytes = (chars + 1) * kind + 256;
    if (bytes <= kept || bytes > kMostThreshold) {
        return;
    }
    void* volatile block = std::malloc(bytes);
    std::free(block);
    kept = bytes;
}

// Huge pages asked for under the data of `str`, just made or grown, before it is written.
inline void advise_huge_str(PyObject* str) {
    advise_huge_pages(PyUnicode_DATA(str),
                      static_cast<size_t>(PyUnicode_GET_LENGTH(str) + 1) * PyUnicode_KIND(str));
}

// A first block of `size` characters, the data of a new ASCII str kept in `*str`; null, with
// no exception set, when it cannot be had.
inline char* new_str_block(size_t size, PyObject** str) {
    keep_in_heap(size, 0x7F);
    *str = PyUnicode_New(static_cast<Py_ssize_t>(size), 0x7F);
    if (*str == nullptr) {
        PyErr_Clear();  // the writer reports MemoryError
        return nullptr;
    }
    advise_huge_str(*str);
    return static_cast<char*>(PyUnicode_DATA(*str));
}

// A block of `capacity` characters holding `buf`'s content: the content moves into a new str,
// kept in `*str`, or the str it is already in is resized. Null, with the buffer and `*str` as
// they were and no exception set, when that fails.
inline char* grow_into_str(Buffer* buf, PyObject** str, size_t capacity) {
    // Made or grown past the size of the last result, the str would be mapped afresh.
    keep_in_heap(capacity, 0x7F);
    PyObject* block = *str;
    if (block == nullptr) {
        block = PyUnicode_New(static_cast<Py_ssize_t>(capacity), 0x7F);
        if (block == nullptr) {
            PyErr_Clear();  // the writer reports MemoryError
            return nullptr;
        }
        advise_huge_str(block);
        std::memcpy(PyUnicode_DATA(block), buf->data, buf->pos);
        std::free(buf->data);
    } else if (PyUnicode_Resize(&block, static_cast<Py_ssize_t>(capacity)) < 0) {
        PyErr_Clear();  // `block` is left as it was
        return nullptr;
    } else {
        advise_huge_str(block);
    }
    *str = block;
    return static_cast<char*>(PyUnicode_DATA(block));
}

// The content, which the caller knows to be ASCII, as a str: `*str`, trimmed and taken (the
// buffer is left without a block), or a copy when the buffer never grew into one. Null with
// an exception set.
inline PyObject* take_ascii_str(Buffer* buf, PyObject** str) {
    const Py_ssize_t size = static_cast<Py_ssize_t>(buf->pos);
    if (*str != nullptr) {
        if (PyUnicode_Resize(str, size) < 0) {
            return nullptr;  // still the buffer's, released with it
        }
        buf->data = nullptr;
        buf->pos = buf->capacity = 0;
        PyObject* block = *str;
        *str = nullptr;
        return block;
    }
    PyObject* result = PyUnicode_New(size, 0x7F);
    if (result != nullptr) {
        std::memcpy(PyUnicode_DATA(result), buf->data, buf->pos);
    }
    return result;
}

// Frees a buffer whose block may be `str`'s data.
inline void free_str_buffer(Buffer* buf, PyObject* str) {
    if (buf != nullptr && str != nullptr) {
        buf->data = nullptr;
    }
    Py_XDECREF(str);
    buf_free(buf);
}

}  // namespace wrenfold::common
