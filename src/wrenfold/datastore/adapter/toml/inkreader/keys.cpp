// The cache of key strings.
#include <cstring>

#include "inkreader.hpp"

namespace wrenfold::inkreader {

namespace {

// Mixes the length with the first and last eight bytes: enough to tell record keys apart.
inline size_t slot_of(const char* s, size_t n, size_t slots) {
    uint64_t head = 0, tail = 0;
    std::memcpy(&head, s, n < 8 ? n : 8);
    if (n > 8) {
        std::memcpy(&tail, s + n - 8, 8);
    }
    uint64_t h = (head ^ (tail * 0x9E3779B97F4A7C15ull) ^ n) * 0xFF51AFD7ED558CCDull;
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
    PyObject*& slot = slots_[slot_of(s, n, kSlots)];
    if (slot != nullptr && static_cast<size_t>(PyUnicode_GET_LENGTH(slot)) == n &&
        std::memcmp(PyUnicode_DATA(slot), s, n) == 0) {
        return Py_NewRef(slot);
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
