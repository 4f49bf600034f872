// The C-level method table of TablesHolder: storage primitives, the override rule, the
// named-table operations and the dictionary conversions; and the storage paths that the
// Python slots share with them.
#include "holder.hpp"

#include <cstdint>

#include <wrenfold/_cpp/common/args.hpp>
#include <wrenfold/_cpp/common/compat.hpp>
#include <wrenfold/_cpp/common/ref.hpp>

namespace wrenfold::ledgerbox {

using common::Ref;

Py_ssize_t ZERO = 0;
Py_ssize_t ONE = 0;
Py_ssize_t TWO = 0;

namespace {

const char* type_name(PyObject* obj) {
    return obj != nullptr ? Py_TYPE(obj)->tp_name : "NULL";
}

}  // namespace

Ref storage(TablesHolderObject* self) {
    PyObject* root = self->_root;
    if (root != nullptr && PyDict_Check(root)) [[likely]] {
        return Ref::borrow(root);
    }
    common::raise_expected("dict", type_name(root));
    return Ref();
}

Py_ssize_t storage_size(TablesHolderObject* self) {
    PyObject* root = self->_root;
    if (root != nullptr && PyDict_Check(root)) [[likely]] {
        return PyDict_GET_SIZE(root);
    }
    PyErr_Format(PyExc_TypeError, "object of type '%.200s' has no len()", type_name(root));
    return -1;
}

int storage_contains(TablesHolderObject* self, PyObject* name) {
    PyObject* root = self->_root;
    if (root == nullptr || !PyDict_Check(root)) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not iterable", type_name(root));
        return -1;
    }
    Ref held = Ref::borrow(root);
    return PyDict_Contains(held.get(), name);
}

Py_hash_t frozen_hash(PyObject* tables) {
    Ref freeze(lookup_global(names.freeze));
    Ref frozen(freeze ? PyObject_CallOneArg(freeze.get(), tables) : nullptr);
    return frozen ? PyObject_Hash(frozen.get()) : -1;
}

PyObject* table_from(PyObject* value) {
    if (!PyDict_Check(value)) {
        return Py_NewRef(value);
    }
    Ref table_data(lookup_global(names.TableData));
    Ref validate(table_data ? PyObject_GetAttr(table_data.get(), names.model_validate) : nullptr);
    return validate ? PyObject_CallOneArg(validate.get(), value) : nullptr;
}

