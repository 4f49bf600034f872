// Quoted strings and keys.
#include "inkwright.hpp"

namespace wrenfold::inkwright {

namespace {

// ASCII letters, digits, '_' and '-': the characters of a TOML bare key.
struct BareKeyTable {
    bool ok[256];
};

constexpr BareKeyTable make_bare_key_table() {
    BareKeyTable t{};
    for (int c = 0; c < 256; c++) {
        t.ok[c] = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                  c == '_' || c == '-';
    }
    return t;
}

constexpr BareKeyTable kBareKey = make_bare_key_table();

bool is_bare_key(const char* s, Py_ssize_t size) {
    if (size == 0) {
        return false;
    }
    for (Py_ssize_t i = 0; i < size; i++) {
        if (!kBareKey.ok[static_cast<unsigned char>(s[i])]) {
            return false;
        }
    }
    return true;
}

// Quote, the text of `s` (its UTF-8 `utf8`, escaped or raw), quote.
int quoted_utf8(Buffer* buf, PyObject* s, const char* utf8, Py_ssize_t size,
                int escape_strings) {
    const size_t start = buf->pos + 1;
    if (!escape_strings) {
        if (!buf_write_quoted(buf, utf8, static_cast<size_t>(size))) {
            PyErr_NoMemory();
            return -1;
        }
        note_text(buf, s, start, static_cast<size_t>(size));
        return 0;
    }
    // The quotes and the worst case of the escaped text, reserved at once.
    size_t worst;
    if (__builtin_mul_overflow(static_cast<size_t>(size), common::detail::kMaxEscapeLen, &worst) ||
        __builtin_add_overflow(worst, size_t{2}, &worst) || !common::buf_ensure(buf, worst)) {
        PyErr_NoMemory();
        return -1;
    }
    buf->data[buf->pos++] = B_QUOTE[0];
    common::escape_toml_to_buf(buf, utf8, static_cast<size_t>(size));
    if (buf->pos - start == static_cast<size_t>(size)) {
        note_text(buf, s, start, static_cast<size_t>(size));  // nothing was escaped
    }
    buf->data[buf->pos++] = B_QUOTE[0];
    return 0;
}

}  // namespace

int _escaped_quoted_value(Buffer* buf, PyObject* value, int escape_strings) {
    Py_ssize_t size;
    const char* utf8 = str_utf8(buf, value, &size);
    if (utf8 == nullptr) {
        // Raw text is what buf_write_str writes, and its failure is reported as its own.
        if (!escape_strings) {
            INK_FAIL("buf_write_str");
        }
        return INK_FAIL("_escaped_quoted_value");
    }
    if (quoted_utf8(buf, value, utf8, size, escape_strings) < 0) {
        return INK_FAIL("_escaped_quoted_value");
    }
    return 0;
}

int _quoted_str_value(Buffer* buf, PyObject* value) {
    Py_ssize_t size;
    const char* utf8 = str_utf8(buf, value, &size);
    if (utf8 == nullptr) {
        INK_FAIL("buf_write_str");
        return INK_FAIL("_quoted_str_value");
    }
    if (quoted_utf8(buf, value, utf8, size, 0) < 0) {
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

void note_run(TextRuns* runs, PyObject* s, size_t pos, size_t size) {
    if (runs->incomplete) {
        return;
    }
    if (runs->count == runs->capacity) {
        const size_t capacity = runs->capacity > 0 ? 2 * runs->capacity : 256;
        void* items = capacity <= SIZE_MAX / sizeof(TextRun)
                          ? std::realloc(runs->items, capacity * sizeof(TextRun))
                          : nullptr;
        if (items == nullptr) {
            runs->incomplete = true;
            return;
        }
        runs->items = static_cast<TextRun*>(items);
        runs->capacity = capacity;
    }
    Py_INCREF(s);
    runs->items[runs->count++] = {pos, size, s};
}

void release_runs(TextRuns* runs) {
    for (size_t i = 0; i < runs->count; i++) {
        Py_DECREF(runs->items[i].text);
    }
    std::free(runs->items);
    *runs = TextRuns{};
}

KeyMemo::~KeyMemo() {
    for (Slot& s : slots_) {
        Py_XDECREF(s.key);
    }
}

bool KeyMemo::remember(Slot& s, PyObject* key) {
    // Exact str only: dropping a subclass instance could run its __del__.
    if (!PyUnicode_CheckExact(key) || PyUnicode_MAX_CHAR_VALUE(key) != 0x7F) {
        return false;
    }
    const char* data = static_cast<const char*>(PyUnicode_DATA(key));
    const Py_ssize_t size = PyUnicode_GET_LENGTH(key);
    if (static_cast<size_t>(size) + INK_LEN(EQUALS) > kMaxText || !is_bare_key(data, size)) {
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
    if ((utf8 = str_utf8(buf, key, &size)) == nullptr) {
        return INK_FAIL("_key_to_buf");
    }
    if (is_bare_key(utf8, size)) [[likely]] {
        if (!common::buf_write(buf, utf8, static_cast<size_t>(size))) {
            return INK_NO_MEMORY("_key_to_buf");
        }
        return 0;
    }
    // Written bare, `a.b` would read back as a nested table and `a b` would not parse.
    if (quoted_utf8(buf, key, utf8, size, escape_strings) < 0) {
        return INK_FAIL("_key_to_buf");
    }
    return 0;
}

}  // namespace wrenfold::inkwright
