// Values on the right of '=': scalars, arrays over several lines, inline tables.
#include <wrenfold/_cpp/common/int_value.hpp>
#include <wrenfold/_cpp/common/number_format.hpp>
#include <wrenfold/_cpp/common/ref.hpp>
#include <wrenfold/_cpp/common/text_scan.hpp>

#include "items.hpp"

namespace wrenfold::inkdump {

using common::Ref;

int no_room() {
    PyErr_NoMemory();
    return -1;
}

namespace {

int put(Text* out, const char* s, size_t n) {
    return out->write(s, n) ? 0 : no_room();
}

// An int of any subclass as int's own text: an IntEnum member's str() may be its name.
int write_int(Text* out, PyObject* value) {
    long long v;
    if (common::int64_value(value, &v)) [[likely]] {
        if (!out->ensure(common::kMaxInt64Chars)) {
            return no_room();
        }
        out->set_end(common::format_int64(v, out->end()));
        return 0;
    }
    Ref text(PyLong_Type.tp_repr(value));
    return text ? put(out, PyUnicode_AsUTF8(text.get()),
                      static_cast<size_t>(PyUnicode_GET_LENGTH(text.get())))
                : -1;
}

// A float of any subclass as float's repr, which str() is for float itself.
int write_float(Text* out, PyObject* value) {
    if (!out->ensure(common::kMaxDoubleReprChars)) {
        return no_room();
    }
    out->set_end(common::format_double_repr(PyFloat_AS_DOUBLE(value), out->end()));
    return 0;
}

// Decimal's own str(), lower case; NaN and infinities as TOML spells them; ".0" when the
// text would read back as an integer.
int write_decimal(Text* out, PyObject* value) {
    Ref text(reinterpret_cast<PyTypeObject*>(bound.decimal)->tp_str(value));
    if (!text) {
        return -1;
    }
    Py_ssize_t n;
    const char* s = PyUnicode_AsUTF8AndSize(text.get(), &n);
    if (s == nullptr) {
        return -1;
    }
    bool point = false, nan = false, inf = false;
    for (Py_ssize_t i = 0; i < n; i++) {
        const char c = static_cast<char>(s[i] | 0x20);
        point = point || c == '.' || c == 'e';
        nan = nan || c == 'n';  // "NaN", "sNaN", "Infinity"
        inf = inf || c == 'y';
    }
    if (inf) {
        return s[0] == '-' ? put(out, "-inf", 4) : put(out, "inf", 3);
    }
    if (nan) {
        return put(out, "nan", 3);
    }
    if (!out->ensure(static_cast<size_t>(n) + 2)) {
        return no_room();
    }
    char* end = out->end();
    for (Py_ssize_t i = 0; i < n; i++) {
        *end++ = s[i] == 'E' ? 'e' : s[i];
    }
    out->set_end(end);
    return point ? 0 : put(out, ".0", 2);
}

// Writes `level` indents into room the caller has ensured; returns the end. Indents are short:
// copied inline, not by a call to memcpy each.
char* put_indent(const Writer& w, Py_ssize_t level, char* end) {
    for (Py_ssize_t i = 0; i < level; i++) {
        common::copy_text(end, w.indent, w.indent_len);
        end += w.indent_len;
    }
    return end;
}

// The room of `level` indents, or -1 with MemoryError.
int indent_room(const Writer& w, Py_ssize_t level, size_t* size) {
    return __builtin_mul_overflow(static_cast<size_t>(level), w.indent_len, size) ? no_room() : 0;
}

int write_indent(Writer& w, Py_ssize_t level) {
    size_t size;
    if (indent_room(w, level, &size) < 0) {
        return -1;
    }
    if (!w.doc->ensure(size)) {
        return no_room();
    }
    w.doc->set_end(put_indent(w, level, w.doc->end()));
    return 0;
}

// One item a line, each followed by a comma; the size is read again at every step, since an
// item's writing may change the array.
int write_array(Writer& w, PyObject* arr, Py_ssize_t nest) {
    const bool list = PyList_Check(arr);
    if ((list ? PyList_GET_SIZE(arr) : PyTuple_GET_SIZE(arr)) == 0) {
        return put(w.doc, "[]", 2);
    }
    Nesting guard(w, " while writing a TOML array");
    if (!guard.entered() || put(w.doc, "[\n", 2) < 0) {
        return -1;
    }
    size_t indent;
    if (indent_room(w, nest + 1, &indent) < 0) {
        return -1;
    }
    for (Py_ssize_t i = 0; i < (list ? PyList_GET_SIZE(arr) : PyTuple_GET_SIZE(arr)); i++) {
        PyObject* item = list ? PyList_GET_ITEM(arr, i) : PyTuple_GET_ITEM(arr, i);
        if (!w.doc->ensure(indent)) {
            return no_room();
        }
        w.doc->set_end(put_indent(w, nest + 1, w.doc->end()));
        if (is_plain(item)) [[likely]] {
            if (write_value(w, item, nest + 1) < 0) {
                return -1;
            }
        } else {
            Ref held = Ref::borrow(item);
            if (write_value(w, item, nest + 1) < 0) {
                return -1;
            }
        }
        if (put(w.doc, ",\n", 2) < 0) {
            return -1;
        }
    }
    if (write_indent(w, nest) < 0) {
        return -1;
    }
    return put(w.doc, "]", 1);
}

PyObject* decimal_type() {
    if (bound.decimal == nullptr) {
        Ref module(PyImport_ImportModule("decimal"));
        bound.decimal = module ? PyObject_GetAttrString(module.get(), "Decimal") : nullptr;
    }
    return bound.decimal;
}

int unserializable(PyObject* value) {
    Ref name(PyType_GetQualName(Py_TYPE(value)));
    if (name) {
        PyErr_Format(PyExc_TypeError, "Object of type '%U' is not TOML serializable", name.get());
    }
    return -1;
}

// Subclasses and objects of no built-in kind, in tomli_w's order of tests. The caller holds
// `value`.
int write_other(Writer& w, PyObject* value, Py_ssize_t nest) {
    if (PyLong_Check(value)) {
        return write_int(w.doc, value);
    }
    if (PyFloat_Check(value)) {
        return write_float(w.doc, value);
    }
    bool matched;
    const int status = write_date_time(w, value, &matched);
    if (matched) {
        return status;
    }
    if (PyUnicode_Check(value)) {
        return write_string(w.doc, value, w.multiline);
    }
    if (PyList_Check(value) || PyTuple_Check(value)) {
        return write_array(w, value, nest);
    }
    const Answer mapping = is_mapping(w, value);
    if (mapping != Answer::kNo) {
        return mapping == Answer::kFailed ? -1 : write_inline_table(w, value);
    }
    PyObject* decimal = decimal_type();
    if (decimal == nullptr) {
        return -1;
    }
    const int is_decimal = PyObject_IsInstance(value, decimal);
    if (is_decimal != 0) {
        return is_decimal < 0 ? -1 : write_decimal(w.doc, value);
    }
    return unserializable(value);
}

}  // namespace

Answer is_mapping(Writer& w, PyObject* obj) {
    PyTypeObject* t = Py_TYPE(obj);
    if (PyDict_Check(obj)) {
        return Answer::kYes;
    }
    if (is_plain(obj) || t == &PyList_Type || t == &PyTuple_Type || obj == Py_None) {
        return Answer::kNo;
    }
    // An ABC's check runs Python code.
    if (common::arm_walks(w.walks) < 0) {
        return Answer::kFailed;
    }
    const int instance = PyObject_IsInstance(obj, bound.mapping);
    return instance < 0 ? Answer::kFailed : instance > 0 ? Answer::kYes : Answer::kNo;
}

int write_value(Writer& w, PyObject* value, Py_ssize_t nest) {
    PyTypeObject* t = Py_TYPE(value);
    if (t == &PyUnicode_Type) {
        return write_string(w.doc, value, w.multiline);
    }
    if (t == &PyLong_Type) {
        return write_int(w.doc, value);
    }
    if (t == &PyFloat_Type) {
        return write_float(w.doc, value);
    }
    if (t == &PyBool_Type) {
        return value == Py_True ? put(w.doc, "true", 4) : put(w.doc, "false", 5);
    }
    // Writing the rest may run Python code, which may drop the container's reference.
    Ref held = Ref::borrow(value);
    if (t == &PyList_Type || t == &PyTuple_Type) {
        return write_array(w, value, nest);
    }
    if (t == &PyDict_Type) {
        return write_inline_table(w, value);
    }
    return write_other(w, value, nest);
}

// "{ k = v, ... }", "{}" when empty. Arrays inside start again at the first level.
int write_inline_table(Writer& w, PyObject* table) {
    Nesting guard(w, " while writing a TOML inline table");
    if (!guard.entered()) {
        return -1;
    }
    const size_t start = w.doc->size();
    if (put(w.doc, "{ ", 2) < 0) {
        return -1;
    }
    bool first = true;
    const int status = for_each_item(w, table, [&](PyObject* key, PyObject* value) {
        if ((!first && put(w.doc, ", ", 2) < 0) || write_key(w.doc, key) < 0 ||
            put(w.doc, " = ", 3) < 0) {
            return -1;
        }
        first = false;
        return write_value(w, value, 0);
    });
    if (status < 0) {
        return -1;
    }
    if (first) {
        w.doc->cut(start);
        return put(w.doc, "{}", 2);
    }
    return put(w.doc, " }", 2);
}

int unpack_pair(PyObject* item, Ref* key, Ref* value) {
    Ref pair(PySequence_Tuple(item));
    if (!pair) {
        return -1;
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(pair.get());
    if (n != 2) {
        if (n < 2) {
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
        } else {
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected 2, got %zd)", n);
        }
        return -1;
    }
    *key = Ref::borrow(PyTuple_GET_ITEM(pair.get(), 0));
    *value = Ref::borrow(PyTuple_GET_ITEM(pair.get(), 1));
    return 0;
}

}  // namespace wrenfold::inkdump
