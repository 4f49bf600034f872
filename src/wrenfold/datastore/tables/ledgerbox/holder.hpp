// Declarations shared by the translation units of the ledgerbox module.
#pragma once

#include <Python.h>

#include <wrenfold/_cpp/common/ref.hpp>
#include <wrenfold/_cpp/common/traceback.hpp>

#include "ledgerbox.hpp"

#define WF_QUAL "wrenfold.datastore.tables.ledgerbox.TablesHolder."

namespace wrenfold::ledgerbox {

extern PyTypeObject TablesHolder_Type;
extern TablesHolderVTable holder_vtable;
extern PyMethodDef holder_methods[];

// Exported with the capsule name "Py_ssize_t". Only ZERO is read (as the start of walks).
extern Py_ssize_t ZERO;
extern Py_ssize_t ONE;
extern Py_ssize_t TWO;

// The override-aware entries, for find_override.
enum Method {
    M_AS_DICT,
    M_REPLACE_DICT,
    M_CONTAINS,
    M_SET,
    M_ADD,
    M_GET,
    M_REMOVE,
    M_CLEAR,
    M_ITERATE,
    M_KEYS,
    M_VALUES,
    M_ITEMS,
    M_MODEL_DUMP,
    M_IS_TABLES_HOLDER,
    M_COUNT,
};

// Strings interned once at initialisation: module-global names and attribute names.
struct Names {
    PyObject* TableData;
    PyObject* freeze;
    PyObject* core_schema;
    PyObject* model_validate;
    PyObject* as_dict;
    PyObject* replace_dict;
    PyObject* eq;
    PyObject* keys;
    PyObject* empty_str;
    PyObject* no_info_plain_validator_function;
    PyObject* plain_serializer_function_ser_schema;
    PyObject* _validate;
    PyObject* _serialize;
    PyObject* info_arg;
    PyObject* serialization;
    PyObject* str_schema;
    PyObject* dict_schema;
    PyObject* keys_schema;
    PyObject* values_schema;
    PyObject* pydantic_core_schema;
    PyObject* method[M_COUNT];  // names of the override-aware entries
};
extern Names names;

// Looks up a module-global name: the module's namespace, then the builtins (new reference).
PyObject* lookup_global(PyObject* name);

// The built-in Python method of each override-aware entry: an attribute that is anything
// else is a subclass's override.
// Filled at initialisation from holder_methods, by name.
extern const PyMethodDef* method_defs[M_COUNT];

inline TablesHolderObject* as_holder(PyObject* obj) {
    return reinterpret_cast<TablesHolderObject*>(obj);
}

// The storage dict, held for as long as the caller keeps the owner: hashing or comparing a
// key, a table's finaliser and model_validate run Python code, which may replace the storage
// through set_root and free the dict the caller is still using. Empty with TypeError when
// `_root` is not a dict.
common::Ref storage(TablesHolderObject* self);

// The paths that `_size` and len(), `_contains` and `in`, `_hash` and hash() each share.
// Failures return -1 with the exception set and no traceback entry of their own.
Py_ssize_t storage_size(TablesHolderObject* self);
int storage_contains(TablesHolderObject* self, PyObject* name);
Py_hash_t frozen_hash(PyObject* tables);

// What ingest_dict stores for a value (new reference): a dict of table fields through
// TableData.model_validate, anything else as it is.
PyObject* table_from(PyObject* value);

// Adds the traceback entry `qualname` to the pending exception; returns null.
inline PyObject* fail(const char* qualname) {
    WF_TRACEBACK(qualname);
    return nullptr;
}

// A Python method: METH_FASTCALL | METH_KEYWORDS.
#define WF_METHOD(fn) \
    PyObject* fn(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)

// The validation-framework hooks, listed in the type's method table.
WF_METHOD(py_get_pydantic_core_schema);
WF_METHOD(py_get_pydantic_json_schema);
WF_METHOD(py_validate);

// Puts `_serialize` into the type's dict: it serialises a dict of tables too, so it cannot be
// a method of the type, which only ever receives holders.
int add_serializer(PyObject* module);

}  // namespace wrenfold::ledgerbox
