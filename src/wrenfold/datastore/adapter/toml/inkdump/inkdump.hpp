// The writer of any TOML document from Python values, as tomli_w lays it out: what the
// module's files share.
#pragma once

#include <Python.h>

#include <wrenfold/_cpp/common/buffer.hpp>
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

// One call's state.
struct Writer {
    Buffer* buf;         // the document
    Buffer* name;        // the dotted name of the table being written
    bool multiline;      // strings with a line feed written as multi-line strings
    const char* indent;  // UTF-8 of the indent of one array level
    size_t indent_len;
    int depth = 0;  // containers entered
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

// 1 when `obj` is a Mapping, 0 when not, -1 with an exception set. Calls out only for
// objects of no built-in kind.
int is_mapping(Writer& w, PyObject* obj);

// The writers: 0, or -1 with an exception set.
int write_string(Buffer* buf, PyObject* s, bool multiline);
int write_key(Buffer* buf, PyObject* key);
int write_value(Writer& w, PyObject* value, Py_ssize_t nest);
int write_inline_table(Writer& w, PyObject* table);
// A date, time or datetime (`*matched` true), or nothing for any other object.
int write_date_time(Writer& w, PyObject* value, bool* matched);
int import_datetime();
int write_document(Writer& w, PyObject* obj);

extern PyMethodDef module_functions[];
int intern_names();

}  // namespace wrenfold::inkdump
