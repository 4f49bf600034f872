// The writer of any TOML document from Python values, as tomli_w lays it out: what the
// module's files share.
#pragma once

#include <Python.h>

#include <cstdlib>
#include <cstring>

#include <wrenfold/_cpp/common/buffer.hpp>
#include <wrenfold/_cpp/common/dict_walk.hpp>
#include <wrenfold/_cpp/common/key_memo.hpp>
#include <wrenfold/_cpp/common/recursion.hpp>

#define WF_DUMP "wrenfold.datastore.adapter.toml.inkdump."

namespace wrenfold::inkdump {

using common::Buffer;

// Bound at initialisation; `decimal` on first need, as importing decimal is slow.
struct Bound {
    PyObject* mapping;  // collections.abc.Mapping
    PyObject* decimal;  // decimal.Decimal, or null until a value of no other kind is met
    PyObject* str_items;
    PyObject* str_utcoffset;
    PyObject* str_write;
};
extern Bound bound;

// What dumps writes into: a Buffer, whether its text is all ASCII, and, for the document, the
// str its block grows inside (common/str_block.hpp).
class Text {
public:
    // Held in place rather than made by buf_new: one indirection less on every write.
    Text(size_t first, bool into_str);
    ~Text();
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;

    // False when the first block could not be had.
    bool ok() const {
        return buf_.data != nullptr;
    }
    // Room for `n` more bytes: false, with the text as it was, when it cannot be had.
    bool ensure(size_t n) {
        return n <= buf_.capacity - buf_.pos || grow(n);
    }
    bool write(const char* s, size_t n) {
        if (!ensure(n)) [[unlikely]] {
            return false;
        }
        std::memcpy(buf_.data + buf_.pos, s, n);
        buf_.pos += n;
        return true;
    }
    // Where the next byte goes, for writers that fill ensured room themselves.
    char* end() const {
        return buf_.data + buf_.pos;
    }
    void set_end(char* end) {
        buf_.pos = static_cast<size_t>(end - buf_.data);
    }
    const char* data() const {
        return buf_.data;
    }
    size_t size() const {
        return buf_.pos;
    }
    // Takes back what was written after the first `size` bytes.
    void cut(size_t size) {
        buf_.pos = size;
    }
    // The text as a new str; null with an exception set.
    PyObject* take_str();

    bool ascii = true;

private:
    [[gnu::cold, gnu::noinline]] bool grow(size_t n);

    Buffer buf_;
    PyObject* str_ = nullptr;  // the str the block is in, once it grew into one
    const bool into_str_;
};

using common::KeyMemo;

// `key` and " = " from `keys`' slot `slot` (KeyMemo::put): true, or false with nothing
// written when the memo cannot keep it or the room cannot be had.
[[gnu::always_inline]] inline bool put_kept_key(Text* out, KeyMemo* keys, size_t slot,
                                                PyObject* key) {
    if (!out->ensure(KeyMemo::kRoom)) {
        return false;
    }
    char* end = keys->put(out->end(), slot, key);
    if (end == nullptr) {
        return false;
    }
    out->set_end(end);
    return true;
}

// One call's state.
struct Writer {
    Text* doc;           // the document
    Text* name;          // the dotted name of the table being written
    bool multiline;      // strings with a line feed written as multi-line strings
    const char* indent;  // UTF-8 of the indent of one array level
    size_t indent_len;
    KeyMemo* keys;                      // the keys of tables' lines
    int depth = 0;                      // containers entered
    common::DictWalk* walks = nullptr;  // the innermost dict being walked
};

// A container entered, for a scope. Past the interpreter's recursion limit RecursionError is
// raised, as the stack guard alone would let arrays nest so deep that their indents alone
// (quadratic in the depth) fill the memory first.
class Nesting {
public:
    Nesting(Writer& w, const char* where) : w_(w), guard_(where) {
        if (!guard_.entered()) {
            return;
        }
        if (++w_.depth > Py_GetRecursionLimit()) {
            PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
        } else {
            entered_ = true;
        }
    }
    ~Nesting() {
        if (guard_.entered()) {
            w_.depth--;
        }
    }
    Nesting(const Nesting&) = delete;
    Nesting& operator=(const Nesting&) = delete;

    bool entered() const {
        return entered_;
    }

private:
    Writer& w_;
    common::RecursionGuard guard_;
    bool entered_ = false;
};

// -1 with MemoryError, for a buffer that cannot grow.
int no_room();

// The answer of a test that can fail.
enum class Answer { kNo, kYes, kFailed };

// Whether `obj` is a Mapping. Calls out only for objects of no built-in kind.
Answer is_mapping(Writer& w, PyObject* obj);

// The writers: 0, or -1 with an exception set.
int write_string(Text* out, PyObject* s, bool multiline);
int write_key(Text* out, PyObject* key);
int write_value(Writer& w, PyObject* value, Py_ssize_t nest);
int write_inline_table(Writer& w, PyObject* table);
// A date, time or datetime (`*matched` true), or nothing for any other object.
int write_date_time(Writer& w, PyObject* value, bool* matched);
int import_datetime();
int write_document(Writer& w, PyObject* obj);

extern PyMethodDef module_functions[];
int intern_names();

}  // namespace wrenfold::inkdump
