// The package's own models (UnifiedDataFormat, TableData, ColumnData) read field by field
// instead of through `tuple_output` and `tuple_values()`: those Python calls were a quarter of
// a small document's encode, and about half of it once other work had cooled the caches.
//
// Taken only where the result is the same: the exact classes, imported already, whose
// attribute look-up, properties and methods are still the package's own (checked when first
// used and again after any change to the classes, through a type watcher), with the
// method's code unchanged and not shadowed on the instance. No Python code runs while the
// fields are read, so what is read is what the methods would have returned. Anything else
// (a subclass, a method replaced, a field missing) takes the Python path.
#pragma once

#include <Python.h>

#include <iterator>
#include <utility>

#include <wrenfold/_cpp/common/compat.hpp>
#include <wrenfold/_cpp/common/dict_entries.hpp>
#include <wrenfold/_cpp/common/ref.hpp>

namespace wrenfold::c_unified_data::own_models {

using common::Ref;

// Kept in step with the methods of unified.py and tables/data.py, whose results these build.
inline constexpr const char* kDocumentFields[] = {"version", "schema_version", "tables"};
inline constexpr const char* kTableFields[] = {"columns", "records"};
inline constexpr const char* kColumnFields[] = {
    "name",     "type",     "unique",   "comment",     "foreign_key",  "default",
    "ondelete", "onupdate", "nullable", "primary_key", "autoincrement"};
// The column fields taken by their truth: read only when True, False or None, whose truth
// runs no Python code, so that the records list cannot change before it is taken.
inline constexpr size_t kColumnFlags[] = {2, 8, 9, 10};

#if PY_VERSION_HEX >= 0x030C0000

namespace detail {

enum class State { kUnknown, kOn, kRecheck, kOff };  // kOff: no type watcher to be had

struct Model {
    PyTypeObject* type;
    PyObject* property;  // the document's; null for the others
    PyObject* method;    // the function (for the document, the property's getter)
    PyObject* code;
    PyObject* shadow;  // the method's name, looked for in the instance's dict
    PyObject* fields[std::size(kColumnFields)];
};

struct Models {
    State state;
    int watcher;
    bool watched;  // the classes, once they have been found to be the package's own
    Model document, table, column;
};
inline Models models = {State::kUnknown, -1, false, {}, {}, {}};

inline int on_type_changed(PyTypeObject*) {
    if (models.state == State::kOn) {
        models.state = State::kRecheck;
    }
    return 0;
}

// What an instance's look-up of `name` finds in its class: the first entry along the MRO,
// borrowed, or null (no exception) when none has it.
inline PyObject* class_entry(PyTypeObject* type, PyObject* name) {
    PyObject* mro = type->tp_mro;
    for (Py_ssize_t i = 0; mro != nullptr && i < PyTuple_GET_SIZE(mro); i++) {
        Ref dict(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
        PyObject* found = dict ? PyDict_GetItemWithError(dict.get(), name) : nullptr;
        if (found != nullptr || PyErr_Occurred()) {
            PyErr_Clear();
            return found;  // still held by the class
        }
    }
    return nullptr;
}

// Whether `fn` is the function `qualname` of `module` (its code's own name, which a function
// put in its place or code swapped in does not carry).
inline bool is_defined_as(PyObject* fn, const char* module, const char* qualname) {
    if (fn == nullptr || !PyFunction_Check(fn)) {
        return false;
    }
    PyObject* mod = PyFunction_GetModule(fn);
    Ref name(PyObject_GetAttrString(PyFunction_GetCode(fn), "co_qualname"));
    PyErr_Clear();
    return mod != nullptr && PyUnicode_Check(mod) &&
           PyUnicode_CompareWithASCIIString(mod, module) == 0 && name &&
           PyUnicode_Check(name.get()) &&
           PyUnicode_CompareWithASCIIString(name.get(), qualname) == 0;
}

// True when instances of `type` look their attributes up as object does, no class entry
// stands in for a field, and `method_name` finds the package's own method (a property for
// the document); the first time, the class, the method and its code are kept.
template <size_t N>
bool check(Model* m, PyTypeObject* type, const char* const (&fields)[N], const char* method_name,
           const char* module, const char* qualname, bool is_property) {
    static PyObject* const getattribute = PyUnicode_InternFromString("__getattribute__");
    Ref object_dict(PyType_GetDict(&PyBaseObject_Type));
    if (getattribute == nullptr || !object_dict ||
        class_entry(type, getattribute) !=
            PyDict_GetItemWithError(object_dict.get(), getattribute)) {
        return false;
    }
    for (size_t i = 0; i < N; i++) {
        if (m->fields[i] == nullptr &&
            (m->fields[i] = PyUnicode_InternFromString(fields[i])) == nullptr) {
            return false;
        }
        if (class_entry(type, m->fields[i]) != nullptr) {
            return false;
        }
    }
    if (m->shadow == nullptr && (m->shadow = PyUnicode_InternFromString(method_name)) == nullptr) {
        return false;
    }
    PyObject* entry = class_entry(type, m->shadow);
    PyObject* property = nullptr;
    Ref getter;
    if (is_property) {
        if (entry == nullptr || !PyObject_TypeCheck(entry, &PyProperty_Type)) {
            return false;
        }
        property = entry;
        getter = Ref(PyObject_GetAttrString(property, "fget"));
        entry = getter.get();
    }
    if (!is_defined_as(entry, module, qualname)) {
        return false;
    }
    if (m->method == nullptr) {
        m->type = reinterpret_cast<PyTypeObject*>(Py_NewRef(type));
        m->property = Py_XNewRef(property);
        m->method = Py_NewRef(entry);
        m->code = Py_NewRef(PyFunction_GetCode(entry));
    }
    // A module loaded again makes classes and functions of its own: not these.
    return m->type == type && m->property == property && m->method == entry;
}

// The class `name` of the module `module` when that is imported, else null; no exception.
inline PyTypeObject* imported_class(const char* module, const char* name) {
    Ref module_name(PyUnicode_FromString(module));
    Ref mod(module_name ? PyImport_GetModule(module_name.get()) : nullptr);
    Ref cls(mod ? PyObject_GetAttrString(mod.get(), name) : nullptr);
    PyErr_Clear();
    return cls && PyType_Check(cls.get()) ? reinterpret_cast<PyTypeObject*>(cls.get()) : nullptr;
}

// Resolves the models, or checks them again after a change: whether the fields can be read.
inline bool resolve() {
    PyTypeObject* document = imported_class("wrenfold.datastore.unified", "UnifiedDataFormat");
    PyTypeObject* table = imported_class("wrenfold.datastore.tables.data", "TableData");
    PyTypeObject* column = imported_class("wrenfold.datastore.tables.data", "ColumnData");
    if (document == nullptr || table == nullptr || column == nullptr) {
        return false;  // not imported (yet): nothing of theirs can be in a document
    }
    // The classes stay alive in their modules while they are checked.
    if (models.watcher < 0 && (models.watcher = PyType_AddWatcher(on_type_changed)) < 0) {
        PyErr_Clear();
        models.state = State::kOff;
        return false;
    }
    const bool same = check(&models.document, document, kDocumentFields, "tuple_output",
                            "wrenfold.datastore.unified", "UnifiedDataFormat.tuple_output", true) &&
                      check(&models.table, table, kTableFields, "tuple_values",
                            "wrenfold.datastore.tables.data", "TableData.tuple_values", false) &&
                      check(&models.column, column, kColumnFields, "tuple_value",
                            "wrenfold.datastore.tables.data", "ColumnData.tuple_value", false);
    if (same && !models.watched &&
        (PyType_Watch(models.watcher, reinterpret_cast<PyObject*>(document)) < 0 ||
         PyType_Watch(models.watcher, reinterpret_cast<PyObject*>(table)) < 0 ||
         PyType_Watch(models.watcher, reinterpret_cast<PyObject*>(column)) < 0)) {
        PyErr_Clear();
        models.state = State::kOff;
        return false;
    }
    models.watched = models.watched || same;
    PyErr_Clear();
    // Checked again at every encode until the classes are the package's own again.
    models.state = same ? State::kOn : State::kRecheck;
    return same;
}

// Whether `obj` is an instance of `m`'s exact class whose method is still the package's; its
// dict, borrowed through `*dict`'s reference. Whether the method is shadowed on the instance is
// fields_tuple()'s to tell.
inline bool is_plain(const Model& m, PyObject* obj, Ref* dict) {
    if (Py_TYPE(obj) != m.type || PyFunction_GetCode(m.method) != m.code) {
        return false;
    }
    *dict = Ref(PyObject_GenericGetDict(obj, nullptr));
    PyErr_Clear();
    return static_cast<bool>(*dict);
}

// Whether the entries of `dict` are the `n` fields of `m` and nothing else, in their order, as
// the models' constructors store them: their values then go into `tuple` in one pass over the
// entries, with no look-up, and the method's name, not among them, shadows nothing.
inline bool fields_in_order(const Model& m, PyObject* dict, size_t n, PyObject* tuple) {
    common::DictEntry entries[std::size(kColumnFields)];
    bool more;
    if (static_cast<size_t>(PyDict_GET_SIZE(dict)) != n ||
        static_cast<size_t>(
            common::read_dict_entries(dict, 0, entries, static_cast<int>(n), &more)) != n) {
        return false;
    }
    for (size_t i = 0; i < n; i++) {
        if (entries[i].key != m.fields[i]) {
            return false;
        }
    }
    for (size_t i = 0; i < n; i++) {
        PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), Py_NewRef(entries[i].value));
    }
    return true;
}

// A tuple of the `n` fields of `m` in `dict`, or null (no exception but MemoryError, which
// `*failed` reports) when one is missing or the method is shadowed.
inline PyObject* fields_tuple(const Model& m, PyObject* dict, size_t n, bool* failed) {
    Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(n)));
    if (!tuple) {
        *failed = true;
        return nullptr;
    }
    if (fields_in_order(m, dict, n, tuple.get())) {
        return tuple.release();
    }
    if (PyDict_GetItemWithError(dict, m.shadow) != nullptr || PyErr_Occurred()) {
        PyErr_Clear();
        return nullptr;
    }
    for (size_t i = 0; i < n; i++) {
        PyObject* value;
        if (PyDict_GetItemRef(dict, m.fields[i], &value) <= 0) {
            PyErr_Clear();
            return nullptr;
        }
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), value);
    }
    return tuple.release();
}

