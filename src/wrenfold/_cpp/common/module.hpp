// Module initialisation shared by the extension modules: one module object per process,
// one interpreter, a warning on a version mismatch, and exported C variables.
#pragma once

#include <Python.h>

#include <cstdint>

#include "traceback.hpp"

namespace wrenfold::common {

// What a module declares about itself, and where it keeps the one module object it creates.
struct ModuleState {
    const char* short_name;  // for the re-initialisation message, e.g. "ledgerbox"
    const char* init_name;   // traceback entry of a failed import, e.g. "init wrenfold.x.y"
    int (*initialise)(PyObject* module);
    PyObject* module = nullptr;  // strong reference; modules live until the interpreter ends
    bool initialised = false;
    int64_t interpreter_id = -1;
};

// Py_mod_create: refuses a second interpreter, and hands out the existing module object to
// a repeated request so that the execute step never runs twice.
inline PyObject* create_module(ModuleState& st, PyObject* spec) {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        return nullptr;
    }
    if (st.interpreter_id == -1) {
        st.interpreter_id = id;
    } else if (st.interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (st.module != nullptr) {
        return Py_NewRef(st.module);
    }
    PyObject* name = PyObject_GetAttrString(spec, "name");
    if (name == nullptr) {
        return nullptr;
    }
    PyObject* module = PyModule_NewObject(name);
    Py_DECREF(name);
    if (module == nullptr) {
        return nullptr;
    }
    st.module = Py_NewRef(module);
    return module;
}

// What the start of Py_mod_exec found.
enum class Exec {
    kRun,     // initialisation should run
    kDone,    // the module is already initialised: nothing to do
    kFailed,  // RuntimeError (any other module object), or the version warning as an error
};

inline Exec begin_exec(ModuleState& st, PyObject* module) {
    if (module == st.module && st.initialised) {
        return Exec::kDone;
    }
    if (module != st.module) {
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     st.short_name);
        return Exec::kFailed;
    }
    unsigned long runtime = Py_Version;
    int major = (int)((runtime >> 24) & 0xFF);
    int minor = (int)((runtime >> 16) & 0xFF);
    if (major != PY_MAJOR_VERSION || minor != PY_MINOR_VERSION) {
        const char* name = PyModule_GetName(module);
        if (name == nullptr ||
            PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                             "compile time Python version %d.%d of module '%.100s' %s runtime "
                             "version %d.%d",
                             PY_MAJOR_VERSION, PY_MINOR_VERSION, name, "does not match", major,
                             minor) < 0) {
            return Exec::kFailed;
        }
    }
    return Exec::kRun;
}

// End of Py_mod_exec. On failure the traceback gains "init <dotted name>" and the module
// object is let go, so that a later import starts afresh.
inline int end_exec(ModuleState& st, int status, const char* filename) {
    if (status == 0) {
        st.initialised = true;
        return 0;
    }
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_ImportError, st.init_name);
    }
    add_traceback(st.init_name, filename, 1);
    Py_CLEAR(st.module);
    return -1;
}

template <ModuleState& st>
PyObject* module_create(PyObject* spec, PyModuleDef*) {
    return create_module(st, spec);
}

template <ModuleState& st>
int module_exec(PyObject* module) {
    const Exec start = begin_exec(st, module);
    if (start != Exec::kRun) {
        return start == Exec::kFailed ? -1 : 0;
    }
    return end_exec(st, st.initialise(module), __FILE_NAME__);
}

// The slots of every module of the package: the guarded create and execute steps, support
// for legacy subinterpreters only (the guard then refuses them), and the GIL.
template <ModuleState& st>
inline PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create<st>)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec<st>)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

// Publishes the address of a C variable in the module's `__pyx_capi__` dict, under a
// capsule named after the variable's declared type.
inline int export_variable(PyObject* module, const char* name, void* addr, const char* type) {
    PyObject* capi = PyObject_GetAttrString(module, "__pyx_capi__");
    if (capi == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return -1;
        }
        PyErr_Clear();
        capi = PyDict_New();
        if (capi == nullptr || PyModule_AddObjectRef(module, "__pyx_capi__", capi) < 0) {
            Py_XDECREF(capi);
            return -1;
        }
    }
    PyObject* capsule = PyCapsule_New(addr, type, nullptr);
    int status = capsule != nullptr ? PyDict_SetItemString(capi, name, capsule) : -1;
    Py_XDECREF(capsule);
    Py_DECREF(capi);
    return status;
}

// Reads the address of a C variable that `module` exports, checking the capsule's name.
inline int import_variable(PyObject* module, const char* name, void** addr, const char* type) {
    PyObject* capi = PyObject_GetAttrString(module, "__pyx_capi__");
    if (capi == nullptr) {
        return -1;
    }
    int status = -1;
    PyObject* capsule = PyMapping_GetItemString(capi, name);
    if (capsule == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_KeyError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "%.200s does not export expected C %.8s %.200s",
                         PyModule_GetName(module), "variable", name);
        }
    } else if (!PyCapsule_IsValid(capsule, type)) {
        const char* actual = PyCapsule_CheckExact(capsule) ? PyCapsule_GetName(capsule) : nullptr;
        PyErr_Format(PyExc_TypeError,
                     "C %.8s %.200s.%.200s has wrong signature (expected %.500s, got %.500s)",
                     "variable", PyModule_GetName(module), name, type,
                     actual != nullptr ? actual : "(null)");
    } else {
        *addr = PyCapsule_GetPointer(capsule, type);
        status = *addr != nullptr ? 0 : -1;
    }
    Py_XDECREF(capsule);
    Py_DECREF(capi);
    return status;
}

}  // namespace wrenfold::common
