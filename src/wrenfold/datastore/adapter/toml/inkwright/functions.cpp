// The Python-visible functions: their arguments are checked here, then the work is done by
// the _impl functions of entry.cpp.
#include "inkwright.hpp"

#include <wrenfold/_cpp/common/args.hpp>
#include <wrenfold/_cpp/common/ref.hpp>

namespace wrenfold::inkwright {

using common::Params;
using common::Ref;

namespace {

PyObject* encode_unified_data(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    static Params params = {"encode_unified_data", 1, 2, {"data", "escape_strings"}, {}};
    PyObject* a[2];
    int escape_strings = 0;
    if (common::parse_args(params, args, nargs, kwnames, a) < 0 ||
        (a[1] != nullptr && (escape_strings = common::truth(a[1])) < 0)) {
        INK_FAIL("encode_unified_data");
        return nullptr;
    }
    PyObject* result = _encode_unified_data_impl(a[0], escape_strings);
    if (result == nullptr) {
        INK_FAIL("encode_unified_data");
    }
    return result;
}

PyObject* write_unified_data(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    static Params params = {"write_unified_data", 2, 3, {"data", "filepath", "escape_strings"}, {}};
    PyObject* a[3];
    int escape_strings = 0;
    if (common::parse_args(params, args, nargs, kwnames, a) < 0 ||
        (a[2] != nullptr && (escape_strings = common::truth(a[2])) < 0) ||
        common::check_str_arg(a[1], "filepath", true) < 0) {
        INK_FAIL("write_unified_data");
        return nullptr;
    }
    PyObject* result = _write_unified_data_impl(a[0], a[1], escape_strings);
    if (result == nullptr) {
        INK_FAIL("write_unified_data");
    }
    return result;
}

// Bytes, or a str as UTF-8, saved as write_unified_data saves a document.
PyObject* write_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static Params params = {"_write_file", 2, 2, {"data", "filepath"}, {}};
    PyObject* a[2];
    if (common::parse_args(params, args, nargs, kwnames, a) < 0 ||
        common::check_str_arg(a[1], "filepath", false) < 0) {
        INK_FAIL("_write_file");
        return nullptr;
    }
    const char* text = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_Check(a[0])) {
        text = PyBytes_AS_STRING(a[0]);
        size = PyBytes_GET_SIZE(a[0]);
    } else if (PyUnicode_Check(a[0])) {
        text = common::str_utf8(a[0], &size);
    } else {
        PyErr_Format(PyExc_TypeError, "Expected bytes or str, got %.200s", Py_TYPE(a[0])->tp_name);
    }
    Ref path(text != nullptr ? encode_path(a[1]) : nullptr);
    if (!path ||
        write_text(text, static_cast<size_t>(size), PyBytes_AS_STRING(path.get()), a[1]) < 0) {
        INK_FAIL("_write_file");
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace

// Created in this order: write_unified_data, then encode_unified_data; then the command
// line's save.
PyMethodDef module_functions[] = {
    {"write_unified_data", WF_FASTCALL(write_unified_data), METH_FASTCALL | METH_KEYWORDS,
     "write_unified_data(data, str filepath, bool escape_strings=False) -> void\n\n"
     "Write UnifiedDataFormat directly to file - the fast path.\n\n"
     "Args:\n"
     "    data: UnifiedDataFormat instance\n"
     "    filepath: Path to write the TOML file"},
    {"encode_unified_data", WF_FASTCALL(encode_unified_data), METH_FASTCALL | METH_KEYWORDS,
     "encode_unified_data(data, bool escape_strings=False) -> str\n\n"
     "Encode UnifiedDataFormat to TOML string.\n\n"
     "Args:\n"
     "    data: UnifiedDataFormat instance\n\n"
     "Returns:\n"
     "    Complete TOML document as string"},
    {"_write_file", WF_FASTCALL(write_file), METH_FASTCALL | METH_KEYWORDS,
     "_write_file(data, str filepath) -> void\n\n"
     "Save bytes, or a str as UTF-8, to a file as write_unified_data saves a document."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace wrenfold::inkwright
