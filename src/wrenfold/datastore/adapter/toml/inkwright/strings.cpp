// Quoted strings and keys.
#include <wrenfold/_cpp/common/toml_chars.hpp>

#include "inkwright.hpp"
#include "wide_text.hpp"

namespace wrenfold::inkwright {

namespace {

// Quote, the UTF-8 text `utf8` (escaped or raw), quote.
int quoted_utf8(Buffer* buf, const char* utf8, Py_ssize_t size, int escape_strings) {
    if (!escape_strings) {
        if (!raw_safe(utf8, static_cast<size_t>(size))) {
            return refuse_raw_text(utf8, static_cast<size_t>(size));
        }
        if (!buf_write_quoted(buf, utf8, static_cast<size_t>(size))) {
            set_no_room_error();
            return -1;
        }
        return 0;
    }
    // The quotes and the escaped text, reserved at once.
    size_t room;
    if (!common::escape_reservation(utf8, static_cast<size_t>(size), &room) ||
        __builtin_add_overflow(room, size_t{2}, &room) || !common::buf_ensure(buf, room)) {
        set_no_room_error();
        return -1;
    }
    buf->data[buf->pos++] = B_QUOTE[0];
    common::escape_toml_reserved(buf, utf8, static_cast<size_t>(size));
    buf->data[buf->pos++] = B_QUOTE[0];
    return 0;
}

// Quote, the text of the str `s` (escaped or raw), quote. -1 on failure, with `utf8_failed`
// telling whether the UTF-8 conversion failed.
int quoted_str(Buffer* buf, PyObject* s, int escape_strings, bool* utf8_failed) {
    *utf8_failed = false;
    if (!is_ascii_str(s)) {
        const int noted = note_wide_text(buf, s, escape_strings, true);
        if (noted != 0) {
            return noted > 0 ? 0 : -1;
        }
    }
    Py_ssize_t size;
    const char* utf8 = common::str_utf8(s, &size, &buf->ascii);
    if (utf8 == nullptr) {
        *utf8_failed = true;
        return -1;
    }
    return quoted_utf8(buf, utf8, size, escape_strings);
}

// ValueError for the first code unit at `p` that raw output refuses, and -1; 0 when there is
// none (the units to escape were tabs).
template <class T>
int refuse_raw_units(const T* p, size_t n) {
    for (size_t i = 0; i < n; i++) {
        if (common::raw_refuses(p[i])) {
            return refuse_raw_char(p[i]);
        }
    }
    return 0;
}

}  // namespace

int note_wide_text(Buffer* buf, PyObject* s, int escape_strings, bool quoted) {
    auto* output = static_cast<EncodeOutput*>(buf->user);
    if (output == nullptr || !PyUnicode_Check(s)) {
        return 0;
    }
    TextRuns* runs = &output->runs;
    const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(s));
    const bool escape = escape_strings != 0;
    ptrdiff_t extra;
    switch (PyUnicode_KIND(s)) {
        // Raw text is scanned as escaped text is: what escaping would change, raw TOML
        // cannot carry, tabs aside.
        case PyUnicode_1BYTE_KIND:
            extra = wide::escape_extra(PyUnicode_1BYTE_DATA(s), n, true);
            break;
        case PyUnicode_2BYTE_KIND:
            extra = wide::escape_extra(PyUnicode_2BYTE_DATA(s), n, true);
            break;
        default: extra = wide::escape_extra(PyUnicode_4BYTE_DATA(s), n, true);
    }
    if (extra == wide::kLoneSurrogate) {
        return 0;
    }
    if (!escape && extra > 0) {
        // Raw text, unquoted, is a number's: only quoted text must read back as a string.
        if (quoted) {
            int refused;
            switch (PyUnicode_KIND(s)) {
                case PyUnicode_1BYTE_KIND:
                    refused = refuse_raw_units(PyUnicode_1BYTE_DATA(s), n);
                    break;
                case PyUnicode_2BYTE_KIND:
                    refused = refuse_raw_units(PyUnicode_2BYTE_DATA(s), n);
                    break;
                default: refused = refuse_raw_units(PyUnicode_4BYTE_DATA(s), n);
            }
            if (refused < 0) {
                return -1;
            }
        }
        extra = 0;
    }
    if (runs->count == runs->capacity) {
        const size_t capacity = runs->capacity > 0 ? 2 * runs->capacity : 256;
        void* items = capacity <= SIZE_MAX / sizeof(TextRun)
                          ? std::realloc(runs->items, capacity * sizeof(TextRun))
                          : nullptr;
        if (items == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        runs->items = static_cast<TextRun*>(items);
        runs->capacity = capacity;
    }
    if (quoted && !buf_write_quoted(buf, "", 0)) {
        set_no_room_error();
        return -1;
    }
    add_run(buf, runs, buf->pos - quoted, s, n, static_cast<size_t>(extra),
            PyUnicode_MAX_CHAR_VALUE(s));
    return 1;
}

int _escaped_quoted_value(Buffer* buf, PyObject* value, int escape_strings) {
    bool utf8_failed;
    if (quoted_str(buf, value, escape_strings, &utf8_failed) < 0) {
        // Raw text is what buf_write_str writes, and its failure is reported as its own.
        if (utf8_failed && !escape_strings) {
            INK_FAIL("buf_write_str");
        }
        return INK_FAIL("_escaped_quoted_value");
    }
    return 0;
}

int _quoted_str_value(Buffer* buf, PyObject* value) {
    bool utf8_failed;
    if (quoted_str(buf, value, 0, &utf8_failed) < 0) {
        if (utf8_failed) {
            INK_FAIL("buf_write_str");
        }
        return INK_FAIL("_quoted_str_value");
    }
    return 0;
}

int char_to_str(Buffer* buf, const char* key, PyObject* value, int escape_strings) {
    if (write_token(buf, key, WF_INK "char_to_str") < 0 || insert_equals(buf) < 0) {
        return INK_FAIL("char_to_str");
    }
    int status = escape_strings ? _escaped_quoted_value(buf, value, escape_strings)
                                : _quoted_str_value(buf, value);
    if (status < 0) {
        return INK_FAIL("char_to_str");
    }
    return 0;
}

KeyMemo::~KeyMemo() {
    for (Slot& s : slots_) {
        Py_XDECREF(s.key);
    }
}

bool KeyMemo::remember(Slot& s, PyObject* key) {
    // Exact str only: dropping a subclass instance could run its __del__.
    if (!PyUnicode_CheckExact(key) || !is_ascii_str(key)) {
        return false;
    }
    const char* data = static_cast<const char*>(PyUnicode_DATA(key));
    const Py_ssize_t size = PyUnicode_GET_LENGTH(key);
    if (static_cast<size_t>(size) + INK_LEN(EQUALS) > kRoom ||
        !common::is_bare_key(data, static_cast<size_t>(size))) {
        return false;
    }
    std::memcpy(s.text, data, static_cast<size_t>(size));
    std::memcpy(s.text + size, B_EQUALS, INK_LEN(EQUALS));
    s.size = static_cast<unsigned char>(static_cast<size_t>(size) + INK_LEN(EQUALS));
    Py_INCREF(key);
    Py_XSETREF(s.key, key);
    return true;
}

int _key_to_buf(Buffer* buf, PyObject* key, int escape_strings) {
    Py_ssize_t size;
    const char* utf8;
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "keys of a TOML table must be str, not %.200s",
                     Py_TYPE(key)->tp_name);
        return INK_FAIL("_key_to_buf");
    }
    // Bare keys are ASCII.
    if (is_ascii_str(key)) [[likely]] {
        utf8 = static_cast<const char*>(PyUnicode_DATA(key));
        size = PyUnicode_GET_LENGTH(key);
        if (common::is_bare_key(utf8, static_cast<size_t>(size))) [[likely]] {
            if (!common::buf_write(buf, utf8, static_cast<size_t>(size))) {
                return INK_NO_MEMORY("_key_to_buf");
            }
            return 0;
        }
    }
    // Written bare, `a.b` would read back as a nested table and `a b` would not parse.
    bool utf8_failed;
    if (quoted_str(buf, key, escape_strings, &utf8_failed) < 0) {
        return INK_FAIL("_key_to_buf");
    }
    return 0;
}

}  // namespace wrenfold::inkwright