inline bool ready() {
    switch (models.state) {
        case State::kOn: return true;
        case State::kOff: return false;
        default: return resolve();
    }
}

}  // namespace detail

// `data.tuple_output` of a UnifiedDataFormat, read from its fields: 1 with `*out` set, 0
// when `data` is something else (the attribute is to be read), -1 with MemoryError.
inline int document_tuple(PyObject* data, Ref* out) {
    using namespace detail;
    Ref dict;
    if (!ready() || !is_plain(models.document, data, &dict)) {
        return 0;
    }
    bool failed = false;
    *out = Ref(fields_tuple(models.document, dict.get(), std::size(kDocumentFields), &failed));
    return failed ? -1 : *out ? 1 : 0;
}

// `table.tuple_values()` of a TableData, read from its fields and its columns' fields: the
// tuple of column tuples into `*columns`, and the list of records itself into `*records`.
// 1, 0 when the method is to be called instead, or -1 with MemoryError.
inline int table_values(PyObject* table, Ref* columns, Ref* records) {
    using namespace detail;
    Ref dict;
    if (!ready() || !is_plain(models.table, table, &dict)) {
        return 0;
    }
    bool failed = false;
    const Ref fields(fields_tuple(models.table, dict.get(), std::size(kTableFields), &failed));
    if (!fields) {
        return failed ? -1 : 0;
    }
    // The tuple holds both lists: the dict is the model's, not ours.
    PyObject* column_list = PyTuple_GET_ITEM(fields.get(), 0);
    PyObject* record_list = PyTuple_GET_ITEM(fields.get(), 1);
    if (!PyList_CheckExact(column_list) || !PyList_CheckExact(record_list)) {
        return 0;
    }
    // No Python code runs until the loop ends: the list keeps its size.
    const Py_ssize_t n = PyList_GET_SIZE(column_list);
    Ref out(PyTuple_New(n));
    if (!out) {
        return -1;
    }
    for (Py_ssize_t i = 0; i < n; i++) {
        Ref column_dict;
        if (!is_plain(models.column, PyList_GET_ITEM(column_list, i), &column_dict)) {
            return 0;
        }
        PyObject* values =
            fields_tuple(models.column, column_dict.get(), std::size(kColumnFields), &failed);
        if (values == nullptr) {
            return failed ? -1 : 0;
        }
        PyTuple_SET_ITEM(out.get(), i, values);
        for (size_t flag : kColumnFlags) {
            PyObject* value = PyTuple_GET_ITEM(values, static_cast<Py_ssize_t>(flag));
            if (value != Py_True && value != Py_False && value != Py_None) {
                return 0;
            }
        }
    }
    *columns = std::move(out);
    *records = Ref::borrow(record_list);
    return 1;
}

#else  // without type watchers, the Python path only

inline int document_tuple(PyObject*, Ref*) {
    return 0;
}
inline int table_values(PyObject*, Ref*, Ref*) {
    return 0;
}

#endif

}  // namespace wrenfold::c_unified_data::own_models
