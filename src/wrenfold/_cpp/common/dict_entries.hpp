// A dict's entries read in storage order, many at a time.
//
// PyDict_Next costs a call and its checks per entry, a fifth of an encode of small records.
// Where this header mirrors the interpreter's table layout (3.11 to 3.15 with the GIL: the
// same in all five), entries of a combined table are read from the table itself, as
// PyDict_Next reads them, once check_dict_table_layout() has compared that reading with
// PyDict_Next's on probe dicts; split tables (instance dicts), every other interpreter, a
// failed check and a build with WRENFOLD_NO_DICT_TABLE_LAYOUT go through PyDict_Next.
// Positions are PyDict_Next's either way, so a walk may switch.
#pragma once

#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <type_traits>

#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x03100000 && !defined(Py_GIL_DISABLED) && \
    !defined(WRENFOLD_NO_DICT_TABLE_LAYOUT)
#define WF_DICT_TABLE_LAYOUT 1
#endif

namespace wrenfold::common {

struct DictEntry {
    PyObject* key;  // borrowed, as PyDict_Next gives them
    PyObject* value;
    Py_ssize_t next;  // the position after this entry
};

namespace detail {

// Asks for the first two cache lines of `obj`: a str's text mostly begins in the first and
// ends in the second. A prefetch never faults, wherever the object ends.
inline void prefetch_object(const PyObject* obj) {
    const auto at = reinterpret_cast<uintptr_t>(obj);
    __builtin_prefetch(reinterpret_cast<const void*>(at));
    __builtin_prefetch(reinterpret_cast<const void*>(at + 64));
}

#ifdef WF_DICT_TABLE_LAYOUT

// The head of the interpreter's key table (PyDictKeysObject), then its hash index of
// 1 << log2_index_bytes bytes, then its entries.
struct DictKeysHead {
    Py_ssize_t refcnt;
    uint8_t log2_size;
    uint8_t log2_index_bytes;
    uint8_t kind;  // 0: any keys, with their hashes; else str keys only
    uint32_t version;
    Py_ssize_t usable;
    Py_ssize_t nentries;
    char indices[];
};
struct AnyKeyEntry {
    Py_hash_t hash;
    PyObject* key;
    PyObject* value;  // null for a deleted entry
};
struct StrKeyEntry {
    PyObject* key;
    PyObject* value;
};

template <class Entry>
int read_table(const DictKeysHead* keys, Py_ssize_t at, DictEntry* out, int room, bool* more) {
    const Entry* table =
        reinterpret_cast<const Entry*>(keys->indices + (size_t{1} << keys->log2_index_bytes));
    const Py_ssize_t n = keys->nentries;
    DictEntry* o = out;
    DictEntry* const full = out + room;
    Py_ssize_t i = at;
    // One pass when no entry was deleted; each deleted one makes room for one pass more.
    while (o < full && i < n) {
        const Py_ssize_t stop = n - i > full - o ? i + (full - o) : n;
        for (; i < stop; i++) {
            if (table[i].value != nullptr) [[likely]] {
                prefetch_object(table[i].value);
                *o++ = {table[i].key, table[i].value, i + 1};
            }
        }
    }
    *more = i < n;
    return static_cast<int>(o - out);
}

// Set once the mirror has read probe dicts as PyDict_Next reads them.
inline bool table_layout_checked = false;

// The head's fields agree with one another and with the dict's count, so that the entries
// it points to lie inside the table.
inline bool plausible_head(const PyDictObject* dict) {
    const auto* keys = reinterpret_cast<const DictKeysHead*>(dict->ma_keys);
    const int log2_size = keys->log2_size;
    if (log2_size < 3 || log2_size > 40 || keys->kind > 2) {
        return false;
    }
    const int width = log2_size < 8 ? 0 : log2_size < 16 ? 1 : log2_size < 32 ? 2 : 3;
    const Py_ssize_t size = Py_ssize_t{1} << log2_size;
    return keys->log2_index_bytes == log2_size + width && keys->nentries >= dict->ma_used &&
           keys->nentries <= size && keys->usable >= 0 && keys->usable <= size;
}

template <class Entry>
bool table_reads_as_dict_next(PyObject* d) {
    const auto* dict = reinterpret_cast<const PyDictObject*>(d);
    if (dict->ma_values != nullptr || !plausible_head(dict)) {
        return false;
    }
    const auto* keys = reinterpret_cast<const DictKeysHead*>(dict->ma_keys);
    if ((keys->kind == 0) != std::is_same_v<Entry, AnyKeyEntry>) {
        return false;
    }
    Py_ssize_t at = 0;
    PyObject *key, *value;
    DictEntry got;
    bool more = true;
    Py_ssize_t from = 0;
    while (PyDict_Next(d, &at, &key, &value)) {
        if (read_table<Entry>(keys, from, &got, 1, &more) != 1 || got.key != key ||
            got.value != value || got.next != at) {
            return false;
        }
        from = got.next;
    }
    return read_table<Entry>(keys, from, &got, 1, &more) == 0 && !more;
}

#endif

}  // namespace detail

// Compares the table reading with PyDict_Next on probe dicts: str keys and other keys, small
// and large index widths, deleted entries at the start, in the middle and at the end, and an
// instance dict, which must not be taken for a combined table. The fast path is used only
// when every probe agrees. -1 with an exception set when a probe cannot be made.
inline int check_dict_table_layout() {
#ifdef WF_DICT_TABLE_LAYOUT
    if (detail::table_layout_checked) {
        return 0;
    }
    PyObject* probes[4] = {PyDict_New(), PyDict_New(), PyDict_New(), nullptr};
    bool agree = probes[0] && probes[1] && probes[2];
    for (int n = 0; agree && n < 300; n++) {
        PyObject* name = PyUnicode_FromFormat("k%d", n);
        PyObject* number = PyLong_FromLong(n);
        agree = name && number && PyDict_SetItem(probes[n < 5 ? 0 : 1], name, number) == 0 &&
                PyDict_SetItem(probes[2], number, name) == 0;
        Py_XDECREF(name);
        Py_XDECREF(number);
    }
    // Holes: the first, one in the middle and the last entry of each.
    for (int p = 0; agree && p < 3; p++) {
        const Py_ssize_t n = PyDict_GET_SIZE(probes[p]);
        for (const Py_ssize_t at : {n - 1, n / 2, Py_ssize_t{0}}) {
            Py_ssize_t pos = 0, i = 0;
            PyObject *key, *value;
            while (PyDict_Next(probes[p], &pos, &key, &value) && i++ < at) {
            }
            PyObject* held = Py_NewRef(key);
            agree = PyDict_DelItem(probes[p], held) == 0;
            Py_DECREF(held);
            if (!agree) {
                break;
            }
        }
    }
    if (agree) {
        // An instance of a fresh class keeps its values apart from its keys.
        PyObject* cls = PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()N",
                                              "probe", PyDict_New());
        PyObject* obj = cls ? PyObject_CallNoArgs(cls) : nullptr;
        agree = obj && PyObject_SetAttrString(obj, "a", Py_None) == 0 &&
                PyObject_SetAttrString(obj, "b", Py_None) == 0;
        probes[3] = agree ? PyObject_GenericGetDict(obj, nullptr) : nullptr;
        agree = probes[3] != nullptr;
        Py_XDECREF(obj);
        Py_XDECREF(cls);
    }
    const bool failed = PyErr_Occurred() != nullptr;
    if (agree) {
        const auto* split = reinterpret_cast<const PyDictObject*>(probes[3]);
        detail::table_layout_checked =
            detail::table_reads_as_dict_next<detail::StrKeyEntry>(probes[0]) &&
            detail::table_reads_as_dict_next<detail::StrKeyEntry>(probes[1]) &&
            detail::table_reads_as_dict_next<detail::AnyKeyEntry>(probes[2]) &&
            split->ma_values != nullptr;
    }
    for (PyObject* probe : probes) {
        Py_XDECREF(probe);
    }
    return failed ? -1 : 0;
#else
    return 0;
#endif
}