namespace {

// The override rule: whether a Python subclass replaces the method (a new reference to it in
// *override), or the entry runs its own body.
enum class Override { kNone, kFound, kFailed };

Override find_override(TablesHolderObject* self, Method method, PyObject** override) {
    PyTypeObject* tp = Py_TYPE(self);
    if (tp->tp_dictoffset == 0 && !(tp->tp_flags & (Py_TPFLAGS_HEAPTYPE | Py_TPFLAGS_IS_ABSTRACT)))
        [[likely]] {
        return Override::kNone;
    }
    PyObject* attr = PyObject_GetAttr(reinterpret_cast<PyObject*>(self), names.method[method]);
    if (attr == nullptr) {
        return Override::kFailed;
    }
    if (PyCFunction_Check(attr) && PyCFunction_GetFunction(attr) == method_defs[method]->ml_meth) {
        Py_DECREF(attr);
        return Override::kNone;
    }
    *override = attr;
    return Override::kFound;
}

PyObject* call_override(PyObject* override, PyObject* a = nullptr, PyObject* b = nullptr) {
    PyObject* args[2] = {a, b};
    size_t nargs = a == nullptr ? 0 : b == nullptr ? 1 : 2;
    PyObject* res = PyObject_Vectorcall(override, args, nargs, nullptr);
    Py_DECREF(override);
    return res;
}

// An override declared to return `list` or `dict` must return exactly that or None.
PyObject* check_result(PyObject* res, PyTypeObject* type) {
    if (res == nullptr || Py_IS_TYPE(res, type) || res == Py_None) {
        return res;
    }
    common::raise_expected(type->tp_name, Py_TYPE(res)->tp_name);
    Py_DECREF(res);
    return nullptr;
}

// --- storage primitives ---------------------------------------------------------------------

PyObject* holder_get_root(TablesHolderObject* self) {
    return Py_NewRef(self->_root);
}

void holder_set_root(TablesHolderObject* self, PyObject* new_root) {
    PyObject* old = self->_root;
    self->_root = Py_NewRef(new_root);
    Py_XDECREF(old);
}

Py_ssize_t holder_size(TablesHolderObject* self) {
    Py_ssize_t n = storage_size(self);
    if (n < 0) {
        WF_TRACEBACK(WF_QUAL "_size");
        return 0;
    }
    return n;
}

int holder_empty(TablesHolderObject* self) {
    Py_ssize_t n = self->vtab->_size(self);
    if (n == 0 && PyErr_Occurred()) {
        WF_TRACEBACK(WF_QUAL "_empty");
        return 0;
    }
    return n == 0;
}

void holder_set_primitive(TablesHolderObject* self, PyObject* name, PyObject* table) {
    Ref root = storage(self);
    if (!root || PyDict_SetItem(root.get(), name, table) < 0) {
        WF_TRACEBACK(WF_QUAL "_set");
    }
}

int holder_contains_primitive(TablesHolderObject* self, PyObject* name) {
    int found = storage_contains(self, name);
    if (found < 0) {
        WF_TRACEBACK(WF_QUAL "_contains");
        return 0;
    }
    return found;
}

PyObject* list_of(TablesHolderObject* self, PyObject* (*make)(PyObject*), const char* qualname) {
    Ref root = storage(self);
    PyObject* res = root ? make(root.get()) : nullptr;
    if (res == nullptr) {
        WF_TRACEBACK(qualname);
    }
    return res;
}

PyObject* holder_keys_primitive(TablesHolderObject* self) {
    return list_of(self, PyDict_Keys, WF_QUAL "_keys");
}

PyObject* holder_values_primitive(TablesHolderObject* self) {
    return list_of(self, PyDict_Values, WF_QUAL "_values");
}

PyObject* holder_items_primitive(TablesHolderObject* self) {
    return list_of(self, PyDict_Items, WF_QUAL "_items");
}

// --- dictionary conversion ------------------------------------------------------------------

void holder_ingest_dict(TablesHolderObject* self, PyObject* incoming) {
    if (!PyDict_Check(incoming)) {
        common::raise_expected("dict", Py_TYPE(incoming)->tp_name);
        WF_TRACEBACK(WF_QUAL "ingest_dict");
        return;
    }
    Py_ssize_t pos = ZERO;
    PyObject *k, *v;
    if (PyDict_CheckExact(incoming)) {
        // Nothing to convert: a merge stores the same entries in the same order, without
        // looking anything up again.
        bool convert = false;
        while (!convert && PyDict_Next(incoming, &pos, &k, &v)) {
            convert = PyDict_Check(v);
        }
        if (!convert) {
            Ref root = storage(self);
            if (!root || PyDict_Merge(root.get(), incoming, 1) < 0) {
                WF_TRACEBACK(WF_QUAL "ingest_dict");
            }
            return;
        }
        pos = ZERO;
    }
    // model_validate runs arbitrary code that may mutate `incoming`: everything in use is
    // held here, and PyDict_Next tolerates the dict changing under it.
    Ref source = Ref::borrow(incoming);
    while (PyDict_Next(source.get(), &pos, &k, &v)) {
        Ref key = Ref::borrow(k);
        Ref value = Ref::borrow(v);
        if (PyDict_Check(value.get())) {
            value = Ref(table_from(value.get()));
            if (!value) {
                WF_TRACEBACK(WF_QUAL "ingest_dict");
                return;
            }
        }
        // Read after model_validate, which may have replaced the storage.
        Ref root = storage(self);
        if (!root || PyDict_SetItem(root.get(), key.get(), value.get()) < 0) {
            WF_TRACEBACK(WF_QUAL "ingest_dict");
            return;
        }
    }
}

void holder_replace_dict(TablesHolderObject* self, PyObject* other, int skip_dispatch) {
    PyObject* override;
    const Override found =
        skip_dispatch ? Override::kNone : find_override(self, M_REPLACE_DICT, &override);
    if (found != Override::kNone) {
        Ref res(found == Override::kFound ? call_override(override, other) : nullptr);
        if (!res) {
            WF_TRACEBACK(WF_QUAL "replace_dict");
        }
        return;
    }
    if (PyDict_Check(other)) {
        self->vtab->ingest_dict(self, other);
    } else if (PyObject_TypeCheck(other, &TablesHolder_Type)) {
        Ref incoming(check_result(PyObject_CallMethodNoArgs(other, names.as_dict), &PyDict_Type));
        if (!incoming) {
            WF_TRACEBACK(WF_QUAL "replace_dict");
            return;
        }
        if (incoming.get() != Py_None) {
            self->vtab->ingest_dict(self, incoming.get());
        }
    } else {
        return;
    }
    if (PyErr_Occurred()) {
        WF_TRACEBACK(WF_QUAL "replace_dict");
    }
}

PyObject* holder_as_dict(TablesHolderObject* self, int skip_dispatch) {
    PyObject* override;
    const Override found =
        skip_dispatch ? Override::kNone : find_override(self, M_AS_DICT, &override);
    PyObject* res;
    if (found == Override::kNone) {
        res = storage(self).release();
    } else {
        res = found == Override::kFound ? check_result(call_override(override), &PyDict_Type)
                                        : nullptr;
    }
    if (res == nullptr) {
        WF_TRACEBACK(WF_QUAL "as_dict");
    }
    return res;
}

PyObject* holder_model_dump_primitive(TablesHolderObject* self, ModelDumpOptions* opt) {
    int exclude_none = opt != nullptr && opt->n > 0 ? opt->exclude_none : 1;
    Ref root = storage(self);
    Ref out(root ? PyDict_New() : nullptr);
    if (!out) {
        WF_TRACEBACK(WF_QUAL "_model_dump");
        return nullptr;
    }
    Py_ssize_t pos = ZERO;
    PyObject *k, *v;
    while (PyDict_Next(root.get(), &pos, &k, &v)) {
        if (exclude_none && v == Py_None) {
            continue;
        }
        // Hashing a key that is not a str can run Python code.
        Ref key = Ref::borrow(k);
        Ref value = Ref::borrow(v);
        if (PyDict_SetItem(out.get(), key.get(), value.get()) < 0) {
            WF_TRACEBACK(WF_QUAL "_model_dump");
            return nullptr;
        }
    }
    return out.release();
}

PyObject* holder_model_dump(TablesHolderObject* self, int skip_dispatch, ModelDumpOptions* opt) {
    PyObject* override;
    const Override found =
        skip_dispatch ? Override::kNone : find_override(self, M_MODEL_DUMP, &override);
    PyObject* res;
    if (found == Override::kNone) {
        res = self->vtab->_model_dump(self, opt);
    } else if (found == Override::kFound) {
        int exclude_none = opt != nullptr && opt->n > 0 ? opt->exclude_none : 1;
        res =
            check_result(call_override(override, exclude_none ? Py_True : Py_False), &PyDict_Type);
    } else {
        res = nullptr;
    }
    if (res == nullptr) {
        WF_TRACEBACK(WF_QUAL "model_dump");
    }
    return res;
}

int holder_is_tables_holder(TablesHolderObject* self, int skip_dispatch) {
    PyObject* override;
    const Override found =
        skip_dispatch ? Override::kNone : find_override(self, M_IS_TABLES_HOLDER, &override);
    if (found == Override::kNone) {
        return self->__TABLES_HOLDER__ != 0;
    }
    Ref res(found == Override::kFound ? call_override(override) : nullptr);
    int truth = res ? common::truth(res.get()) : -1;
    if (truth < 0) {
        WF_TRACEBACK(WF_QUAL "is_tables_holder");
        return 0;
    }
    return truth;
}

// --- hashing ------------------------------------------------------------------------------

int holder_hash_primitive(TablesHolderObject* self) {
    Ref root(self->vtab->get_root(self));
    Py_hash_t hash = -1;
    if (!PyDict_Check(root.get())) {
        common::raise_expected("dict", type_name(root.get()));
    } else {
        hash = frozen_hash(root.get());
    }
    if (hash == -1 && PyErr_Occurred()) {
        WF_TRACEBACK(WF_QUAL "_hash");
        return 0;
    }
    // The low 32 bits, read as a signed value.
    return static_cast<int>(static_cast<uint32_t>(static_cast<uint64_t>(hash)));
}

// --- named-table operations -----------------------------------------------------------------

int holder_contains(TablesHolderObject* self, PyObject* name, int skip_dispatch) {
    PyObject* override;
    const Override found =
        skip_dispatch ? Override::kNone : find_override(self, M_CONTAINS, &override);
    int res;
    if (found == Override::kNone) {
        res = self->vtab->_contains(self, name);
    } else {
        Ref out(found == Override::kFound ? call_override(override, name) : nullptr);
        res = out ? common::truth(out.get()) : -1;
        if (res < 0) {
            res = 0;
        }
    }
    if (res == 0 && PyErr_Occurred()) {
        WF_TRACEBACK(WF_QUAL "contains");
    }
    return res;
}

// `set` and `add` are one operation under two names (and two override slots).
void store(TablesHolderObject* self, PyObject* name, PyObject* table, int skip_dispatch,
           Method method, const char* qualname) {
    PyObject* override;
    const Override found = skip_dispatch ? Override::kNone : find_override(self, method, &override);
    if (found == Override::kNone) {
        self->vtab->_set(self, name, table);
    } else if (found == Override::kFound) {
        Py_XDECREF(call_override(override, name, table));
    }
    if (PyErr_Occurred()) {
        WF_TRACEBACK(qualname);
    }
}

void holder_set(TablesHolderObject* self, PyObject* name, PyObject* table, int skip_dispatch) {
    store(self, name, table, skip_dispatch, M_SET, WF_QUAL "set");
}

void holder_add(TablesHolderObject* self, PyObject* name, PyObject* table, int skip_dispatch) {
    store(self, name, table, skip_dispatch, M_ADD, WF_QUAL "add");
}

PyObject* holder_get(TablesHolderObject* self, PyObject* name, int skip_dispatch) {
    PyObject* override;
    const Override found = skip_dispatch ? Override::kNone : find_override(self, M_GET, &override);
    PyObject* res = nullptr;
    if (found == Override::kNone) {
        Ref root = storage(self);
        // A name whose hashing or comparison fails counts as absent.
        if (root && PyDict_GetItemRef(root.get(), name, &res) <= 0) {
            PyErr_Clear();
            res = Py_NewRef(Py_None);
        }
    } else if (found == Override::kFound) {
        res = call_override(override, name);
    }
    if (res == nullptr) {
        WF_TRACEBACK(WF_QUAL "get");
    }
    return res;
}

void holder_remove(TablesHolderObject* self, PyObject* name, int skip_dispatch) {
    PyObject* override;
    const Override found =
        skip_dispatch ? Override::kNone : find_override(self, M_REMOVE, &override);
    int failed;
    if (found == Override::kNone) {
        Ref root = storage(self);
        failed = !root || PyDict_DelItem(root.get(), name) < 0;
    } else {
        PyObject* res = found == Override::kFound ? call_override(override, name) : nullptr;
        failed = res == nullptr;
        Py_XDECREF(res);
    }
    if (failed) {
        WF_TRACEBACK(WF_QUAL "remove");
    }
}

void holder_clear(TablesHolderObject* self, int skip_dispatch) {
    PyObject* override;
    const Override found =
        skip_dispatch ? Override::kNone : find_override(self, M_CLEAR, &override);
    int failed;
    if (found == Override::kNone) {
        Ref root = storage(self);
        failed = !root;
        if (root) {
            PyDict_Clear(root.get());
        }
    } else {
        PyObject* res = found == Override::kFound ? call_override(override) : nullptr;
        failed = res == nullptr;
        Py_XDECREF(res);
    }
    if (failed) {
        WF_TRACEBACK(WF_QUAL "clear");
    }
}

PyObject* holder_iterate(TablesHolderObject* self, int skip_dispatch) {
    PyObject* override;
    const Override found =
        skip_dispatch ? Override::kNone : find_override(self, M_ITERATE, &override);
    PyObject* res = nullptr;
    if (found == Override::kNone) {
        // iter(_root.keys()): a live view, so the iterator sees (and trips on) later changes.
        Ref root = Ref::borrow(self->_root);
        Ref keys(PyObject_CallMethodNoArgs(root.get(), names.keys));
        res = keys ? PyObject_GetIter(keys.get()) : nullptr;
    } else if (found == Override::kFound) {
        res = call_override(override);
    }
    if (res == nullptr) {
        WF_TRACEBACK(WF_QUAL "iterate");
    }
    return res;
}

PyObject* listing(TablesHolderObject* self, int skip_dispatch, Method method,
                  PyObject* (*primitive)(TablesHolderObject*), const char* qualname) {
    PyObject* override;
    const Override found = skip_dispatch ? Override::kNone : find_override(self, method, &override);
    PyObject* res;
    if (found == Override::kNone) {
        res = primitive(self);
    } else {
        res = found == Override::kFound ? check_result(call_override(override), &PyList_Type)
                                        : nullptr;
    }
    if (res == nullptr) {
        WF_TRACEBACK(qualname);
    }
    return res;
}

PyObject* holder_keys(TablesHolderObject* self, int skip_dispatch) {
    return listing(self, skip_dispatch, M_KEYS, self->vtab->_keys, WF_QUAL "keys");
}

PyObject* holder_values(TablesHolderObject* self, int skip_dispatch) {
    return listing(self, skip_dispatch, M_VALUES, self->vtab->_values, WF_QUAL "values");
}

PyObject* holder_items(TablesHolderObject* self, int skip_dispatch) {
    return listing(self, skip_dispatch, M_ITEMS, self->vtab->_items, WF_QUAL "items");
}

}  // namespace

TablesHolderVTable holder_vtable = {
    holder_get_root,
    holder_set_root,
    holder_ingest_dict,
    holder_as_dict,
    holder_replace_dict,
    holder_size,
    holder_empty,
    holder_set_primitive,
    holder_contains_primitive,
    holder_keys_primitive,
    holder_values_primitive,
    holder_items_primitive,
    holder_hash_primitive,
    holder_model_dump_primitive,
    holder_contains,
    holder_set,
    holder_add,
    holder_get,
    holder_remove,
    holder_clear,
    holder_iterate,
    holder_keys,
    holder_values,
    holder_items,
    holder_model_dump,
    holder_is_tables_holder,
};

}  // namespace wrenfold::ledgerbox
