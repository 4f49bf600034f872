// Bench-only floors (built by bench/floor.py, never shipped): what a reader and a writer
// cannot go below on a document.
//
//   objects(tape): the document's objects, built from a compact form with no text to scan:
//     dicts made as any reader makes them, the collector paused as loads pauses it.
//   write(plain, pieces, kind): a str from pre-rendered pieces of the output, one copied at
//     each value of a walk over `plain`'s dicts and lists.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

struct Tape {
    const unsigned char* p;
    const unsigned char* end;
    std::vector<PyObject*> keys;  // borrowed from the objects built

    template <class T>
    T take() {
        T v;
        std::memcpy(&v, p, sizeof(T));
        p += sizeof(T);
        return v;
    }
};

// A str of `len` units of `kind` bytes, copied as they are.
PyObject* units_str(Tape& t) {
    const int kind = t.take<uint8_t>();
    const uint32_t max_char = t.take<uint32_t>(), len = t.take<uint32_t>();
    PyObject* s = PyUnicode_New(len, max_char);
    if (s != nullptr) {
        std::memcpy(PyUnicode_DATA(s), t.p, size_t{len} * kind);
    }
    t.p += size_t{len} * kind;
    return s;
}

PyObject* value(Tape& t) {
    if (t.p >= t.end) {
        PyErr_SetString(PyExc_ValueError, "tape ends early");
        return nullptr;
    }
    switch (*t.p++) {
        case 'n': Py_RETURN_NONE;
        case 't': Py_RETURN_TRUE;
        case 'f': Py_RETURN_FALSE;
        case 'i': return PyLong_FromLongLong(t.take<int64_t>());
        case 'd': return PyFloat_FromDouble(t.take<double>());
        case 's': return units_str(t);
        case 'l': {
            const uint32_t n = t.take<uint32_t>();
            PyObject* list = PyList_New(n);
            for (uint32_t i = 0; list != nullptr && i < n; i++) {
                PyObject* item = value(t);
                if (item == nullptr) {
                    Py_CLEAR(list);
                } else {
                    PyList_SET_ITEM(list, i, item);
                }
            }
            return list;
        }
        case 'm': {
            const uint32_t n = t.take<uint32_t>();
            PyObject* dict = PyDict_New();
            for (uint32_t i = 0; dict != nullptr && i < n; i++) {
                // A key is new at its first use ('K') and the same object after ('k').
                PyObject* key;
                if (*t.p++ == 'K') {
                    key = units_str(t);
                    if (key != nullptr) {
                        t.keys.push_back(key);
                    }
                } else {
                    key = Py_NewRef(t.keys[t.take<uint32_t>()]);
                }
                PyObject* item = key != nullptr ? value(t) : nullptr;
                if (item == nullptr || PyDict_SetItem(dict, key, item) < 0) {
                    Py_CLEAR(dict);
                }
                Py_XDECREF(key);
                Py_XDECREF(item);
            }
            return dict;
        }
    }
    PyErr_SetString(PyExc_ValueError, "unknown tape item");
    return nullptr;
}

PyObject* objects(PyObject*, PyObject* tape) {
    char* data;
    Py_ssize_t size;
    if (PyBytes_AsStringAndSize(tape, &data, &size) < 0) {
        return nullptr;
    }
    Tape t{
        reinterpret_cast<unsigned char*>(data), reinterpret_cast<unsigned char*>(data) + size, {}};
    // The collector paused while the objects are built, as loads pauses it: its passes over
    // the young objects are not the cost of the objects.
    const int was_enabled = PyGC_Disable();
    PyObject* result = value(t);
    if (was_enabled) {
        PyGC_Enable();
    }
    return result;
}

struct Out {
    PyObject* pieces;
    Py_ssize_t next;
    char* at;
    char* end;
};

// Copies the next piece at every value that is neither a dict nor a list.
bool walk(PyObject* obj, Out& out) {
    if (PyDict_Check(obj)) {
        Py_ssize_t pos = 0;
        PyObject *key, *item;
        while (PyDict_Next(obj, &pos, &key, &item)) {
            if (!walk(item, out)) {
                return false;
            }
        }
        return true;
    }
    if (PyList_Check(obj)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); i++) {
            if (!walk(PyList_GET_ITEM(obj, i), out)) {
                return false;
            }
        }
        return true;
    }
    if (out.next >= PyTuple_GET_SIZE(out.pieces)) {
        PyErr_SetString(PyExc_ValueError, "fewer pieces than values");
        return false;
    }
    PyObject* piece = PyTuple_GET_ITEM(out.pieces, out.next++);
    if (!PyBytes_Check(piece) || PyBytes_GET_SIZE(piece) > out.end - out.at) {
        PyErr_SetString(PyExc_ValueError, "pieces longer than the result");
        return false;
    }
    std::memcpy(out.at, PyBytes_AS_STRING(piece), PyBytes_GET_SIZE(piece));
    out.at += PyBytes_GET_SIZE(piece);
    return true;
}

PyObject* write(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 4 || !PyTuple_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "write(plain, pieces, length, max_char)");
        return nullptr;
    }
    const Py_ssize_t length = PyLong_AsSsize_t(args[2]);
    const long max_char = PyLong_AsLong(args[3]);
    if (PyErr_Occurred()) {
        return nullptr;
    }
    PyObject* result = PyUnicode_New(length, static_cast<Py_UCS4>(max_char));
    if (result == nullptr) {
        return nullptr;
    }
    char* data = static_cast<char*>(PyUnicode_DATA(result));
    Out out{args[1], 0, data, data + length * PyUnicode_KIND(result)};
    if (!walk(args[0], out) || out.at != out.end) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ValueError, "pieces do not fill the result");
        }
        Py_DECREF(result);
        return nullptr;
    }
    return result;
}

PyMethodDef methods[] = {
    {"objects", objects, METH_O, nullptr},
    {"write", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(write)), METH_FASTCALL,
     nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "_floor", nullptr, 0, methods};

}  // namespace

PyMODINIT_FUNC PyInit__floor() {
    return PyModule_Create(&module);
}
