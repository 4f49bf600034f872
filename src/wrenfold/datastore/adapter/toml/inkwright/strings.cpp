// Quoted strings and keys.
#include <wrenfold/_cpp/common/toml_chars.hpp>

#include "inkwright.hpp"
#include "wide_text.hpp"

namespace wrenfold::inkwright {

namespace {

// Quote, the UTF-8 text `utf8` (escaped or raw), quote.
int quoted_utf8(Output* out, const char* utf8, Py_ssize_t size, int escape_strings) {
    if (!escape_strings) {
        if (!raw_safe(utf8, static_cast<size_t>(size))) {
            return refuse_raw_text(out, utf8, static_cast<size_t>(size));
        }
        return put_quoted(out, utf8, static_cast<size_t>(size));
    }
    // The quotes and the escaped text, reserved at once.
    size_t room;
    if (!common::escape_reservation(utf8, static_cast<size_t>(size), &room) ||
        __builtin_add_overflow(room, size_t{2}, &room)) {
        PyErr_NoMemory();
        return -1;
    }
    if (out->reserve(room) < 0) {
        return -1;
    }
    char* at = out->at();
    *at++ = B_QUOTE[0];
    at = common::escape_toml_at(at, utf8, static_cast<size_t>(size));
    *at++ = B_QUOTE[0];
    out->advance_to(at);
    return 0;
}

// Quote, the text of the str `s` (escaped or raw), quote. Raw text is what buf_write_str
// writes, and a failure to convert it is reported as its own.
int quoted_str(Output* out, PyObject* s, int escape_strings) {
    if (!is_ascii_str(s)) {
        const Noted noted = note_text(out, s, escape_strings, true);
        if (noted != Noted::kAsUtf8) {
            return noted == Noted::kNoted ? 0 : -1;
        }
    }
    Py_ssize_t size;
    const char* utf8 = text_utf8(s, &size);
    if (utf8 == nullptr) {
        return escape_strings ? -1 : INK_FAIL("buf_write_str");
    }
    return quoted_utf8(out, utf8, size, escape_strings);
}

// ValueError for the first code unit at `p` that raw output refuses, and -1; 0 when there is
// none (the units to escape were tabs).
template <class T>
int refuse_raw_units(Output* out, const T* p, size_t n) {
    for (size_t i = 0; i < n; i++) {
        if (common::raw_refuses(p[i])) {
            return refuse_raw_char(out, p[i]);
        }
    }
    return 0;
}

}  // namespace

Noted note_text(Output* out, PyObject* s, int escape_strings, bool quoted) {
    if (!out->notes_text() || !PyUnicode_Check(s)) {
        return Noted::kAsUtf8;
    }
    const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(s));
    const bool escape = escape_strings != 0;
    // Raw text is scanned as escaped text is: what escaping would change, raw TOML cannot
    // carry, tabs aside.
    ptrdiff_t extra = escape_extra_of(s);
    if (extra == wide::kLoneSurrogate) {
        return Noted::kAsUtf8;
    }
    if (!escape && extra > 0) {
        // Raw text, unquoted, is a number's: only quoted text must read back as a string.
        if (quoted) {
            int refused;
            switch (PyUnicode_KIND(s)) {
                case PyUnicode_1BYTE_KIND:
                    refused = refuse_raw_units(out, PyUnicode_1BYTE_DATA(s), n);
                    break;
                case PyUnicode_2BYTE_KIND:
                    refused = refuse_raw_units(out, PyUnicode_2BYTE_DATA(s), n);
                    break;
                default: refused = refuse_raw_units(out, PyUnicode_4BYTE_DATA(s), n);
            }
            if (refused < 0) {
                return Noted::kFailed;
            }
        }
        extra = 0;
    }
    if (out->room_for_note() < 0 || (quoted && put_quoted(out, "", 0) < 0)) {
        return Noted::kFailed;
    }
    out->note(out->offset_of(out->at()) - quoted, s, n, static_cast<size_t>(extra),
              PyUnicode_MAX_CHAR_VALUE(s));
    return Noted::kNoted;
}

int _escaped_quoted_value(Output* out, PyObject* value, int escape_strings) {
    return quoted_str(out, value, escape_strings) < 0 ? INK_FAIL("_escaped_quoted_value") : 0;
}

int _quoted_str_value(Output* out, PyObject* value) {
    return quoted_str(out, value, 0) < 0 ? INK_FAIL("_quoted_str_value") : 0;
}

int char_to_str(Output* out, const char* key, PyObject* value, int escape_strings) {
    if (write_token(out, key, WF_INK "char_to_str") < 0 || insert_equals(out) < 0) {
        return INK_FAIL("char_to_str");
    }
    int status = escape_strings ? _escaped_quoted_value(out, value, escape_strings)
                                : _quoted_str_value(out, value);
    if (status < 0) {
        return INK_FAIL("char_to_str");
    }
    return 0;
}

int _key_to_buf(Output* out, PyObject* key, int escape_strings) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "keys of a TOML table must be str, not %.200s",
                     Py_TYPE(key)->tp_name);
        return INK_FAIL("_key_to_buf");
    }
    // Bare keys are ASCII.
    if (is_ascii_str(key)) [[likely]] {
        const char* utf8 = static_cast<const char*>(PyUnicode_DATA(key));
        const size_t size = static_cast<size_t>(PyUnicode_GET_LENGTH(key));
        if (common::is_bare_key(utf8, size)) [[likely]] {
            return out->put(utf8, size) < 0 ? INK_FAIL("_key_to_buf") : 0;
        }
    }
    // Written bare, `a.b` would read back as a nested table and `a b` would not parse.
    return quoted_str(out, key, escape_strings) < 0 ? INK_FAIL("_key_to_buf") : 0;
}

}  // namespace wrenfold::inkwright
