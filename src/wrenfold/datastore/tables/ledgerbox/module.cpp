// Initialisation of `wrenfold.datastore.tables.ledgerbox`.
#include "holder.hpp"

#include <cstring>

#include <wrenfold/_cpp/common/compat.hpp>
#include <wrenfold/_cpp/common/module.hpp>
#include <wrenfold/_cpp/common/ref.hpp>

namespace wrenfold::ledgerbox {

using common::Ref;

Names names;
const PyMethodDef* method_defs[M_COUNT];

namespace {

PyObject* module_dict;  // borrowed from the module, which lives as long as the process

int intern_names() {
    struct Entry {
        PyObject** slot;
        const char* text;
    };
    const Entry entries[] = {
        {&names.TableData, "TableData"},
        {&names.freeze, "freeze"},
        {&names.core_schema, "core_schema"},
        {&names.model_validate, "model_validate"},
        {&names.as_dict, "as_dict"},
        {&names.replace_dict, "replace_dict"},
        {&names.eq, "__eq__"},
        {&names.keys, "keys"},
        {&names.empty_str, ""},
        {&names.no_info_plain_validator_function, "no_info_plain_validator_function"},
        {&names.plain_serializer_function_ser_schema, "plain_serializer_function_ser_schema"},
        {&names._validate, "_validate"},
        {&names._serialize, "_serialize"},
        {&names.info_arg, "info_arg"},
        {&names.serialization, "serialization"},
        {&names.str_schema, "str_schema"},
        {&names.dict_schema, "dict_schema"},
        {&names.keys_schema, "keys_schema"},
        {&names.values_schema, "values_schema"},
        {&names.pydantic_core_schema, "__pydantic_core_schema__"},
    };
    for (const Entry& e : entries) {
        if (*e.slot == nullptr && (*e.slot = PyUnicode_InternFromString(e.text)) == nullptr) {
            return -1;
        }
    }
    // In the order of enum Method.
    const char* const method_names[M_COUNT] = {
        "as_dict", "replace_dict", "contains", "set",    "add",   "get",        "remove",
        "clear",   "iterate",      "keys",     "values", "items", "model_dump", "is_tables_holder",
    };
    for (int m = 0; m < M_COUNT; m++) {
        for (PyMethodDef* def = holder_methods; def->ml_name != nullptr; def++) {
            if (std::strcmp(def->ml_name, method_names[m]) == 0) {
                method_defs[m] = def;
            }
        }
        if (names.method[m] == nullptr &&
            (names.method[m] = PyUnicode_InternFromString(method_names[m])) == nullptr) {
            return -1;
        }
    }
    return 0;
}

// `from <module> import <name>`, bound as a module attribute under the same name.
int import_from(PyObject* module, const char* from, const char* name) {
    Ref source(PyImport_ImportModule(from));
    if (!source) {
        return -1;
    }
    Ref value(PyObject_GetAttrString(source.get(), name));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "cannot import name %s", name);
        }
        return -1;
    }
    return PyModule_AddObjectRef(module, name, value.get());
}

int publish_type(PyObject* module) {
    if (PyType_Ready(&TablesHolder_Type) < 0 || add_serializer(module) < 0) {
        return -1;
    }
    Ref capsule(PyCapsule_New(&holder_vtable, nullptr, nullptr));
    // __iter__ = None, as a Python class refuses iteration: collections.abc.Iterable and type
    // checkers then see a holder as not iterable, as iter() finds it.
    if (!capsule ||
        PyDict_SetItemString(TablesHolder_Type.tp_dict, kVTableKey, capsule.get()) < 0 ||
        PyDict_SetItemString(TablesHolder_Type.tp_dict, "__iter__", Py_None) < 0) {
        return -1;
    }
    PyType_Modified(&TablesHolder_Type);
    return PyModule_AddObjectRef(module, kTypeName,
                                 reinterpret_cast<PyObject*>(&TablesHolder_Type));
}

int bind_table_data(PyObject* module) {
    Ref type_checking(PyObject_GetAttrString(module, "TYPE_CHECKING"));
    int checking = type_checking ? PyObject_IsTrue(type_checking.get()) : -1;
    if (checking < 0) {
        return -1;
    }
    if (checking) {
        return import_from(module, "wrenfold.datastore.tables.data", "TableData");
    }
    // Deferred, so importing this module does not import the data module.
    Ref lazy(PyObject_GetAttrString(module, "lazy"));
    Ref table_data(lazy ? PyObject_CallFunction(lazy.get(), "ss", "wrenfold.datastore.tables.data",
                                                "TableData")
                        : nullptr);
    if (!table_data) {
        return -1;
    }
    return PyModule_AddObjectRef(module, "TableData", table_data.get());
}

// Star imports and the type stubs see the type, not the names imported beside it.
int publish_all(PyObject* module) {
    Ref all(Py_BuildValue("[s]", kTypeName));
    return all ? PyModule_AddObjectRef(module, "__all__", all.get()) : -1;
}

int initialise(PyObject* module) {
    module_dict = PyModule_GetDict(module);
    if (intern_names() < 0 || common::export_variable(module, "ONE", &ONE, kSsizeCapsule) < 0 ||
        common::export_variable(module, "TWO", &TWO, kSsizeCapsule) < 0 ||
        common::export_variable(module, "ZERO", &ZERO, kSsizeCapsule) < 0 ||
        publish_type(module) < 0 || import_from(module, "typing", "TYPE_CHECKING") < 0 ||
        import_from(module, "pydantic", "GetCoreSchemaHandler") < 0 ||
        import_from(module, "pydantic_core", "core_schema") < 0 ||
        import_from(module, "idlekit", "lazy") < 0 ||
        import_from(module, "rimecast.frozen", "freeze") < 0 || bind_table_data(module) < 0 ||
        publish_all(module) < 0) {
        return -1;
    }
    return 0;
}

common::ModuleState state = {"ledgerbox", "init wrenfold.datastore.tables.ledgerbox", initialise};

PyModuleDef moduledef = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "ledgerbox",
    .m_doc = "A holder for tables in the unified data format.",
    .m_slots = common::module_slots<state>,
};

}  // namespace

PyObject* lookup_global(PyObject* name) {
    PyObject* value;
    int found = PyDict_GetItemRef(module_dict, name, &value);
    if (found == 0) {
        found = PyDict_GetItemRef(PyEval_GetBuiltins(), name, &value);
    }
    if (found == 0) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return found > 0 ? value : nullptr;
}

}  // namespace wrenfold::ledgerbox

PyMODINIT_FUNC PyInit_ledgerbox(void) {
    return PyModuleDef_Init(&wrenfold::ledgerbox::moduledef);
}
