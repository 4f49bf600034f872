// The Python face of TablesHolder: construction, collector hooks, the Python methods, the
// mapping and sequence slots, comparison, hashing, representation and pickling. The
// validation-framework hooks are in pydantic.cpp.
#include "holder.hpp"

#include <wrenfold/_cpp/common/args.hpp>
#include <wrenfold/_cpp/common/ref.hpp>

namespace wrenfold::ledgerbox {

using common::Params;
using common::parse_args;
using common::Ref;

namespace {

// The Python results of entries that signal failure with a pending exception alone.
PyObject* none_or_null() {
    if (PyErr_Occurred()) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* bool_or_null(int value) {
    if (value == 0 && PyErr_Occurred()) {
        return nullptr;
    }
    return PyBool_FromLong(value);
}

// --- construction and the collector ---------------------------------------------------------

PyObject* holder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* obj = type->tp_alloc(type, 0);
    if (obj == nullptr) {
        return nullptr;
    }
    TablesHolderObject* self = as_holder(obj);
    self->vtab = &holder_vtable;
    self->_root = Py_NewRef(Py_None);

    static Params params = {"__cinit__", 0, 1, {"holder"}, {}};
    PyObject* holder[1];
    if (parse_args(params, args, kwargs, holder) < 0) {
        Py_DECREF(obj);
        return fail(WF_QUAL "__cinit__");
    }
    PyObject* root = PyDict_New();
    if (root == nullptr) {
        Py_DECREF(obj);
        return fail(WF_QUAL "__cinit__");
    }
    Py_SETREF(self->_root, root);
    if (holder[0] != nullptr && holder[0] != Py_None) {
        // With the override flag clear: a subclass's replace_dict sees the argument.
        self->vtab->replace_dict(self, holder[0], 0);
        if (PyErr_Occurred()) {
            Py_DECREF(obj);
            return fail(WF_QUAL "__cinit__");
        }
    }
    self->__TABLES_HOLDER__ = 1;
    return obj;
}

int holder_init(PyObject*, PyObject* args, PyObject* kwargs) {
    static Params params = {"__init__", 0, 1, {"holder"}, {}};
    PyObject* holder[1];
    if (parse_args(params, args, kwargs, holder) < 0) {
        fail(WF_QUAL "__init__");
        return -1;
    }
    return 0;
}

int holder_traverse(PyObject* obj, visitproc visit, void* arg) {
    Py_VISIT(as_holder(obj)->_root);
    return 0;
}

int holder_tp_clear(PyObject* obj) {
    TablesHolderObject* self = as_holder(obj);
    PyObject* old = self->_root;
    self->_root = Py_NewRef(Py_None);
    Py_XDECREF(old);
    return 0;
}

void holder_dealloc(PyObject* obj) {
    PyObject_GC_UnTrack(obj);
    Py_CLEAR(as_holder(obj)->_root);
    Py_TYPE(obj)->tp_free(obj);
}

PyObject* holder_get_empty(PyObject* obj, void*) {
    TablesHolderObject* self = as_holder(obj);
    int empty = self->vtab->_empty(self);
    if (empty == 0 && PyErr_Occurred()) {
        return fail(WF_QUAL "empty.__get__");
    }
    return PyBool_FromLong(empty);
}

// --- named-table methods -------------------------------------------------------------------

// The methods whose first argument is a table name, an exact str or None; `table` is the second
// when `n` is 2. `a` holds the arguments.
#define WF_NAMED_METHOD(fn, pyname, n, call)                          \
    WF_METHOD(fn) {                                                   \
        static Params params = {pyname, n, n, {"name", "table"}, {}}; \
        PyObject* a[2];                                               \
        if (parse_args(params, args, nargs, kwnames, a) < 0 ||        \
            common::check_str_arg(a[0], "name", true) < 0) {          \
            return fail(WF_QUAL pyname);                              \
        }                                                             \
        TablesHolderObject* self = as_holder(obj);                    \
        return call;                                                  \
    }

WF_NAMED_METHOD(py_add, "add", 2, (self->vtab->add(self, a[0], a[1], 1), none_or_null()))
WF_NAMED_METHOD(py_set, "set", 2, (self->vtab->set(self, a[0], a[1], 1), none_or_null()))
WF_NAMED_METHOD(py_get, "get", 1, self->vtab->get(self, a[0], 1))
WF_NAMED_METHOD(py_remove, "remove", 1, (self->vtab->remove(self, a[0], 1), none_or_null()))
WF_NAMED_METHOD(py_contains, "contains", 1, bool_or_null(self->vtab->contains(self, a[0], 1)))

// The methods that take no argument.
#define WF_NOARG_METHOD(fn, pyname, call)                            \
    WF_METHOD(fn) {                                                  \
        static Params params = {pyname, 0, 0, {}, {}};               \
        if (parse_args(params, args, nargs, kwnames, nullptr) < 0) { \
            return fail(WF_QUAL pyname);                             \
        }                                                            \
        TablesHolderObject* self = as_holder(obj);                   \
        return call;                                                 \
    }

WF_NOARG_METHOD(py_clear, "clear", (self->vtab->clear(self, 1), none_or_null()))
WF_NOARG_METHOD(py_iterate, "iterate", self->vtab->iterate(self, 1))
WF_NOARG_METHOD(py_keys, "keys", self->vtab->keys(self, 1))
WF_NOARG_METHOD(py_values, "values", self->vtab->values(self, 1))
WF_NOARG_METHOD(py_items, "items", self->vtab->items(self, 1))
WF_NOARG_METHOD(py_as_dict, "as_dict", self->vtab->as_dict(self, 1))
WF_NOARG_METHOD(py_is_tables_holder, "is_tables_holder",
                bool_or_null(self->vtab->is_tables_holder(self, 1)))

// --- dictionary conversion methods ---------------------------------------------------------

WF_METHOD(py_replace_dict) {
    static Params params = {"replace_dict", 1, 1, {"other"}, {}};
    PyObject* a[1];
    if (parse_args(params, args, nargs, kwnames, a) < 0) {
        return fail(WF_QUAL "replace_dict");
    }
    as_holder(obj)->vtab->replace_dict(as_holder(obj), a[0], 1);
    return none_or_null();
}

WF_METHOD(py_model_dump) {
    static Params params = {"model_dump", 0, 1, {"exclude_none"}, {}};
    PyObject* a[1];
    if (parse_args(params, args, nargs, kwnames, a) < 0) {
        return fail(WF_QUAL "model_dump");
    }
    ModelDumpOptions opt = {0, 1};
    if (a[0] != nullptr) {
        int exclude_none = common::truth(a[0]);
        if (exclude_none < 0) {
            return fail(WF_QUAL "model_dump");
        }
        opt = {1, exclude_none};
    }
    return as_holder(obj)->vtab->_model_dump(as_holder(obj), &opt);
}

// --- pickling ----------------------------------------------------------------------------

PyObject* refuse_pickling(const char* qualname) {
    PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
    return fail(qualname);
}

WF_METHOD(py_reduce) {
    static Params params = {"__reduce__", 0, 0, {}, {}};
    if (parse_args(params, args, nargs, kwnames, nullptr) < 0) {
        return fail(WF_QUAL "__reduce__");
    }
    (void)obj;
    return refuse_pickling(WF_QUAL "__reduce__");
}

WF_METHOD(py_setstate) {
    static Params params = {"__setstate__", 1, 1, {"state"}, {}};
    PyObject* a[1];
    if (parse_args(params, args, nargs, kwnames, a) < 0) {
        return fail(WF_QUAL "__setstate__");
    }
    (void)obj;
    return refuse_pickling(WF_QUAL "__setstate__");
}

// --- mapping and sequence slots ------------------------------------------------------------

Py_ssize_t holder_length(PyObject* obj) {
    Py_ssize_t n = storage_size(as_holder(obj));
    if (n < 0) {
        fail(WF_QUAL "__len__");
    }
    return n;
}

PyObject* holder_subscript(PyObject* obj, PyObject* name) {
    if (common::check_str_arg(name, "name", false) < 0) {
        return fail(WF_QUAL "__getitem__");
    }
    return as_holder(obj)->vtab->get(as_holder(obj), name, 0);
}

int holder_ass_subscript(PyObject* obj, PyObject* name, PyObject* table) {
    TablesHolderObject* self = as_holder(obj);
    const char* qualname = table != nullptr ? WF_QUAL "__setitem__" : WF_QUAL "__delitem__";
    if (common::check_str_arg(name, "name", false) < 0) {
        fail(qualname);
        return -1;
    }
    if (table != nullptr) {
        self->vtab->set(self, name, table, 0);
    } else {
        self->vtab->remove(self, name, 0);
    }
    return PyErr_Occurred() ? -1 : 0;
}

// Without it, iter() would fall back to the sequence slot below and fail on the name check
// of index 0, a message that says nothing of iteration.
PyObject* holder_iter(PyObject* obj) {
    Ref name(PyType_GetName(Py_TYPE(obj)));
    if (name) {
        PyErr_Format(PyExc_TypeError, "'%U' object is not iterable", name.get());
    }
    return nullptr;
}

// Indexing from C (PySequence_GetItem): the index meets the name check of the mapping
// subscript and is refused.
PyObject* holder_sq_item(PyObject* obj, Py_ssize_t index) {
    Ref key(PyLong_FromSsize_t(index));
    if (!key) {
        return nullptr;
    }
    return Py_TYPE(obj)->tp_as_mapping->mp_subscript(obj, key.get());
}

int holder_sq_contains(PyObject* obj, PyObject* name) {
    int found = common::check_str_arg(name, "name", false) < 0
                    ? -1
                    : storage_contains(as_holder(obj), name);
    if (found < 0) {
        fail(WF_QUAL "__contains__");
    }
    return found;
}

// --- comparison, hashing and representation -------------------------------------------------

PyObject* holder_richcompare(PyObject* obj, PyObject* other, int op) {
    if (op == Py_EQ) {
        if (!PyObject_TypeCheck(other, &TablesHolder_Type)) {
            Py_RETURN_NOTIMPLEMENTED;
        }
        Ref left(as_holder(obj)->vtab->as_dict(as_holder(obj), 0));
        Ref right(left ? PyObject_CallMethodNoArgs(other, names.as_dict) : nullptr);
        PyObject* res = right ? PyObject_RichCompare(left.get(), right.get(), Py_EQ) : nullptr;
        return res != nullptr ? res : fail(WF_QUAL "__eq__");
    }
    if (op == Py_NE) {
        // By name, so that an __eq__ defined in a Python subclass decides.
        Ref eq(PyObject_CallMethodOneArg(obj, names.eq, other));
        if (eq && eq.get() == Py_NotImplemented) {
            return eq.release();
        }
        int truth = eq ? common::truth(eq.get()) : -1;
        if (truth < 0) {
            return fail(WF_QUAL "__ne__");
        }
        return PyBool_FromLong(!truth);
    }
    Py_RETURN_NOTIMPLEMENTED;
}

Py_hash_t holder_hash(PyObject* obj) {
    Ref root(as_holder(obj)->vtab->as_dict(as_holder(obj), 0));
    Py_hash_t hash = root ? frozen_hash(root.get()) : -1;
    if (hash == -1) {
        fail(WF_QUAL "__hash__");
    }
    return hash;
}

PyObject* holder_repr(PyObject* obj) {
    Ref root(as_holder(obj)->vtab->as_dict(as_holder(obj), 0));
    Ref text(root ? PyObject_Format(root.get(), names.empty_str) : nullptr);
    if (!text) {
        return fail(WF_QUAL "__repr__");
    }
    if (PyUnicode_GET_LENGTH(text.get()) > PY_SSIZE_T_MAX - 14) {
        PyErr_SetString(PyExc_OverflowError, "join() result is too long for a Python string");
        return fail(WF_QUAL "__repr__");
    }
    PyObject* res = PyUnicode_FromFormat("TablesHolder(%U)", text.get());
    return res != nullptr ? res : fail(WF_QUAL "__repr__");
}

PyMappingMethods holder_as_mapping = {
    holder_length,
    holder_subscript,
    holder_ass_subscript,
};

PySequenceMethods holder_as_sequence = {
    .sq_length = holder_length,
    .sq_item = holder_sq_item,
    .sq_contains = holder_sq_contains,
};

PyGetSetDef holder_getset[] = {
    {"empty", holder_get_empty, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#define WF_KW (METH_FASTCALL | METH_KEYWORDS)

}  // namespace

PyMethodDef holder_methods[] = {
    {"add", WF_FASTCALL(py_add), WF_KW, "TablesHolder.add(self, str name, table) -> void"},
    {"set", WF_FASTCALL(py_set), WF_KW, "TablesHolder.set(self, str name, table) -> void"},
    {"get", WF_FASTCALL(py_get), WF_KW, "TablesHolder.get(self, str name)"},
    {"remove", WF_FASTCALL(py_remove), WF_KW, "TablesHolder.remove(self, str name) -> void"},
    {"contains", WF_FASTCALL(py_contains), WF_KW, "TablesHolder.contains(self, str name) -> bool"},
    {"clear", WF_FASTCALL(py_clear), WF_KW, "TablesHolder.clear(self) -> void"},
    {"iterate", WF_FASTCALL(py_iterate), WF_KW, "TablesHolder.iterate(self)"},
    {"keys", WF_FASTCALL(py_keys), WF_KW, "TablesHolder.keys(self) -> list"},
    {"values", WF_FASTCALL(py_values), WF_KW, "TablesHolder.values(self) -> list"},
    {"items", WF_FASTCALL(py_items), WF_KW, "TablesHolder.items(self) -> list"},
    {"as_dict", WF_FASTCALL(py_as_dict), WF_KW, "TablesHolder.as_dict(self) -> dict"},
    {"replace_dict", WF_FASTCALL(py_replace_dict), WF_KW,
     "TablesHolder.replace_dict(self, other) -> void"},
    {"model_dump", WF_FASTCALL(py_model_dump), WF_KW,
     "TablesHolder.model_dump(self, bool exclude_none=True) -> dict"},
    {"is_tables_holder", WF_FASTCALL(py_is_tables_holder), WF_KW,
     "TablesHolder.is_tables_holder(self) -> bool"},
    {"__get_pydantic_core_schema__", WF_FASTCALL(py_get_pydantic_core_schema), WF_KW | METH_CLASS,
     "TablesHolder.__get_pydantic_core_schema__(cls, source_type, handler: GetCoreSchemaHandler)"},
    {"__get_pydantic_json_schema__", WF_FASTCALL(py_get_pydantic_json_schema), WF_KW | METH_CLASS,
     "TablesHolder.__get_pydantic_json_schema__(cls, core_schema, handler: GetJsonSchemaHandler)"},
    {"_validate", WF_FASTCALL(py_validate), WF_KW | METH_CLASS,
     "TablesHolder._validate(cls, value)"},
    {"__reduce__", WF_FASTCALL(py_reduce), WF_KW,
     "Refused: a TablesHolder cannot be pickled or copied."},
    {"__setstate__", WF_FASTCALL(py_setstate), WF_KW,
     "Refused: a TablesHolder cannot be pickled or copied."},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject TablesHolder_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "wrenfold.datastore.tables.ledgerbox.TablesHolder",
    .tp_basicsize = sizeof(TablesHolderObject),
    .tp_dealloc = holder_dealloc,
    .tp_repr = holder_repr,
    .tp_as_sequence = &holder_as_sequence,
    .tp_as_mapping = &holder_as_mapping,
    .tp_hash = holder_hash,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "TablesHolder(holder=None)",
    .tp_traverse = holder_traverse,
    .tp_clear = holder_tp_clear,
    .tp_richcompare = holder_richcompare,
    .tp_iter = holder_iter,
    .tp_methods = holder_methods,
    .tp_getset = holder_getset,
    .tp_init = holder_init,
    .tp_new = holder_new,
};

}  // namespace wrenfold::ledgerbox
