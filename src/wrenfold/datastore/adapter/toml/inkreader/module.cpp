// The module `wrenfold.datastore.adapter.toml.inkreader`: its initialisation.
#include <wrenfold/_cpp/common/module.hpp>
#include <wrenfold/_cpp/common/ref.hpp>

#include "inkreader.hpp"

namespace wrenfold::inkreader {

Bound bound;

int intern_function_names();

namespace {

int initialise(PyObject* module) {
    Ref tomllib(PyImport_ImportModule("tomllib"));
    if (!tomllib) {
        return -1;
    }
    Py_XSETREF(bound.decode_error, PyObject_GetAttrString(tomllib.get(), "TOMLDecodeError"));
    if (bound.decode_error == nullptr || import_datetime() < 0 || intern_function_names() < 0) {
        return -1;
    }
    return PyModule_AddFunctions(module, module_functions);
}

common::ModuleState state = {"inkreader", "init wrenfold.datastore.adapter.toml.inkreader",
                             initialise};

PyModuleDef moduledef = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "inkreader",
    .m_doc = "Fast TOML reader: tomllib's loads and load, and the reader of saved documents.",
    .m_slots = common::module_slots<state>,
};

}  // namespace

}  // namespace wrenfold::inkreader

PyMODINIT_FUNC PyInit_inkreader(void) {
    return PyModuleDef_Init(&wrenfold::inkreader::moduledef);
}
