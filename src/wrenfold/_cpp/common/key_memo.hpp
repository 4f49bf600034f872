// The keys of a run of tables' lines by position (the records of a table, the tables of an
// array), each kept as its text and " = ": such tables share their key objects, so a key is
// checked and measured once rather than once a table. Holds each key, so that identity stays
// a safe test. Used by the encoder's record loop and by dumps.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstring>

#include <wrenfold/_cpp/common/str_utf8.hpp>
#include <wrenfold/_cpp/common/toml_chars.hpp>

namespace wrenfold::common {

class KeyMemo {
public:
    // What put() copies, a whole slot, whatever it keeps of it.
    static constexpr size_t kRoom = 48;

    KeyMemo() = default;
    KeyMemo(const KeyMemo&) = delete;
    KeyMemo& operator=(const KeyMemo&) = delete;
    ~KeyMemo() {
        for (Slot& s : slots_) {
            Py_XDECREF(s.key);
        }
    }

    // Copies `key` and " = " to `at`, which has kRoom bytes of room, when `key` is the bare key
    // kept at `slot` or the one after it (a table that lacks one of the keys before), or can
    // be kept at `slot` now: the end of the text. Null, with nothing kept, otherwise.
    [[gnu::always_inline]] char* put(char* at, size_t slot, PyObject* key) {
        if (slot >= kSlots) {
            return nullptr;
        }
        Slot* s = &slots_[slot];
        if (s->key != key) {
            if (slot + 1 < kSlots && s[1].key == key) {
                s++;
            } else if (!remember(*s, key)) {
                return nullptr;
            }
        }
        // The whole slot, a copy of fixed size; only its text counts.
        std::memcpy(at, s->text, kRoom);
        return at + s->size;
    }

private:
    static constexpr size_t kSlots = 32;
    struct Slot {
        PyObject* key;  // strong reference, an exact str
        char text[kRoom];
        unsigned char size;
    };

    // Once a slot and table run: out of the writers' loops.
    [[gnu::noinline]] static bool remember(Slot& s, PyObject* key) {
        // Exact str only: dropping a subclass instance could run its __del__.
        if (!PyUnicode_CheckExact(key) || !is_ascii_str(key)) {
            return false;
        }
        const char* data = static_cast<const char*>(PyUnicode_DATA(key));
        const size_t size = static_cast<size_t>(PyUnicode_GET_LENGTH(key));
        if (size + 3 > kRoom || !is_bare_key(data, size)) {
            return false;
        }
        std::memcpy(s.text, data, size);
        std::memcpy(s.text + size, " = ", 3);
        s.size = static_cast<unsigned char>(size + 3);
        Py_XSETREF(s.key, Py_NewRef(key));
        return true;
    }

    Slot slots_[kSlots] = {};
};

}  // namespace wrenfold::common
