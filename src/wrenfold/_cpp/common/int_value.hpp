// The value of an int within 64 bits, for the writers' number text.
#pragma once

#include <Python.h>

namespace wrenfold::common {

// The value of `value`, an int or an int subclass, into `*out`: true, or false when it takes
// more than 64 bits. Most ints are a single digit, read without a call where the interpreter
// offers that (3.12 on).
[[gnu::always_inline]] inline bool int64_value(PyObject* value, long long* out) {
#if PY_VERSION_HEX >= 0x030C0000
    PyLongObject* compact = reinterpret_cast<PyLongObject*>(value);
    if (PyUnstable_Long_IsCompact(compact)) [[likely]] {
        *out = PyUnstable_Long_CompactValue(compact);
        return true;
    }
#endif
    // An int cannot fail here: only the overflow is told.
    int overflow;
    *out = PyLong_AsLongLongAndOverflow(value, &overflow);
    return overflow == 0;
}

}  // namespace wrenfold::common
