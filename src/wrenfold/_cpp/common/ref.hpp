// A small move-only owner of one strong PyObject reference.
#pragma once

#include <Python.h>

namespace wrenfold::common {

class Ref {
public:
    Ref() noexcept = default;
    // Steals: the caller hands over a reference it owns (a new reference or null).
    explicit Ref(PyObject* owned) noexcept : p_(owned) {}
    // Borrows: takes a reference of its own to an object somebody else owns.
    static Ref borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return Ref(obj);
    }

    Ref(Ref&& other) noexcept : p_(other.p_) {
        other.p_ = nullptr;
    }
    Ref& operator=(Ref&& other) noexcept {
        PyObject* old = p_;
        p_ = other.p_;
        other.p_ = nullptr;
        Py_XDECREF(old);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() {
        Py_XDECREF(p_);
    }

    PyObject* get() const noexcept {
        return p_;
    }
    // Hands the reference to the caller; the owner is empty afterwards.
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    explicit operator bool() const noexcept {
        return p_ != nullptr;
    }

private:
    PyObject* p_ = nullptr;
};

}  // namespace wrenfold::common
