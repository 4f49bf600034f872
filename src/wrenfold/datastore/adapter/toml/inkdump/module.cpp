// The module `wrenfold.datastore.adapter.toml.inkdump`: its initialisation.
#include <wrenfold/_cpp/common/dict_entries.hpp>
#include <wrenfold/_cpp/common/dict_walk.hpp>
#include <wrenfold/_cpp/common/module.hpp>
#include <wrenfold/_cpp/common/ref.hpp>

#include "inkdump.hpp"

namespace wrenfold::inkdump {

Bound bound;

namespace {

int initialise(PyObject* module) {
    common::Ref abc(PyImport_ImportModule("collections.abc"));
    if (!abc) {
        return -1;
    }
    Py_XSETREF(bound.mapping, PyObject_GetAttrString(abc.get(), "Mapping"));
    if (bound.mapping == nullptr || import_datetime() < 0 || intern_names() < 0) {
        return -1;
    }
    common::start_dict_watch();
    // Each module keeps its own verdict: without the check, dicts go through PyDict_Next.
    if (common::check_dict_table_layout() < 0) {
        return -1;
    }
    return PyModule_AddFunctions(module, module_functions);
}

common::ModuleState state = {"inkdump", "init wrenfold.datastore.adapter.toml.inkdump", initialise};

PyModuleDef moduledef = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "inkdump",
    .m_doc = "TOML writer for any document: tomli_w's dumps and dump.",
    .m_slots = common::module_slots<state>,
};

}  // namespace

}  // namespace wrenfold::inkdump

PyMODINIT_FUNC PyInit_inkdump(void) {
    return PyModuleDef_Init(&wrenfold::inkdump::moduledef);
}
