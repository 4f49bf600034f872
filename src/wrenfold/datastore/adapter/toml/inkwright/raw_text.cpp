// Raw mode copies text between the quotes as it is. Text that raw TOML cannot carry (a double
// quote, a backslash, a control character other than tab, DEL) would be written as a broken
// or different document, so it is refused with ValueError, whose message the writers up the
// stack complete with where the text is (Output::name_place). Any other error of an encode
// gets the same place in a note.
#include <cstdarg>

#include <wrenfold/_cpp/common/compat.hpp>
#include <wrenfold/_cpp/common/ref.hpp>

#include "inkwright.hpp"

namespace wrenfold::inkwright {

using common::Ref;

bool raw_safe(const char* p, size_t n) {
    return common::first_raw_refused(p, n) == n;
}

int refuse_raw_char(Output* out, uint32_t c) {
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
    out->mark_refusal();
    return -1;
}

int refuse_raw_text(Output* out, const char* p, size_t n) {
    return refuse_raw_char(out, static_cast<unsigned char>(p[common::first_raw_refused(p, n)]));
}

namespace {

constexpr char kNoteStart[] = "when encoding ";

// Puts the refusal's place in front of its message.
void complete_refusal(PyObject* exc, PyObject* where) {
    Ref args(PyObject_GetAttrString(exc, "args"));
    PyObject* message = args && PyTuple_Check(args.get()) && PyTuple_GET_SIZE(args.get()) == 1
                            ? PyTuple_GET_ITEM(args.get(), 0)
                            : nullptr;
    Ref text(message != nullptr ? PyUnicode_Concat(where, message) : nullptr);
    Ref new_args(text ? PyTuple_Pack(1, text.get()) : nullptr);
    if (!new_args || PyObject_SetAttrString(exc, "args", new_args.get()) < 0) {
        PyErr_Clear();
    }
}

// Puts `where` in front of the place that `exc`'s last note, begun below, names.
void extend_note(PyObject* exc, PyObject* where) {
    static PyObject* const notes_name = PyUnicode_InternFromString("__notes__");
    Ref notes(notes_name != nullptr ? PyObject_GetAttr(exc, notes_name) : nullptr);
    const Py_ssize_t n = notes && PyList_Check(notes.get()) ? PyList_GET_SIZE(notes.get()) : 0;
    PyObject* last = n > 0 ? PyList_GET_ITEM(notes.get(), n - 1) : nullptr;
    Ref below(last != nullptr && PyUnicode_Check(last)
                  ? PyUnicode_Substring(last, sizeof(kNoteStart) - 1, PyUnicode_GET_LENGTH(last))
                  : nullptr);
    Ref text(below ? PyUnicode_FromFormat("%s%U%U", kNoteStart, where, below.get()) : nullptr);
    if (!text || PyList_SetItem(notes.get(), n - 1, text.release()) < 0) {
        PyErr_Clear();
    }
}

// A new note of `exc` naming the place `where`: true, or false when it could not be added.
bool start_note(PyObject* exc, PyObject* where) {
    // Alone, the place ends with the ": " or ", " that the text below it would follow.
    Ref place(PyUnicode_Substring(where, 0, PyUnicode_GET_LENGTH(where) - 2));
    Ref text(place ? PyUnicode_FromFormat("%s%U", kNoteStart, place.get()) : nullptr);
    if (!text) {
        PyErr_Clear();
        return false;
    }
    return c_unified_data::detail::add_note(exc, text.get());
}

}  // namespace

void Output::mark_refusal() {
    PyObject* exc = PyErr_GetRaisedException();
    refused_ = exc;
    PyErr_SetRaisedException(exc);
}

void Output::name_place(Place place, const char* format, ...) {
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr) {
        return;
    }
    va_list va;
    va_start(va, format);
    Ref where(PyUnicode_FromFormatV(format, va));
    va_end(va);
    // Without the place, the error still stands.
    if (!where) {
        PyErr_Clear();
    } else if (exc == refused_) {
        complete_refusal(exc, where.get());
    } else if (exc == noted_) {
        extend_note(exc, where.get());
    } else if (start_note(exc, where.get())) {
        noted_ = exc;
    }
    if (place == Place::kWhole) {
        refused_ = noted_ = nullptr;
    }
    PyErr_SetRaisedException(exc);
}

}  // namespace wrenfold::inkwright
