// Argument parsing shared by every Python-visible function: positional count, keyword
// look-up (identity first, then equality) and the standard messages, written once.
#pragma once

#include <Python.h>

#include "compat.hpp"

namespace wrenfold::common {

// The parameter list of one function. `keys` are interned on first use.
struct Params {
    const char* fname;
    Py_ssize_t nrequired;
    Py_ssize_t nmax;
    const char* names[3];
    PyObject* keys[3];
};

namespace detail {

inline void raise_count(const Params& p, Py_ssize_t given) {
    const char* more_or_less;
    Py_ssize_t expected;
    if (p.nrequired == p.nmax) {
        more_or_less = "exactly";
        expected = p.nmax;
    } else if (given < p.nrequired) {
        more_or_less = "at least";
        expected = p.nrequired;
    } else {
        more_or_less = "at most";
        expected = p.nmax;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 p.fname, more_or_less, expected, expected == 1 ? "" : "s", given);
}

inline int intern_keys(Params& p) {
    for (Py_ssize_t i = 0; i < p.nmax; i++) {
        if (p.keys[i] == nullptr) {
            p.keys[i] = PyUnicode_InternFromString(p.names[i]);
            if (p.keys[i] == nullptr) {
                return -1;
            }
        }
    }
    return 0;
}

// Places one keyword argument; `nargs` positional arguments are already in `out`.
inline int place_keyword(Params& p, PyObject* key, PyObject* value, Py_ssize_t nargs,
                         PyObject** out) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", p.fname);
        return -1;
    }
    Py_ssize_t index = -1;
    for (Py_ssize_t i = 0; i < p.nmax; i++) {
        if (p.keys[i] == key) {
            index = i;
            break;
        }
    }
    for (Py_ssize_t i = 0; index < 0 && i < p.nmax; i++) {
        if (PyUnicode_Compare(p.keys[i], key) == 0) {
            index = i;
        }
    }
    if (index < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", p.fname, key);
        return -1;
    }
    if (index < nargs || out[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", p.fname,
                     key);
        return -1;
    }
    out[index] = value;
    return 0;
}

inline int check_required(const Params& p, PyObject** out) {
    for (Py_ssize_t i = 0; i < p.nrequired; i++) {
        if (out[i] == nullptr) {
            raise_count(p, i);
            return -1;
        }
    }
    return 0;
}

inline int place_positional(const Params& p, PyObject* const* args, Py_ssize_t nargs,
                            PyObject** out) {
    if (nargs > p.nmax) {
        raise_count(p, nargs);
        return -1;
    }
    for (Py_ssize_t i = 0; i < p.nmax; i++) {
        out[i] = i < nargs ? args[i] : nullptr;
    }
    return 0;
}

}  // namespace detail

// Vectorcall form. Fills out[0 .. p.nmax) with borrowed references; null marks an optional
// argument that was not given. Returns 0, or -1 with TypeError set.
inline int parse_args(Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      PyObject** out) {
    if (detail::place_positional(p, args, nargs, out) < 0) {
        return -1;
    }
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        if (detail::intern_keys(p) < 0) {
            return -1;
        }
        for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(kwnames); j++) {
            if (detail::place_keyword(p, PyTuple_GET_ITEM(kwnames, j), args[nargs + j], nargs,
                                      out) < 0) {
                return -1;
            }
        }
    }
    return detail::check_required(p, out);
}

// Tuple-and-dict form, for tp_new and tp_init.
inline int parse_args(Params& p, PyObject* args, PyObject* kwargs, PyObject** out) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (detail::place_positional(p, PySequence_Fast_ITEMS(args), nargs, out) < 0) {
        return -1;
    }
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
        if (detail::intern_keys(p) < 0) {
            return -1;
        }
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (detail::place_keyword(p, key, value, nargs, out) < 0) {
                return -1;
            }
        }
    }
    return detail::check_required(p, out);
}

// Refuses anything but an exact str (or None when `none_ok`). A str subclass gets a note
// saying why, since it would otherwise look like the right type.
inline int check_str_arg(PyObject* obj, const char* argname, bool none_ok) {
    if (PyUnicode_CheckExact(obj) || (none_ok && obj == Py_None)) {
        return 0;
    }
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", argname,
                 "str", Py_TYPE(obj)->tp_name);
    if (PyUnicode_Check(obj)) {
        PyObject* exc = PyErr_GetRaisedException();
        PyObject* res = PyObject_CallMethod(
            exc, "add_note", "s",
            "Subclasses of builtin types are rejected here; pass an exact str instead.");
        if (res == nullptr) {
            PyErr_Clear();
        }
        Py_XDECREF(res);
        PyErr_SetRaisedException(exc);
    }
    return -1;
}

// The wrong type where one exact type is required, e.g. "Expected dict, got NoneType".
inline void raise_expected(const char* expected, const char* got_type_name) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected, got_type_name);
}

// Truth value of a bool-declared argument: True, False and None without a call.
inline int truth(PyObject* obj) {
    if (obj == Py_True) {
        return 1;
    }
    if (obj == Py_False || obj == Py_None) {
        return 0;
    }
    return PyObject_IsTrue(obj);
}

}  // namespace wrenfold::common

// The documented cast of a METH_FASTCALL | METH_KEYWORDS function into PyMethodDef.ml_meth,
// by way of void(*)() so that the compiler does not flag the differing signature.
#define WF_FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))
