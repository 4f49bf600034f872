// The contract of `wrenfold.datastore.tables.ledgerbox` with other native modules: the
// TablesHolder instance record, its C-level method table and the names of the capsules
// through which both are found. Both sides compile against this one declaration.
#pragma once

#include <Python.h>

#include <cstddef>

namespace wrenfold::ledgerbox {

struct TablesHolderObject;

// Optional arguments of `_model_dump` and `model_dump`: how many were supplied (0 or 1),
// then `exclude_none`. A null record or a count of 0 means exclude_none is true.
struct ModelDumpOptions {
    int n;
    int exclude_none;
};

// The C-level method table, in slot order. Entries that take `skip_dispatch` call a Python
// subclass's override when it is 0. Entries returning nothing signal failure with a pending
// exception; those returning Py_ssize_t or int return 0 with a pending exception.
struct TablesHolderVTable {
    PyObject* (*get_root)(TablesHolderObject* self);
    void (*set_root)(TablesHolderObject* self, PyObject* new_root);
    void (*ingest_dict)(TablesHolderObject* self, PyObject* incoming);
    PyObject* (*as_dict)(TablesHolderObject* self, int skip_dispatch);
    void (*replace_dict)(TablesHolderObject* self, PyObject* other, int skip_dispatch);
    Py_ssize_t (*_size)(TablesHolderObject* self);
    int (*_empty)(TablesHolderObject* self);
    void (*_set)(TablesHolderObject* self, PyObject* name, PyObject* table);
    int (*_contains)(TablesHolderObject* self, PyObject* name);
    PyObject* (*_keys)(TablesHolderObject* self);
    PyObject* (*_values)(TablesHolderObject* self);
    PyObject* (*_items)(TablesHolderObject* self);
    int (*_hash)(TablesHolderObject* self);
    PyObject* (*_model_dump)(TablesHolderObject* self, ModelDumpOptions* opt);
    int (*contains)(TablesHolderObject* self, PyObject* name, int skip_dispatch);
    void (*set)(TablesHolderObject* self, PyObject* name, PyObject* table, int skip_dispatch);
    void (*add)(TablesHolderObject* self, PyObject* name, PyObject* table, int skip_dispatch);
    PyObject* (*get)(TablesHolderObject* self, PyObject* name, int skip_dispatch);
    void (*remove)(TablesHolderObject* self, PyObject* name, int skip_dispatch);
    void (*clear)(TablesHolderObject* self, int skip_dispatch);
    PyObject* (*iterate)(TablesHolderObject* self, int skip_dispatch);
    PyObject* (*keys)(TablesHolderObject* self, int skip_dispatch);
    PyObject* (*values)(TablesHolderObject* self, int skip_dispatch);
    PyObject* (*items)(TablesHolderObject* self, int skip_dispatch);
    PyObject* (*model_dump)(TablesHolderObject* self, int skip_dispatch, ModelDumpOptions* opt);
    int (*is_tables_holder)(TablesHolderObject* self, int skip_dispatch);
};

// The instance record. `_root` is the holder's dict (None only after the collector's clear
// step); `__TABLES_HOLDER__` is 1 once construction has completed.
struct TablesHolderObject {
    PyObject_HEAD
    TablesHolderVTable* vtab;
    PyObject* _root;
    int __TABLES_HOLDER__;
};

static_assert(sizeof(TablesHolderVTable) == 26 * sizeof(void (*)()));
static_assert(offsetof(TablesHolderObject, vtab) == sizeof(PyObject));
static_assert(offsetof(TablesHolderObject, _root) == sizeof(PyObject) + sizeof(void*));
static_assert(offsetof(TablesHolderObject, __TABLES_HOLDER__) ==
              sizeof(PyObject) + 2 * sizeof(void*));

inline constexpr const char* kModuleName = "wrenfold.datastore.tables.ledgerbox";
inline constexpr const char* kTypeName = "TablesHolder";
// Type-dict key of the method table's capsule (a capsule with a null name).
inline constexpr const char* kVTableKey = "__pyx_vtable__";
// Capsule name of the exported Py_ssize_t variables ONE, TWO and ZERO.
inline constexpr const char* kSsizeCapsule = "Py_ssize_t";

}  // namespace wrenfold::ledgerbox
