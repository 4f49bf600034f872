// TOMLDecodeError, with the position of the offending character in the document.
#include <cstring>

#include <wrenfold/_cpp/common/utf8.hpp>

#include "inkreader.hpp"

namespace wrenfold::inkreader {

PyObject* Parser::error_obj(const char* at, PyObject* message) {
    Ref msg(message);
    Ref doc = doc_ != nullptr ? Ref::borrow(doc_)
                              : Ref(PyUnicode_DecodeUTF8(begin_, end_ - begin_, "strict"));
    if (!doc) {
        return nullptr;
    }
    const auto* text = reinterpret_cast<const unsigned char*>(begin_);
    const size_t offset = static_cast<size_t>(at - begin_);
#if PY_VERSION_HEX >= 0x030E0000
    const Py_ssize_t pos =
        static_cast<Py_ssize_t>(doc_ != nullptr ? offset : common::utf8_count_chars(text, offset));
    // The error works out its line and column from the document itself.
    Ref error(PyObject_CallFunction(bound.decode_error, "OOn", msg.get(), doc.get(), pos));
#else
    // Older releases take the message with the position already in it.
    Ref full;
    if (at >= end_) {
        full = Ref(PyUnicode_FromFormat("%U (at end of document)", msg.get()));
    } else {
        const void* nl = memrchr(text, '\n', offset);
        const size_t line_start =
            nl != nullptr ? static_cast<size_t>(static_cast<const unsigned char*>(nl) - text) + 1
                          : 0;
        size_t line = 1;
        for (size_t i = 0; i < line_start; i++) {
            line += text[i] == '\n';
        }
        const size_t column =
            (doc_ != nullptr ? offset - line_start
                             : common::utf8_count_chars(text + line_start, offset - line_start)) +
            1;
        full = Ref(PyUnicode_FromFormat("%U (at line %zu, column %zu)", msg.get(), line, column));
    }
    Ref error(full ? PyObject_CallOneArg(bound.decode_error, full.get()) : nullptr);
#endif
    if (error) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    }
    return nullptr;
}

PyObject* Parser::error_at(const char* at, const char* message) {
    PyObject* msg = PyUnicode_FromString(message);
    return msg != nullptr ? error_obj(at, msg) : nullptr;
}

// `format` with %R for the character at `at`.
PyObject* Parser::error_char(const char* at, const char* format) {
    Ref ch;
    if (doc_ != nullptr) {
        const Py_ssize_t index = at - begin_;
        ch = Ref(PyUnicode_Substring(doc_, index, index + 1));
    } else {
        size_t n = 1;
        while (at + n < end_ && (static_cast<unsigned char>(at[n]) & 0xC0) == 0x80) {
            n++;
        }
        ch = Ref(PyUnicode_DecodeUTF8(at, static_cast<Py_ssize_t>(n), "strict"));
    }
    PyObject* msg = ch ? PyUnicode_FromFormat(format, ch.get()) : nullptr;
    return msg != nullptr ? error_obj(at, msg) : nullptr;
}

// `format` with %R for the first `count` parts of a key, as a tuple.
PyObject* Parser::error_key(const char* at, const char* format, const Vector<Ref>& path,
                            size_t count) {
    Ref key(PyTuple_New(static_cast<Py_ssize_t>(count)));
    if (!key) {
        return nullptr;
    }
    for (size_t i = 0; i < count; i++) {
        PyTuple_SET_ITEM(key.get(), static_cast<Py_ssize_t>(i), Py_NewRef(path[i].get()));
    }
    PyObject* msg = PyUnicode_FromFormat(format, key.get());
    return msg != nullptr ? error_obj(at, msg) : nullptr;
}

}  // namespace wrenfold::inkreader
