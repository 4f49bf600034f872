// The few CPython functions that newer releases have and 3.11 lacks.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000
static inline PyObject* PyErr_GetRaisedException(void) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr) {
        return nullptr;
    }
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr) {
        PyException_SetTraceback(value, tb);
        Py_DECREF(tb);
    }
    Py_DECREF(type);
    return value;
}

static inline void PyErr_SetRaisedException(PyObject* exc) {
    if (exc == nullptr) {
        PyErr_Clear();
        return;
    }
    PyErr_Restore(Py_NewRef((PyObject*)Py_TYPE(exc)), exc, PyException_GetTraceback(exc));
}
#endif

#if PY_VERSION_HEX < 0x030D0000
static inline int PyDict_GetItemRef(PyObject* d, PyObject* key, PyObject** result) {
    PyObject* item = PyDict_GetItemWithError(d, key);
    *result = Py_XNewRef(item);
    if (item != nullptr) {
        return 1;
    }
    return PyErr_Occurred() ? -1 : 0;
}
#endif
