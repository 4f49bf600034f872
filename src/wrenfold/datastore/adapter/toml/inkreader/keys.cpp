// The cache of key strings.
#include <cstring>

#include "inkreader.hpp"

namespace wrenfold::inkreader {

namespace {

// A key as two words: its first and last eight bytes (four, or the first, middle and last
// byte, when shorter), which overlap in a short key. With the length, they are all of a key
// of up to sixteen bytes.
struct Words {
    uint64_t head, tail;
};

inline Words words_of(const char* s, size_t n) {
    if (n >= 8) {
        Words w;
        std::memcpy(&w.head, s, 8);
        std::memcpy(&w.tail, s + n - 8, 8);
        return w;
    }
    if (n >= 4) {
        uint32_t head, tail;
        std::memcpy(&head, s, 4);
        std::memcpy(&tail, s + n - 4, 4);
        return {head, tail};
    }
    const auto* u = reinterpret_cast<const unsigned char*>(s);
    return {u[0] | uint64_t{u[n / 2]} << 8 | uint64_t{u[n - 1]} << 16, 0};
}

inline size_t slot_of(Words w, size_t n, size_t slots) {
    uint64_t h = (w.head ^ (w.tail * 0x9E3779B97F4A7C15ull) ^ n) * 0xFF51AFD7ED558CCDull;
    h ^= h >> 29;
    return static_cast<size_t>(h) & (slots - 1);
}

}  // namespace

KeyCache::~KeyCache() {
    for (PyObject* key : slots_) {
        Py_XDECREF(key);
    }
}

PyObject* KeyCache::get(const char* s, size_t n) {
    if (n == 0 || n > kMaxLength) {
        return PyUnicode_FromStringAndSize(s, static_cast<Py_ssize_t>(n));
    }
    const Words w = words_of(s, n);
    PyObject*& slot = slots_[slot_of(w, n, kSlots)];
    if (slot != nullptr && static_cast<size_t>(PyUnicode_GET_LENGTH(slot)) == n) {
        const char* cached = static_cast<const char*>(PyUnicode_DATA(slot));
        const Words c = words_of(cached, n);
        if (c.head == w.head && c.tail == w.tail &&
            (n <= 16 || std::memcmp(cached + 8, s + 8, n - 16) == 0)) {
            return Py_NewRef(slot);
        }
    }
    PyObject* key = PyUnicode_New(static_cast<Py_ssize_t>(n), 0x7F);
    if (key == nullptr) {
        return nullptr;
    }
    std::memcpy(PyUnicode_DATA(key), s, n);
    Py_XSETREF(slot, Py_NewRef(key));
    return key;
}

}  // namespace wrenfold::inkreader
