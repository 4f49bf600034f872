// Traceback entries for native functions, so a failure shows the path it took.
#pragma once

#include <Python.h>
#include <frameobject.h>

#include "compat.hpp"

namespace wrenfold::common {

// Adds an entry named `funcname` to the traceback of the pending exception. Runs only on
// failure paths; if the entry cannot be built, the original exception is kept as it was.
inline void add_traceback(const char* funcname, const char* filename, int line) {
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr) {
        return;
    }
    PyCodeObject* code = PyCode_NewEmpty(filename, funcname, line);
    PyObject* globals = code != nullptr ? PyDict_New() : nullptr;
    PyFrameObject* frame =
        globals != nullptr ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    if (frame != nullptr) {
        PyTraceBack_Here(frame);
    }
    Py_XDECREF(frame);
    Py_XDECREF(globals);
    Py_XDECREF(code);
}

}  // namespace wrenfold::common

#define WF_TRACEBACK(qualname) ::wrenfold::common::add_traceback(qualname, __FILE_NAME__, __LINE__)
