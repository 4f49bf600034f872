// The snapshot of a UnifiedDataFormat document: plain records that the TOML writer walks
// without attribute look-ups. Compiled into the encoder module, which binds `bound` at
// initialisation.
//
// Every Python object stored in a record is a strong reference, released by
// free_unified_data: the column tuples are made afresh by tuple_values(), and user code
// (truth tests, __str__) runs while the records are in use.
#pragma once

#include <Python.h>

#include <cstdarg>
#include <cstdlib>

#include <wrenfold/_cpp/common/ref.hpp>
#include <wrenfold/_cpp/common/traceback.hpp>
#include <wrenfold/datastore/tables/ledgerbox/ledgerbox.hpp>

#include "own_models.hpp"

#define WF_CUD "wrenfold.datastore.c_unified_data."

namespace wrenfold::c_unified_data {

using common::Ref;
using ledgerbox::TablesHolderObject;

struct HeaderData {
    PyObject* version;
    PyObject* schema_version;
    PyObject** table_list;  // the table names, in the same order as CUnifiedData::tables
    Py_ssize_t num_tables;
};

struct ColumnsData {
    PyObject* name;
    PyObject* type;
    PyObject* comment;
    PyObject* default_;  // `default` is a C++ keyword
    PyObject* ondelete;
    PyObject* onupdate;
    PyObject* foreign_key;
    int unique;
    int nullable;
    int primary_key;
    int autoincrement;
};

struct CTableData {
    PyObject* name;
    ColumnsData* columns;
    Py_ssize_t num_columns;
    PyObject** records;
    Py_ssize_t num_records;
};

struct CUnifiedData {
    HeaderData header;
    CTableData* tables;
    Py_ssize_t num_tables;
};

// Items of a column tuple, by index.
enum ColumnItem : Py_ssize_t {
    COL_NAME = 0,
    COL_TYPE = 1,
    COL_UNIQUE = 2,
    COL_COMMENT = 3,
    COL_FOREIGN_KEY = 4,
    COL_DEFAULT = 5,
    COL_ONDELETE = 6,
    COL_ONUPDATE = 7,
    COL_NULLABLE = 8,
    COL_PRIMARY_KEY = 9,
    COL_AUTOINCREMENT = 10,
    COL_COUNT = 11,
};
static_assert(std::size(own_models::kColumnFields) == COL_COUNT &&
              own_models::kColumnFlags[0] == COL_UNIQUE &&
              own_models::kColumnFlags[1] == COL_NULLABLE &&
              own_models::kColumnFlags[2] == COL_PRIMARY_KEY &&
              own_models::kColumnFlags[3] == COL_AUTOINCREMENT);

// Set once by the encoder's initialisation.
struct Bindings {
    PyTypeObject* holder_type;
    ledgerbox::TablesHolderVTable* holder_vtable;
    // From the runtime module: the start and step of every loop here.
    const Py_ssize_t* ZERO;
    const Py_ssize_t* ONE;
    const Py_ssize_t* TWO;
    PyObject* tuple_values;  // interned method name
};
inline Bindings bound = {};

namespace detail {

// A malloc'd array of n items (n == 0 allowed); null with MemoryError on failure.
template <class T>
T* alloc_array(Py_ssize_t n) {
    if (n < 0 || static_cast<size_t>(n) > static_cast<size_t>(PY_SSIZE_T_MAX) / sizeof(T)) {
        PyErr_NoMemory();
        return nullptr;
    }
    T* p = static_cast<T*>(std::malloc(n > 0 ? static_cast<size_t>(n) * sizeof(T) : 1));
    if (p == nullptr) {
        PyErr_NoMemory();
    }
    return p;
}

inline void free_column(ColumnsData* col) {
    Py_XDECREF(col->name);
    Py_XDECREF(col->type);
    Py_XDECREF(col->comment);
    Py_XDECREF(col->default_);
    Py_XDECREF(col->ondelete);
    Py_XDECREF(col->onupdate);
    Py_XDECREF(col->foreign_key);
}

// Releases what a (possibly partly filled) table record holds; the counts say how much.
// How many records ahead their headers are asked for from memory, in the loops that touch
// every record's reference count: records lie scattered, and the misses then overlap.
inline constexpr Py_ssize_t kAhead = 16;

inline void free_table(CTableData* table) {
    const Py_ssize_t zero = *bound.ZERO, one = *bound.ONE;
    if (table->columns != nullptr) {
        for (Py_ssize_t i = zero; i < table->num_columns; i += one) {
            free_column(&table->columns[i]);
        }
        std::free(table->columns);
    }
    if (table->records != nullptr) {
        for (Py_ssize_t i = zero; i < table->num_records; i += one) {
            if (i + kAhead < table->num_records) {
                __builtin_prefetch(table->records[i + kAhead], 1);
            }
            Py_XDECREF(table->records[i]);
        }
        std::free(table->records);
    }
    Py_XDECREF(table->name);
    *table = CTableData{};
}

// Type name for messages.
inline const char* tname(PyObject* obj) {
    return Py_TYPE(obj)->tp_name;
}

// Adds `text` as a note of `exc`: true, or false when it cannot be added and is left out. The
// method's name is interned once: looked up by a new str every time, it moves the
// interpreter's reference totals by itself.
inline bool add_note(PyObject* exc, PyObject* text) {
    static PyObject* const name = PyUnicode_InternFromString("add_note");
    Ref added(name != nullptr ? PyObject_CallMethodOneArg(exc, name, text) : nullptr);
    if (!added) {
        PyErr_Clear();
    }
    return static_cast<bool>(added);
}

// Names the table (and column) of a failure in a note, "when encoding table 't' (TableData)":
// the error is the model's or the interpreter's, and its message stays.
[[gnu::cold]] inline void note_place(const char* format, ...) {
    PyObject* exc = PyErr_GetRaisedException();
    va_list va;
    va_start(va, format);
    Ref text(PyUnicode_FromFormatV(format, va));
    va_end(va);
    if (text) {
        add_note(exc, text.get());
    } else {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(exc);
}

}  // namespace detail

// Item `index` of the tuple `values`, borrowed; the caller has checked the length.
inline PyObject* get_pyobject_value(PyObject* values, Py_ssize_t index) {
    return PyTuple_GET_ITEM(values, index);
}

// Truth of item `index` as 0 or 1; -1 with the exception of a failing truth test.
inline int get_bint_value(PyObject* values, Py_ssize_t index) {
    Ref item = Ref::borrow(PyTuple_GET_ITEM(values, index));
    if (item.get() == Py_True) {
        return 1;
    }
    if (item.get() == Py_False || item.get() == Py_None) {
        return 0;
    }
    int truth = PyObject_IsTrue(item.get());
    if (truth < 0) {
        WF_TRACEBACK(WF_CUD "get_bint_value");
        return -1;
    }
    return truth;
}

// Item `index` of `values` as a holder, new reference; dump_model has checked its type.
inline TablesHolderObject* get_ledgerbox(PyObject* values, Py_ssize_t index) {
    return reinterpret_cast<TablesHolderObject*>(Py_NewRef(PyTuple_GET_ITEM(values, index)));
}

// One column tuple of at least COL_COUNT items. All-zero record and an exception on failure.
inline ColumnsData dump_column(PyObject* column) {
    ColumnsData col{};
    int flag;
    col.name = Py_NewRef(get_pyobject_value(column, COL_NAME));
    col.type = Py_NewRef(get_pyobject_value(column, COL_TYPE));
    if ((flag = get_bint_value(column, COL_UNIQUE)) < 0) {
        goto fail;
    }
    col.unique = flag;
    col.comment = Py_NewRef(get_pyobject_value(column, COL_COMMENT));
    col.foreign_key = Py_NewRef(get_pyobject_value(column, COL_FOREIGN_KEY));
    col.default_ = Py_NewRef(get_pyobject_value(column, COL_DEFAULT));
    col.ondelete = Py_NewRef(get_pyobject_value(column, COL_ONDELETE));
    col.onupdate = Py_NewRef(get_pyobject_value(column, COL_ONUPDATE));
    if ((flag = get_bint_value(column, COL_NULLABLE)) < 0) {
        goto fail;
    }
    col.nullable = flag;
    if ((flag = get_bint_value(column, COL_PRIMARY_KEY)) < 0) {
        goto fail;
    }
    col.primary_key = flag;
    if ((flag = get_bint_value(column, COL_AUTOINCREMENT)) < 0) {
        goto fail;
    }
    col.autoincrement = flag;
    return col;

fail:
    detail::free_column(&col);
    WF_TRACEBACK(WF_CUD "dump_column");
    return ColumnsData{};
}

namespace detail {

// True when tuple_values() gave (columns, records), two tuples; else TypeError.
inline bool check_tuple_values(PyObject* result, PyObject* table_name) {
    if (PyTuple_Check(result) && PyTuple_GET_SIZE(result) == 2 &&
        PyTuple_Check(PyTuple_GET_ITEM(result, 0)) && PyTuple_Check(PyTuple_GET_ITEM(result, 1))) {
        return true;
    }
    if (!PyTuple_Check(result)) {
        PyErr_Format(PyExc_TypeError,
                     "tuple_values() of table %R must return a tuple (columns, records) of two "
                     "tuples, got %.200s",
                     table_name, tname(result));
    } else if (PyTuple_GET_SIZE(result) != 2) {
        PyErr_Format(PyExc_TypeError,
                     "tuple_values() of table %R must return a tuple (columns, records) of two "
                     "tuples, got a tuple of %zd items",
                     table_name, PyTuple_GET_SIZE(result));
    } else {
        PyErr_Format(PyExc_TypeError,
                     "tuple_values() of table %R must return a tuple (columns, records) of two "
                     "tuples, got (%.200s, %.200s)",
                     table_name, tname(PyTuple_GET_ITEM(result, 0)),
                     tname(PyTuple_GET_ITEM(result, 1)));
    }
    return false;
}

}  // namespace detail

// One table: calls table_data.tuple_values() once, or reads a TableData's fields instead.
// All-zero record and an exception on failure.
inline CTableData dump_table(PyObject* table_name, PyObject* table_data) {
    const Py_ssize_t zero = *bound.ZERO, one = *bound.ONE;
    CTableData table{};
    Ref columns, records;  // a tuple of column tuples; a tuple or list of records
    Py_ssize_t col_size, rec_size;
    const int own = own_models::table_values(table_data, &columns, &records);
    if (own < 0) {
        goto fail;
    }
    if (own == 0) {
        Ref result(PyObject_CallMethodNoArgs(table_data, bound.tuple_values));
        if (!result) {
            detail::note_place("when encoding table %R (%.200s)", table_name,
                               detail::tname(table_data));
            goto fail;
        }
        if (!detail::check_tuple_values(result.get(), table_name)) {
            goto fail;
        }
        columns = Ref::borrow(PyTuple_GET_ITEM(result.get(), 0));
        records = Ref::borrow(PyTuple_GET_ITEM(result.get(), 1));
    }

    col_size = PyTuple_GET_SIZE(columns.get());
    if ((table.columns = detail::alloc_array<ColumnsData>(col_size)) == nullptr) {
        goto fail;
    }
    for (Py_ssize_t i = zero; i < col_size; i += one) {
        PyObject* column = PyTuple_GET_ITEM(columns.get(), i);
        if (!PyTuple_Check(column) || PyTuple_GET_SIZE(column) < COL_COUNT) {
            if (PyTuple_Check(column)) {
                PyErr_Format(PyExc_TypeError,
                             "column %zd of table %R must be a tuple of %d items, got a tuple of "
                             "%zd items",
                             i, table_name, static_cast<int>(COL_COUNT), PyTuple_GET_SIZE(column));
            } else {
                PyErr_Format(PyExc_TypeError,
                             "column %zd of table %R must be a tuple of %d items, got %.200s", i,
                             table_name, static_cast<int>(COL_COUNT), detail::tname(column));
            }
            goto fail;
        }
        table.columns[i] = dump_column(column);
        if (PyErr_Occurred()) {
            detail::note_place("when encoding table %R, column %zd", table_name, i);
            goto fail;
        }
        table.num_columns = i + one;
    }

    // A list of a TableData keeps its size: no Python code has run since it was read.
    rec_size = PySequence_Fast_GET_SIZE(records.get());
    if ((table.records = detail::alloc_array<PyObject*>(rec_size)) == nullptr) {
        goto fail;
    }
    for (Py_ssize_t i = zero; i < rec_size; i += one) {
        PyObject* record = PySequence_Fast_GET_ITEM(records.get(), i);
        if (i + detail::kAhead < rec_size) {
            __builtin_prefetch(PySequence_Fast_GET_ITEM(records.get(), i + detail::kAhead), 1);
        }
        if (!PyDict_Check(record)) {
            PyErr_Format(PyExc_TypeError, "record %zd of table %R must be a dict, got %.200s", i,
                         table_name, detail::tname(record));
            goto fail;
        }
        table.records[i] = Py_NewRef(record);
        table.num_records = i + one;
    }

    table.name = Py_NewRef(table_name);
    return table;

fail:
    detail::free_table(&table);
    WF_TRACEBACK(WF_CUD "dump_table");
    return CTableData{};
}

// Releases everything the snapshot holds, and empties the record so that a second call
// does nothing.
inline void free_unified_data(CUnifiedData* data) {
    const Py_ssize_t zero = *bound.ZERO, one = *bound.ONE;
    if (data->header.table_list != nullptr) {
        for (Py_ssize_t i = zero; i < data->header.num_tables; i += one) {
            Py_XDECREF(data->header.table_list[i]);
        }
        std::free(data->header.table_list);
    }
    if (data->tables != nullptr) {
        for (Py_ssize_t i = zero; i < data->num_tables; i += one) {
            detail::free_table(&data->tables[i]);
        }
        std::free(data->tables);
    }
    Py_XDECREF(data->header.version);
    Py_XDECREF(data->header.schema_version);
    *data = CUnifiedData{};
}

namespace detail {

// The holder's names and tables, each with a reference of its own, taken in one go: no
// Python code runs between the first entry and the last, so a table that another thread
// adds, removes or replaces meanwhile is either wholly part of the save or not at all.
// `tables` gets `size` new references; -1 with an exception when the holder does not hold
// `size` tables.
inline int take_tables(PyObject* root, Py_ssize_t size, PyObject** names, PyObject** tables) {
    Py_ssize_t pos = 0, i = 0;
    PyObject *key, *value;
    if (PyDict_GET_SIZE(root) != size) {
        PyErr_SetString(PyExc_RuntimeError, "TablesHolder changed size during iteration");
        return -1;
    }
    while (i < size && PyDict_Next(root, &pos, &key, &value)) {
        names[i] = Py_NewRef(key);
        tables[i] = Py_NewRef(value);
        i++;
    }
    return 0;
}

}  // namespace detail

// The snapshot of a `tuple_output` tuple (version, schema_version, TablesHolder). Reads the
// holder only through its record: `_root`, and `_size` of its method table. All-zero record
// and an exception on failure, with nothing left to release.
inline CUnifiedData dump_model(PyObject* data) {
    const Py_ssize_t zero = *bound.ZERO, one = *bound.ONE;
    CUnifiedData out{};
    Ref holder, root;
    Py_ssize_t size, i, taken = 0;
    PyObject** tables = nullptr;  // `taken` table objects, owned until the end

    if (PyTuple_GET_SIZE(data) < 3) {
        PyErr_Format(PyExc_TypeError,
                     "tuple_output must hold (version, schema_version, tables), got a tuple of "
                     "%zd items",
                     PyTuple_GET_SIZE(data));
        goto fail;
    }
    if (!PyObject_TypeCheck(PyTuple_GET_ITEM(data, 2), bound.holder_type)) {
        PyErr_Format(PyExc_TypeError, "tuple_output item 2 must be a TablesHolder, got %.200s",
                     detail::tname(PyTuple_GET_ITEM(data, 2)));
        goto fail;
    }
    holder = Ref(reinterpret_cast<PyObject*>(get_ledgerbox(data, 2)));
    {
        TablesHolderObject* h = reinterpret_cast<TablesHolderObject*>(holder.get());
        root = Ref::borrow(h->_root);
        size = h->vtab->_size(h);
    }
    if (size == 0 && PyErr_Occurred()) {
        goto fail;
    }
    // None after the collector's clear step.
    if (!root || !PyDict_Check(root.get())) {
        PyErr_SetString(PyExc_TypeError, "TablesHolder has no table dictionary");
        goto fail;
    }

    out.header.version = Py_NewRef(PyTuple_GET_ITEM(data, 0));
    out.header.schema_version = Py_NewRef(PyTuple_GET_ITEM(data, 1));
    if ((out.header.table_list = detail::alloc_array<PyObject*>(size)) == nullptr ||
        (out.tables = detail::alloc_array<CTableData>(size)) == nullptr ||
        (tables = detail::alloc_array<PyObject*>(size)) == nullptr ||
        detail::take_tables(root.get(), size, out.header.table_list, tables) < 0) {
        goto fail;
    }
    out.header.num_tables = taken = size;

    // tuple_values() and the truth tests of the column flags run Python code, and with it
    // other threads: from here on the holder itself is not read again.
    for (i = zero; i < size; i += one) {
        CTableData table = dump_table(out.header.table_list[i], tables[i]);
        if (PyErr_Occurred()) {
            goto fail;
        }
        out.tables[i] = table;
        out.num_tables = i + one;
    }
    goto done;

fail:
    free_unified_data(&out);
    WF_TRACEBACK(WF_CUD "dump_model");

done:
    for (i = zero; i < taken; i += one) {
        Py_DECREF(tables[i]);
    }
    std::free(tables);
    return out;
}

}  // namespace wrenfold::c_unified_data
