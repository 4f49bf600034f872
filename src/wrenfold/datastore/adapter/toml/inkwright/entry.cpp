// The work behind the two entry points: the snapshot, the buffer, then a str or a file.
#include "inkwright.hpp"

#include <cstring>

#include <wrenfold/_cpp/common/args.hpp>
#include <wrenfold/_cpp/common/ref.hpp>

namespace wrenfold::inkwright {

using common::Ref;

namespace {

PyObject* str_tuple_output;  // interned

// The snapshot of the document `data`: 0, or -1 with an exception set. The caller frees it
// either way.
int take_snapshot(PyObject* data, c_unified_data::CUnifiedData* c_data) {
    Ref tuple_output;
    const int own = c_unified_data::own_models::document_tuple(data, &tuple_output);
    if (own == 0) {
        tuple_output = Ref(PyObject_GetAttr(data, str_tuple_output));
    }
    if (!tuple_output) {
        return -1;
    }
    // (version, schema_version, TablesHolder)
    if (!PyTuple_CheckExact(tuple_output.get())) {
        common::raise_expected("tuple", Py_TYPE(tuple_output.get())->tp_name);
        return -1;
    }
    *c_data = c_unified_data::dump_model(tuple_output.get());
    return PyErr_Occurred() ? -1 : 0;
}

// The text of the snapshot `data` as a str, the checks of its texts deferred if
// `defer_checks`; null with an exception set, and `*recheck` true when the encode must be made
// again without deferring them.
PyObject* encode_str(const c_unified_data::CUnifiedData* data, int escape_strings,
                     bool defer_checks, bool* recheck) {
    Output out(Output::Sink::kStr, nullptr, defer_checks && escape_strings);
    PyObject* result = nullptr;
    if (out.start(data) == 0 && _encode_to_buffer(data, &out, escape_strings) == 0) {
        result = out.take_str();
    }
    *recheck = result == nullptr && out.needs_recheck();
    return result;
}

}  // namespace

int intern_entry_names() {
    if (str_tuple_output == nullptr) {
        str_tuple_output = PyUnicode_InternFromString("tuple_output");
    }
    return str_tuple_output != nullptr ? 0 : -1;
}

PyObject* _encode_unified_data_impl(PyObject* data, int escape_strings) {
    c_unified_data::CUnifiedData c_data{};
    PyObject* result = nullptr;
    if (take_snapshot(data, &c_data) == 0) {
        bool recheck = false;
        result = encode_str(&c_data, escape_strings, true, &recheck);
        if (result == nullptr && recheck) {
            // No user code has run since the snapshot: the same walk finds the same texts.
            PyErr_Clear();
            result = encode_str(&c_data, escape_strings, false, &recheck);
        }
    }
    c_unified_data::free_unified_data(&c_data);
    if (result == nullptr) {
        INK_FAIL("_encode_unified_data_impl");
    }
    return result;
}

PyObject* encode_path(PyObject* filepath) {
    Ref path(PyUnicode_EncodeFSDefault(filepath));
    if (path && std::strlen(PyBytes_AS_STRING(path.get())) !=
                    static_cast<size_t>(PyBytes_GET_SIZE(path.get()))) {
        PyErr_SetString(PyExc_ValueError, "embedded null character");
        return nullptr;
    }
    return path.release();
}

PyObject* _write_unified_data_impl(PyObject* data, PyObject* filepath, int escape_strings) {
    // Refused before the document's own code runs for nothing.
    if (!PyUnicode_Check(filepath)) {
        PyErr_BadArgument();
        INK_FAIL("_write_unified_data_impl");
        return nullptr;
    }
    c_unified_data::CUnifiedData c_data{};
    int status = -1;
    Ref path;
    if (take_snapshot(data, &c_data) == 0 && (path = Ref(encode_path(filepath)))) {
        status = write_document(&c_data, PyBytes_AS_STRING(path.get()), filepath, escape_strings);
    }
    c_unified_data::free_unified_data(&c_data);
    if (status < 0) {
        INK_FAIL("_write_unified_data_impl");
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace wrenfold::inkwright
