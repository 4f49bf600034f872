// A mapping's entries in order: a dict's own storage, or the pairs that any other Mapping's
// items() gives, as tomli_w reads them.
#pragma once

#include <wrenfold/_cpp/common/dict_entries.hpp>
#include <wrenfold/_cpp/common/dict_walk.hpp>
#include <wrenfold/_cpp/common/ref.hpp>

#include "inkdump.hpp"

// The walk in for_each_item puts itself on the writer's chain and its destructor takes it
// off again; GCC, once the walk is inlined into a writer, sees only the first half.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wdangling-pointer"
#endif

namespace wrenfold::inkdump {

// Values whose writing runs no Python code, and so cannot lose their last reference.
inline bool is_plain(PyObject* v) {
    PyTypeObject* t = Py_TYPE(v);
    return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type;
}

int unpack_pair(PyObject* item, common::Ref* key, common::Ref* value);

// Calls f(key, value) for each entry (both borrowed, alive for the call); stops at the first
// -1. A dict whose keys change under called code raises RuntimeError.
template <class F>
int for_each_item(Writer& w, PyObject* mapping, F&& f) {
    using common::Ref;
    if (PyDict_CheckExact(mapping)) {
        common::DictWalk walk(mapping, &w.walks);
        const Py_ssize_t size = PyDict_GET_SIZE(mapping);
        // Read a batch at a time, each value asked for from memory ahead of its use. The
        // entries are borrowed: after a value whose writing may run Python code (or collect
        // garbage), those after it are read again.
        constexpr int kBatch = 16;
        common::DictEntry batch[kBatch];
        Py_ssize_t at = 0;
        for (bool more = true; more;) {
            const int n = common::read_dict_entries(mapping, at, batch, kBatch, &more);
            bool reread = false;
            for (int i = 0; i < n && !reread; i++) {
                const common::DictEntry& e = batch[i];
                if (is_plain(e.value)) [[likely]] {
                    if (f(e.key, e.value) < 0) {
                        return -1;
                    }
                    continue;
                }
                // Called code may drop the dict's references to both.
                Ref held_key = Ref::borrow(e.key), held = Ref::borrow(e.value);
                if (f(e.key, e.value) < 0) {
                    return -1;
                }
                if (PyDict_GET_SIZE(mapping) != size) {
                    PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                    return -1;
                }
                if (walk.check() < 0) {
                    return -1;
                }
                at = e.next;
                reread = true;
            }
            if (reread) {
                more = true;
            } else if (n > 0) {
                at = batch[n - 1].next;
            }
        }
        return 0;
    }
    if (common::arm_walks(w.walks) < 0) {
        return -1;
    }
    Ref items(PyObject_CallMethodNoArgs(mapping, bound.str_items));
    Ref list(items ? PySequence_List(items.get()) : nullptr);
    if (!list) {
        return -1;
    }
    // The list is ours alone: nothing else can change it.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); i++) {
        Ref key, value;
        if (unpack_pair(PyList_GET_ITEM(list.get(), i), &key, &value) < 0 ||
            f(key.get(), value.get()) < 0) {
            return -1;
        }
    }
    return 0;
}

}  // namespace wrenfold::inkdump
