// The work behind the two entry points: the snapshot, the buffer, then a str or a file.
#include "inkwright.hpp"

#include <cstring>

#include <wrenfold/_cpp/common/args.hpp>
#include <wrenfold/_cpp/common/ref.hpp>

namespace wrenfold::inkwright {

using common::Ref;

namespace {

PyObject* str_tuple_output;  // interned

// The document's (version, schema_version, TablesHolder), new reference.
PyObject* read_tuple_output(PyObject* data) {
    Ref out(PyObject_GetAttr(data, str_tuple_output));
    if (out && !PyTuple_CheckExact(out.get())) {
        common::raise_expected("tuple", Py_TYPE(out.get())->tp_name);
        return nullptr;
    }
    return out.release();
}

// The snapshot and a buffer sized for it. The caller frees both, on failure too.
int snapshot_and_buffer(PyObject* tuple_output, c_unified_data::CUnifiedData* c_data,
                        Buffer** buf) {
    *c_data = c_unified_data::dump_model(tuple_output);
    if (PyErr_Occurred()) {
        return -1;
    }
    *buf = new_document_buffer(c_data);
    if (*buf == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
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
    Buffer* buf = nullptr;
    TextRuns runs{};
    PyObject* result = nullptr;
    Ref tuple_output(read_tuple_output(data));
    if (!tuple_output || snapshot_and_buffer(tuple_output.get(), &c_data, &buf) < 0) {
        goto done;
    }
    buf->grow = grow_into_str;
    buf->text_runs = &runs;
    if (_encode_to_buffer(&c_data, buf, escape_strings) < 0) {
        goto done;
    }
    result = buffer_to_str(buf);

done:
    c_unified_data::free_unified_data(&c_data);
    release_buffer(buf);
    release_runs(&runs);
    if (result == nullptr) {
        INK_FAIL("_encode_unified_data_impl");
    }
    return result;
}

PyObject* _write_unified_data_impl(PyObject* data, PyObject* filepath, int escape_strings) {
    c_unified_data::CUnifiedData c_data{};
    Buffer* buf = nullptr;
    int status = -1;
    const char* path;
    Py_ssize_t path_size;
    Ref tuple_output(read_tuple_output(data));
    if (!tuple_output || snapshot_and_buffer(tuple_output.get(), &c_data, &buf) < 0) {
        goto done;
    }
    // Refuses None; a NUL would silently cut the path short.
    if ((path = PyUnicode_AsUTF8AndSize(filepath, &path_size)) == nullptr) {
        goto done;
    }
    if (std::strlen(path) != static_cast<size_t>(path_size)) {
        PyErr_SetString(PyExc_ValueError, "embedded null character");
        goto done;
    }
    // The whole document is built before the file system is touched.
    if (_encode_to_buffer(&c_data, buf, escape_strings) < 0) {
        goto done;
    }
    status = write_file(path, filepath, buf->data, buf->pos);

done:
    c_unified_data::free_unified_data(&c_data);
    common::buf_free(buf);
    if (status < 0) {
        INK_FAIL("_write_unified_data_impl");
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace wrenfold::inkwright
