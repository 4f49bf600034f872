// The runtime module `wrenfold.datastore.c_unified_data`: exports the loop constants that the
// encoder's snapshot reads, as `Py_ssize_t const` variables in `__pyx_capi__`.
#include <Python.h>

#include <wrenfold/_cpp/common/module.hpp>

namespace {

using wrenfold::common::ModuleState;

const Py_ssize_t ZERO = 0;
const Py_ssize_t ONE = 1;
const Py_ssize_t TWO = 2;

// The capsules carry the variables' addresses; readers never write through them.
int initialise(PyObject* module) {
    const char* type = "Py_ssize_t const ";
    if (wrenfold::common::export_variable(module, "ONE", const_cast<Py_ssize_t*>(&ONE), type) < 0 ||
        wrenfold::common::export_variable(module, "TWO", const_cast<Py_ssize_t*>(&TWO), type) < 0 ||
        wrenfold::common::export_variable(module, "ZERO", const_cast<Py_ssize_t*>(&ZERO), type) <
            0) {
        return -1;
    }
    return 0;
}

ModuleState state = {"c_unified_data", "init wrenfold.datastore.c_unified_data", initialise};

PyModuleDef moduledef = {
    PyModuleDef_HEAD_INIT,
    "c_unified_data",
    "Constants shared by the native snapshot of the unified data format.",
    0,
    nullptr,
    wrenfold::common::module_slots<state>,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_c_unified_data(void) {
    return PyModuleDef_Init(&moduledef);
}
