// The interpreter's recursion guard, held for a scope: it is left on every path out.
#pragma once

#include <Python.h>

namespace wrenfold::common {

class RecursionGuard {
public:
    // `where` completes the RecursionError message: " while encoding a TOML array".
    explicit RecursionGuard(const char* where) noexcept
        : entered_(Py_EnterRecursiveCall(where) == 0) {}
    ~RecursionGuard() {
        if (entered_) {
            Py_LeaveRecursiveCall();
        }
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;

    // False when the limit was reached; RecursionError is then set.
    bool entered() const noexcept {
        return entered_;
    }

private:
    bool entered_;
};

}  // namespace wrenfold::common