// Whether dicts are read from their tables (false: through PyDict_Next).
inline bool dict_table_layout_in_use() {
#ifdef WF_DICT_TABLE_LAYOUT
    return detail::table_layout_checked;
#else
    return false;
#endif
}

// Up to `room` entries of the dict `d` from position `at` (0 for the first) into `out`,
// each value's object asked for from memory as it is read (the second line saves 6% of an
// encode of 200,000 records); returns how many. `*more` is false once no entry can follow
// them. Nothing is written to the dict or its entries' reference counts.
inline int read_dict_entries(PyObject* d, Py_ssize_t at, DictEntry* out, int room, bool* more) {
#ifdef WF_DICT_TABLE_LAYOUT
    const PyDictObject* dict = reinterpret_cast<const PyDictObject*>(d);
    if (detail::table_layout_checked && dict->ma_values == nullptr && at >= 0) [[likely]] {
        const auto* keys = reinterpret_cast<const detail::DictKeysHead*>(dict->ma_keys);
        return keys->kind == 0 ? detail::read_table<detail::AnyKeyEntry>(keys, at, out, room, more)
                               : detail::read_table<detail::StrKeyEntry>(keys, at, out, room, more);
    }
#endif
    int count = 0;
    PyObject *key, *value;
    while (count < room && PyDict_Next(d, &at, &key, &value)) {
        detail::prefetch_object(value);
        out[count++] = {key, value, at};
    }
    *more = count == room;
    return count;
}

}  // namespace wrenfold::common
