// The Python-visible functions: their arguments are checked here, then the work is done by
// the _impl functions of entry.cpp.
#include "inkwright.hpp"

#include <wrenfold/_cpp/common/args.hpp>

namespace wrenfold::inkwright {

using common::Params;

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

}  // namespace

// Created in this order: write_unified_data, then encode_unified_data.
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
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace wrenfold::inkwright
