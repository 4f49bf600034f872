// The module `wrenfold.datastore.adapter.toml.inkwright`: its initialisation, which binds it
// to ledgerbox and to the runtime module.
#include "inkwright.hpp"

#include <wrenfold/_cpp/common/args.hpp>
#include <wrenfold/_cpp/common/compat.hpp>
#include <wrenfold/_cpp/common/dict_entries.hpp>
#include <wrenfold/_cpp/common/dict_walk.hpp>
#include <wrenfold/_cpp/common/module.hpp>
#include <wrenfold/_cpp/common/ref.hpp>

namespace wrenfold::inkwright {

using c_unified_data::bound;
using common::Ref;

namespace {

// Bound from ledgerbox, not read.
Py_ssize_t* ledgerbox_ZERO;
Py_ssize_t* ledgerbox_ONE;
Py_ssize_t* ledgerbox_TWO;

// The holder type, checked against our declaration of its instance record.
int bind_holder_type(PyObject* ledgerbox) {
    const char* modname = ledgerbox::kModuleName;
    Ref type(PyObject_GetAttrString(ledgerbox, ledgerbox::kTypeName));
    if (!type) {
        return -1;
    }
    if (!PyType_Check(type.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", modname,
                     ledgerbox::kTypeName);
        return -1;
    }
    PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(type.get());
    const Py_ssize_t expected = sizeof(ledgerbox::TablesHolderObject);
    if (tp->tp_basicsize < expected) {
        PyErr_Format(PyExc_ValueError,
                     "%.200s.%.200s size changed, may indicate binary incompatibility. Expected "
                     "%zd from C header, got %zd from PyObject",
                     modname, ledgerbox::kTypeName, expected, tp->tp_basicsize);
        return -1;
    }
    if (tp->tp_basicsize > expected &&
        PyErr_WarnFormat(PyExc_RuntimeWarning, 0,
                         "%.200s.%.200s size changed, may indicate binary incompatibility. "
                         "Expected %zd from C header, got %zd from PyObject",
                         modname, ledgerbox::kTypeName, expected, tp->tp_basicsize) < 0) {
        return -1;
    }
#if PY_VERSION_HEX >= 0x030C0000
    Ref type_dict(PyType_GetDict(tp));
#else
    Ref type_dict = Ref::borrow(tp->tp_dict);
#endif
    Ref key(PyUnicode_FromString(ledgerbox::kVTableKey));
    if (!type_dict || !key) {
        return -1;
    }
    Ref capsule(PyObject_GetItem(type_dict.get(), key.get()));  // KeyError when missing
    if (!capsule) {
        return -1;
    }
    void* vtable = PyCapsule_GetPointer(capsule.get(), nullptr);
    if (vtable == nullptr) {
        PyErr_Clear();
        PyErr_SetString(PyExc_RuntimeError, "invalid vtable found for imported type");
        return -1;
    }
    // Kept for good; a retried import after a failed one replaces it.
    Py_XSETREF(bound.holder_type, reinterpret_cast<PyTypeObject*>(type.release()));
    bound.holder_vtable = static_cast<ledgerbox::TablesHolderVTable*>(vtable);
    return 0;
}

template <class T>
int bind_variable(PyObject* module, const char* name, T** addr, const char* type) {
    void* p;
    if (common::import_variable(module, name, &p, type) < 0) {
        return -1;
    }
    *addr = static_cast<T*>(p);
    return 0;
}

int initialise(PyObject* module) {
    if (publish_tokens(module) < 0) {
        return -1;
    }
    Ref ledgerbox(PyImport_ImportModule(ledgerbox::kModuleName));
    if (!ledgerbox || bind_holder_type(ledgerbox.get()) < 0 ||
        bind_variable(ledgerbox.get(), "ONE", &ledgerbox_ONE, ledgerbox::kSsizeCapsule) < 0 ||
        bind_variable(ledgerbox.get(), "TWO", &ledgerbox_TWO, ledgerbox::kSsizeCapsule) < 0 ||
        bind_variable(ledgerbox.get(), "ZERO", &ledgerbox_ZERO, ledgerbox::kSsizeCapsule) < 0) {
        return -1;
    }
    const char* const_ssize = "Py_ssize_t const ";
    Ref runtime(PyImport_ImportModule("wrenfold.datastore.c_unified_data"));
    if (!runtime || bind_variable(runtime.get(), "ONE", &bound.ONE, const_ssize) < 0 ||
        bind_variable(runtime.get(), "TWO", &bound.TWO, const_ssize) < 0 ||
        bind_variable(runtime.get(), "ZERO", &bound.ZERO, const_ssize) < 0) {
        return -1;
    }
    // Every snapshot loop counts with these: anything else would never end or skip items.
    if (*bound.ZERO != 0 || *bound.ONE != 1) {
        PyErr_SetString(PyExc_ImportError,
                        "wrenfold.datastore.c_unified_data exports unexpected values of ZERO "
                        "and ONE");
        return -1;
    }
    if ((bound.tuple_values == nullptr &&
         (bound.tuple_values = PyUnicode_InternFromString("tuple_values")) == nullptr) ||
        intern_entry_names() < 0) {
        return -1;
    }
    assign_tokens();
    common::start_dict_watch();
    if (common::check_dict_table_layout() < 0 ||
        PyModule_AddObjectRef(module, "_DICT_TABLE_LAYOUT",
                              common::dict_table_layout_in_use() ? Py_True : Py_False) < 0) {
        return -1;
    }
    return PyModule_AddFunctions(module, module_functions);
}

common::ModuleState state = {"inkwright", "init wrenfold.datastore.adapter.toml.inkwright",
                             initialise};

PyModuleDef moduledef = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "inkwright",
    .m_doc =
        "Fast encoder of UnifiedDataFormat into TOML.\n\n"
        "Writes the document directly: multiline arrays for columns and records, an inline table\n"
        "{k = v, ...} for each entry, and proper TOML string escaping.",
    .m_slots = common::module_slots<state>,
};

}  // namespace

}  // namespace wrenfold::inkwright

PyMODINIT_FUNC PyInit_inkwright(void) {
    return PyModuleDef_Init(&wrenfold::inkwright::moduledef);
}
