// The runtime module `wrenfold.datastore.c_unified_data`: exports the loop constants that the
// encoder's snapshot reads, as `Py_ssize_t const` variables in `__pyx_capi__`.
#include <Python.h>

#include <wrenfold/_cpp/common/module.hpp>

namespace {

using wrenfold::common::ModuleState;

const Py_ssize_t ZERO = 0;
const Py_ssize_t ONE = 1;
const Py_ssize_t TWO = 2;

ModuleState state = {"c_unified_data", nullptr, false, -1};

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    return wrenfold::common::create_module(state, spec);
}

int module_exec(PyObject* module) {
    int status = wrenfold::common::begin_exec(state, module);
    if (status != 0) {
        return status < 0 ? -1 : 0;
    }
    // The capsules carry the variables' addresses; readers never write through them.
    const char* type = "Py_ssize_t const ";
    if (wrenfold::common::export_variable(module, "ONE", const_cast<Py_ssize_t*>(&ONE), type) < 0 ||
        wrenfold::common::export_variable(module, "TWO", const_cast<Py_ssize_t*>(&TWO), type) < 0 ||
        wrenfold::common::export_variable(module, "ZERO", const_cast<Py_ssize_t*>(&ZERO), type) < 0) {
        status = -1;
    }
    return wrenfold::common::end_exec(state, status, "init wrenfold.datastore.c_unified_data",
                                      __FILE_NAME__);
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef moduledef = {
    PyModuleDef_HEAD_INIT,
    "c_unified_data",
    "Constants shared by the native snapshot of the unified data format.",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_c_unified_data(void) {
    return PyModuleDef_Init(&moduledef);
}
