// The interpreter's recursion guard, held for a scope: it is left on every path out.
#pragma once

#include <Python.h>

// 3.12 and 3.13 bound the guard by a count of C calls of their own (10,000 on 3.13), deeper
// than our frames fit in a thread's stack; 3.11 bounds it by the recursion limit, 3.14 by the
// stack itself. There our levels are also counted against the recursion limit.
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000
#define WF_RECURSION_COUNTED 1
#endif

namespace wrenfold::common {

#ifdef WF_RECURSION_COUNTED
namespace detail {
inline thread_local int guarded_depth = 0;
}
#endif

class RecursionGuard {
public:
    // `where` completes the RecursionError message: " while encoding a TOML array".
    explicit RecursionGuard(const char* where) noexcept
        : entered_(Py_EnterRecursiveCall(where) == 0) {
#ifdef WF_RECURSION_COUNTED
        if (entered_ && ++detail::guarded_depth > Py_GetRecursionLimit()) {
            leave();
            PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
        }
#endif
    }
    ~RecursionGuard() {
        if (entered_) {
            leave();
        }
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;

    // False when the limit was reached; RecursionError is then set.
    bool entered() const noexcept {
        return entered_;
    }

private:
    void leave() noexcept {
#ifdef WF_RECURSION_COUNTED
        detail::guarded_depth--;
#endif
        Py_LeaveRecursiveCall();
        entered_ = false;
    }

    bool entered_;
};

}  // namespace wrenfold::common
