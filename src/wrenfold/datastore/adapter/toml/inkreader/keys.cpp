// The cache of key strings, and the shapes of inline tables.
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

KeyCache key_cache;

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

KeyShape::~KeyShape() {
    for (size_t i = 0; i < size_; i++) {
        Py_DECREF(keys_[i].key);
    }
}

void KeyShape::note(Entry& e, const char* text, size_t span) {
    unsigned char bytes[kSpan] = {}, mask[kSpan] = {};
    e.span = span <= kSpan ? span : 0;
    for (size_t b = 0; b < e.span; b++) {
        bytes[b] = static_cast<unsigned char>(text[b]);
        mask[b] = 0xFF;
    }
    std::memcpy(e.word, bytes, kSpan);
    std::memcpy(e.mask, mask, kSpan);
}

size_t KeyShape::learn(size_t i, PyObject* key, const char* text, size_t span) {
    for (size_t k = i; k < size_; k++) {
        // Both are str: the comparison cannot fail.
        if (keys_[k].key == key || PyUnicode_Compare(keys_[k].key, key) == 0) {
            note(keys_[k], text, span);
            return k + 1;
        }
    }
    if (i >= kKeys) {
        return i;
    }
    // In place of key i, the others moved up; the last one falls out when all are taken.
    if (size_ == kKeys) {
        Py_DECREF(keys_[--size_].key);
    }
    std::memmove(&keys_[i + 1], &keys_[i], (size_ - i) * sizeof(Entry));
    size_++;
    keys_[i].key = Py_NewRef(key);
    note(keys_[i], text, span);
    return i + 1;
}

}  // namespace wrenfold::inkreader
