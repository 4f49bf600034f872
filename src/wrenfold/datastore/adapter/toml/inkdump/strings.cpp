// Strings and keys as tomli_w writes them: a tab stays as it is, other control characters
// take \u with lower-case digits, and a multi-line string keeps its line feeds.
#include <cstring>

#include <wrenfold/_cpp/common/ref.hpp>
#include <wrenfold/_cpp/common/str_utf8.hpp>
#include <wrenfold/_cpp/common/text_scan.hpp>
#include <wrenfold/_cpp/common/toml_chars.hpp>

#include "inkdump.hpp"

namespace wrenfold::inkdump {

namespace {

// The text of `s` between the quotes, from `p` to `end`.
int write_body(Text* text, const char* p, const char* const end, bool multiline) {
    static constexpr char kHex[] = "0123456789abcdef";
    while (p < end) {
        const size_t run = common::first_escape(p, static_cast<size_t>(end - p));
        // The run and the longest escape after it.
        if (!text->ensure(run + 6)) [[unlikely]] {
            return no_room();
        }
        char* out = text->end();
        std::memcpy(out, p, run);
        out += run;
        p += run;
        if (p < end) {
            const unsigned char c = static_cast<unsigned char>(*p++);
            if (c == '\t' || (multiline && c == '\n')) {
                *out++ = static_cast<char>(c);
            } else if (multiline && c == '\r' && p < end && *p == '\n') {
                // A CRLF line ending becomes a plain line feed.
            } else if (const char letter = common::kEscape.cls[c]; letter != 'u') {
                out[0] = '\\';
                out[1] = letter;
                out += 2;
            } else {
                std::memcpy(out, "\\u00", 4);
                out[4] = kHex[c >> 4];
                out[5] = kHex[c & 0xF];
                out += 6;
            }
        }
        text->set_end(out);
    }
    return 0;
}

int write_text(Text* text, const char* p, Py_ssize_t n, bool multiline) {
    multiline = multiline && std::memchr(p, '\n', static_cast<size_t>(n)) != nullptr;
    // Each quote written with a length known at compile time, which is a store rather than a
    // call to memcpy.
    if (multiline) {
        if (!text->write("\"\"\"\n", 4) || write_body(text, p, p + n, true) < 0 ||
            !text->write("\"\"\"", 3)) {
            return no_room();
        }
    } else if (!text->write("\"", 1) || write_body(text, p, p + n, false) < 0 ||
               !text->write("\"", 1)) {
        return no_room();
    }
    return 0;
}

}  // namespace

int write_string(Text* out, PyObject* s, bool multiline) {
    Py_ssize_t n;
    const char* p = common::str_utf8(s, &n, &out->ascii);
    if (p == nullptr) {
        return -1;
    }
    // Most strings escape nothing: copied and checked in one pass. With no line feed, the
    // multi-line form does not apply.
    const size_t size = static_cast<size_t>(n);
    if (!out->ensure(size + 2)) {
        return no_room();
    }
    char* end = out->end();
    if (common::copy_clean_text(end + 1, p, size)) [[likely]] {
        end[0] = '"';
        end[size + 1] = '"';
        out->set_end(end + size + 2);
        return 0;
    }
    return write_text(out, p, n, multiline);
}

int write_key(Text* out, PyObject* key) {
    if (!PyUnicode_Check(key)) {
        PyObject* empty = PyUnicode_New(0, 0);
        common::Ref text(empty != nullptr ? PyObject_Format(key, empty) : nullptr);
        Py_XDECREF(empty);
        common::Ref type_name(text ? PyType_GetQualName(Py_TYPE(key)) : nullptr);
        if (type_name) {
            PyErr_Format(PyExc_TypeError,
                         "Invalid mapping key '%U' of type '%U'. A string is required.", text.get(),
                         type_name.get());
        }
        return -1;
    }
    Py_ssize_t n;
    const char* p = common::str_utf8(key, &n, &out->ascii);
    if (p == nullptr) {
        return -1;
    }
    if (common::is_bare_key(p, static_cast<size_t>(n))) {
        if (!out->ensure(static_cast<size_t>(n))) {
            return no_room();
        }
        common::copy_text(out->end(), p, static_cast<size_t>(n));
        out->set_end(out->end() + n);
        return 0;
    }
    return write_text(out, p, n, false);
}

}  // namespace wrenfold::inkdump
