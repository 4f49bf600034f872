// Raw mode copies text between the quotes as it is. Text that raw TOML cannot carry (a double
// quote, a backslash, a control character other than tab, DEL) would be written as a broken
// or different document, so it is refused with ValueError, whose message the writers up the
// stack complete with where the text is.
#include <cstdarg>

#include <wrenfold/_cpp/common/compat.hpp>
#include <wrenfold/_cpp/common/ref.hpp>

#include "inkwright.hpp"

namespace wrenfold::inkwright {

using common::Ref;

namespace {

// The refusal raised on this thread whose place is not complete yet; only compared with the
// pending exception, never dereferenced, and cleared once the outermost writer has named it.
thread_local PyObject* refused;

}  // namespace

bool raw_safe(const char* p, size_t n) {
    // The escaped mode's scan, which stops at tabs as well: those pass.
    for (;;) {
        const size_t i = common::first_escape(p, n);
        if (i == n) {
            return true;
        }
        if (p[i] != '\t') {
            return false;
        }
        p += i + 1;
        n -= i + 1;
    }
}

int refuse_raw_char(uint32_t c) {
    const char* what = c == '"' ? "a double quote" : c == '\\' ? "a backslash" : nullptr;
    if (what != nullptr) {
        PyErr_Format(PyExc_ValueError,
                     "the text holds %s, which raw TOML cannot carry; save with "
                     "escape_strings=True",
                     what);
    } else {
        PyErr_Format(PyExc_ValueError,
                     "the text holds the control character U+%04X, which raw TOML cannot carry; "
                     "save with escape_strings=True",
                     static_cast<unsigned>(c));
    }
    PyObject* exc = PyErr_GetRaisedException();
    refused = exc;
    PyErr_SetRaisedException(exc);
    return -1;
}

int refuse_raw_text(const char* p, size_t n) {
    size_t i = 0;
    while (i + 1 < n &&
           (p[i] == '\t' || !common::detail::needs_escape(static_cast<unsigned char>(p[i])))) {
        i++;
    }
    return refuse_raw_char(static_cast<unsigned char>(p[i]));
}

void raw_text_context(bool outermost, const char* format, ...) {
    if (refused == nullptr) {
        return;
    }
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == refused) {
        va_list va;
        va_start(va, format);
        Ref where(PyUnicode_FromFormatV(format, va));
        va_end(va);
        Ref args(PyObject_GetAttrString(exc, "args"));
        PyObject* message = args && PyTuple_Check(args.get()) && PyTuple_GET_SIZE(args.get()) == 1
                                ? PyTuple_GET_ITEM(args.get(), 0)
                                : nullptr;
        Ref text(where && message != nullptr ? PyUnicode_Concat(where.get(), message) : nullptr);
        Ref new_args(text ? PyTuple_Pack(1, text.get()) : nullptr);
        // Without the place, the refusal still stands.
        if (!new_args || PyObject_SetAttrString(exc, "args", new_args.get()) < 0) {
            PyErr_Clear();
        }
        if (outermost) {
            refused = nullptr;
        }
    }
    PyErr_SetRaisedException(exc);
}

}  // namespace wrenfold::inkwright
