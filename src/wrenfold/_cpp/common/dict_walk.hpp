// Catching Python code that changes the keys of a dict while the encoder walks it.
//
// A walk continues from a position in the dict's entries, so a key popped and inserted again
// (even with the size unchanged, even across a resize) would be written twice, or an entry
// skipped. Only code that the walk calls can change the dict, so each walk is armed just
// before such a call: on 3.12 and later a dict watcher flags any change of keys; otherwise,
// or when the interpreter has no watcher left, the walk keeps the positions and keys it saw
// and compares them after each entry that called out.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstdlib>

namespace wrenfold::common {

class DictWalk;
inline int arm_walks(DictWalk* top);
#if PY_VERSION_HEX >= 0x030C0000
inline int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject*, PyObject*);
#endif

namespace detail {

#if PY_VERSION_HEX >= 0x030C0000
inline int dict_watcher = -1;           // -1 when the keys are compared instead
inline DictWalk* armed_head = nullptr;  // armed, watched walks of every thread
#endif
// Bumped before every call out, so that a comparing walk compares only after one.
inline uint64_t call_outs = 0;

}  // namespace detail

class DictWalk {
public:
    // Walks `dict` (held by the caller for the walk), innermost on the chain at `top`.
    DictWalk(PyObject* dict, DictWalk** top) noexcept : dict_(dict), top_(top), outer_(*top) {
        *top = this;
    }
    ~DictWalk() {
        *top_ = outer_;
        if (armed_) {
            disarm();
        }
    }
    DictWalk(const DictWalk&) = delete;
    DictWalk& operator=(const DictWalk&) = delete;

    // After each entry: -1 with RuntimeError when called code changed the keys.
    int check() {
        if (!armed_ || !keys_changed()) [[likely]] {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
        return -1;
    }

private:
    friend int arm_walks(DictWalk* top);
#if PY_VERSION_HEX >= 0x030C0000
    friend int on_dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*);
#endif

    struct KeyAt {
        Py_ssize_t pos;
        PyObject* key;  // strong: a key freed and another made at its address must not pass
    };

    // -1 with MemoryError.
    int arm() {
#if PY_VERSION_HEX >= 0x030C0000
        if (detail::dict_watcher >= 0) {
            if (PyDict_Watch(detail::dict_watcher, dict_) < 0) {
                return -1;
            }
            next_ = detail::armed_head;
            if (next_ != nullptr) {
                next_->prev_ = this;
            }
            detail::armed_head = this;
            Py_INCREF(dict_);
            armed_ = true;
            return 0;
        }
#endif
        const Py_ssize_t size = PyDict_GET_SIZE(dict_);
        keys_ = static_cast<KeyAt*>(std::malloc(sizeof(KeyAt) * static_cast<size_t>(size + 1)));
        if (keys_ == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        PyObject *key, *value;
        for (Py_ssize_t pos = 0; PyDict_Next(dict_, &pos, &key, &value) && count_ < size;) {
            keys_[count_++] = {pos, Py_NewRef(key)};
        }
        seen_ = detail::call_outs;
        armed_ = true;
        return 0;
    }

    bool keys_changed() {
#if PY_VERSION_HEX >= 0x030C0000
        if (detail::dict_watcher >= 0) {
            return changed_;
        }
#endif
        if (seen_ == detail::call_outs) {
            return false;
        }
        seen_ = detail::call_outs;
        Py_ssize_t i = 0, pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(dict_, &pos, &key, &value)) {
            if (i == count_ || keys_[i].pos != pos || keys_[i].key != key) {
                return true;
            }
            i++;
        }
        return i != count_;
    }

    void disarm() {
#if PY_VERSION_HEX >= 0x030C0000
        if (detail::dict_watcher >= 0) {
            (prev_ != nullptr ? prev_->next_ : detail::armed_head) = next_;
            if (next_ != nullptr) {
                next_->prev_ = prev_;
            }
            // Another walk of the same dict (another thread's, or an encode called from this
            // one) still needs the watch.
            bool shared = false;
            for (DictWalk* w = detail::armed_head; w != nullptr && !shared; w = w->next_) {
                shared = w->dict_ == dict_;
            }
            if (!shared) {
                PyDict_Unwatch(detail::dict_watcher, dict_);
            }
            Py_DECREF(dict_);
            return;
        }
#endif
        for (Py_ssize_t i = 0; i < count_; i++) {
            Py_DECREF(keys_[i].key);
        }
        std::free(keys_);
    }

    PyObject* dict_;
    DictWalk** top_;
    DictWalk* outer_;
    bool armed_ = false;
#if PY_VERSION_HEX >= 0x030C0000
    bool changed_ = false;
    DictWalk* prev_ = nullptr;
    DictWalk* next_ = nullptr;
#endif
    KeyAt* keys_ = nullptr;
    Py_ssize_t count_ = 0;
    uint64_t seen_ = 0;
};

// Before a call that can run Python code: arms every walk from `top` outwards that is not
// armed yet (once one is, so are those around it). -1 with MemoryError.
inline int arm_walks(DictWalk* top) {
    for (DictWalk* w = top; w != nullptr && !w->armed_; w = w->outer_) {
        if (w->arm() < 0) {
            return -1;
        }
    }
    detail::call_outs++;
    return 0;
}

#if PY_VERSION_HEX >= 0x030C0000
// Values replaced under the same key leave the walk valid; anything else does not.
inline int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject*, PyObject*) {
    if (event == PyDict_EVENT_MODIFIED || event == PyDict_EVENT_DEALLOCATED) {
        return 0;
    }
    for (DictWalk* w = detail::armed_head; w != nullptr; w = w->next_) {
        if (w->dict_ == dict) {
            w->changed_ = true;
        }
    }
    return 0;
}
#endif

// Once, at module initialisation. Without a watcher to spare, walks compare keys instead.
inline void start_dict_watch() {
#if PY_VERSION_HEX >= 0x030C0000
    if (detail::dict_watcher < 0 && (detail::dict_watcher = PyDict_AddWatcher(on_dict_event)) < 0) {
        PyErr_Clear();
    }
#endif
}

}  // namespace wrenfold::common
