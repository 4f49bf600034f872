// The module `wrenfold.datastore.adapter.toml.inkwright`: its two entry points and its
// initialisation, which binds it to ledgerbox and to the runtime module.
#include "inkwright.hpp"

#include <algorithm>
#include <cassert>
#include <cstring>

#include <wrenfold/_cpp/common/args.hpp>
#include <wrenfold/_cpp/common/compat.hpp>
#include <wrenfold/_cpp/common/module.hpp>
#include <wrenfold/_cpp/common/ref.hpp>

namespace wrenfold::inkwright {

using c_unified_data::bound;
using common::Params;
using common::Ref;

int fail(const char* qualname, const char* file, int line) {
    common::add_traceback(qualname, file, line);
    return -1;
}

int no_memory(const char* qualname, const char* file, int line) {
    PyErr_NoMemory();
    common::add_traceback(qualname, file, line);
    return -1;
}

namespace {

PyObject* str_tuple_output;  // interned

// Bound from ledgerbox, not read.
Py_ssize_t* ledgerbox_ZERO;
Py_ssize_t* ledgerbox_ONE;
Py_ssize_t* ledgerbox_TWO;

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

// Growth of an encode's buffer past its first block goes into the str the encode returns.
// Documents that outgrow the first block are mostly large, and glibc serves large blocks
// with fresh pages: written straight into the result, they need no second block of their
// size and no final copy (27% less time at 200,000 records).
char* grow_into_str(Buffer* buf, size_t capacity) {
    PyObject* block = static_cast<PyObject*>(buf->owner);
    if (block == nullptr) {
        block = PyUnicode_New(static_cast<Py_ssize_t>(capacity), 0x7F);
        if (block == nullptr) {
            PyErr_Clear();  // the writer reports MemoryError
            return nullptr;
        }
        std::memcpy(PyUnicode_DATA(block), buf->data, buf->pos);
        std::free(buf->data);
    } else if (PyUnicode_Resize(&block, static_cast<Py_ssize_t>(capacity)) < 0) {
        PyErr_Clear();  // `block` is left as it was
        return nullptr;
    }
    buf->owner = block;
    return static_cast<char*>(PyUnicode_DATA(block));
}

// The characters of `in`, with the TOML escapes when `Escape`.
template <bool Escape, class Out, class In>
Out* copy_units(Out* out, const In* in, size_t n) {
    for (size_t i = 0; i < n; i++) {
        const uint32_t c = in[i];
        if (Escape && c < 0x80 && common::detail::kEscape.cls[c] != 0) {
            char text[common::detail::kMaxEscapeLen];
            const char* end = common::detail::put_escape(text, static_cast<unsigned char>(c),
                                                         common::detail::kEscape.cls[c]);
            for (const char* p = text; p < end; p++) {
                *out++ = static_cast<Out>(*p);
            }
        } else {
            *out++ = static_cast<Out>(c);
        }
    }
    return out;
}

template <bool Escape, class Out>
Out* copy_text(Out* out, PyObject* text) {
    const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND: return copy_units<Escape>(out, PyUnicode_1BYTE_DATA(text), n);
        case PyUnicode_2BYTE_KIND: return copy_units<Escape>(out, PyUnicode_2BYTE_DATA(text), n);
        default: return copy_units<Escape>(out, PyUnicode_4BYTE_DATA(text), n);
    }
}

// The ASCII bytes between the noted texts, widened; false if one is not ASCII after all.
template <class Out>
bool copy_ascii(Out* out, const char* in, size_t n) {
    unsigned char seen = 0;
    for (size_t i = 0; i < n; i++) {
        seen |= static_cast<unsigned char>(in[i]);
        out[i] = static_cast<Out>(static_cast<unsigned char>(in[i]));
    }
    return seen < 0x80;
}

// Fills the `chars` code units at `out`.
template <class Out>
bool assemble(Out* out, size_t chars, const Buffer* buf, const TextRuns* runs) {
    Out* const end = out + chars;
    size_t at = 0;
    for (size_t i = 0; i < runs->count; i++) {
        const TextRun& run = runs->items[i];
        if (!copy_ascii(out, buf->data + at, run.pos - at)) {
            return false;
        }
        out += run.pos - at;
        out = run.extra > 0 ? copy_text<true>(out, run.text) : copy_text<false>(out, run.text);
        at = run.pos;
    }
    const bool ascii = copy_ascii(out, buf->data + at, buf->pos - at);
    assert(out + (buf->pos - at) == end);
    (void)end;
    return ascii;
}

// The text of an encode that noted text which is not ASCII: the ASCII of the buffer with
// the noted texts' characters put in their places.
PyObject* str_from_runs(const Buffer* buf, const TextRuns* runs) {
    size_t chars = buf->pos;
    Py_UCS4 max_char = 0x7F;
    for (size_t i = 0; i < runs->count; i++) {
        const TextRun& run = runs->items[i];
        chars += static_cast<size_t>(PyUnicode_GET_LENGTH(run.text)) + run.extra;
        max_char = std::max(max_char, PyUnicode_MAX_CHAR_VALUE(run.text));
    }
    Ref result(PyUnicode_New(static_cast<Py_ssize_t>(chars), max_char));
    if (!result) {
        return nullptr;
    }
    bool ok;
    switch (PyUnicode_KIND(result.get())) {
        case PyUnicode_1BYTE_KIND:
            ok = assemble(PyUnicode_1BYTE_DATA(result.get()), chars, buf, runs);
            break;
        case PyUnicode_2BYTE_KIND:
            ok = assemble(PyUnicode_2BYTE_DATA(result.get()), chars, buf, runs);
            break;
        default: ok = assemble(PyUnicode_4BYTE_DATA(result.get()), chars, buf, runs);
    }
    if (!ok) {
        // Some writer put text that is not ASCII into the buffer without noting it.
        PyErr_SetString(PyExc_SystemError, "inkwright: text that is not ASCII was not noted");
        return nullptr;
    }
    return result.release();
}

// The buffer's text as a new str. ASCII text is already the str's data, and a buffer that
// grew into a str is trimmed and handed out as it is.
PyObject* buffer_to_str(Buffer* buf) {
    const Py_ssize_t size = static_cast<Py_ssize_t>(buf->pos);
    if (!buf->ascii) {
        return str_from_runs(buf, static_cast<const TextRuns*>(buf->text_runs));
    }
    assert(std::all_of(buf->data, buf->data + size, [](char c) { return c >= 0; }));
    if (buf->owner != nullptr) {
        PyObject* block = static_cast<PyObject*>(buf->owner);
        if (PyUnicode_Resize(&block, size) < 0) {
            return nullptr;  // still the buffer's, released with it
        }
        buf->owner = nullptr;
        buf->data = nullptr;
        return block;
    }
    PyObject* result = PyUnicode_New(size, 0x7F);
    if (result != nullptr) {
        std::memcpy(PyUnicode_DATA(result), buf->data, buf->pos);
    }
    return result;
}

void release_buffer(Buffer* buf) {
    if (buf != nullptr) {
        Py_XDECREF(static_cast<PyObject*>(buf->owner));
        common::buf_free(buf);
    }
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

// The holder type, checked against our declaration of its instance record.
int bind_holder_type(PyObject* ledgerbox) {
    const char* modname = ledgerbox::kModuleName;
    Ref type(PyObject_GetAttrString(ledgerbox, ledgerbox::kTypeName));
    if (!type) {
        return -1;
    }
    if (!PyType_Check(type.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", modname,
                     ledgerbox::kTypeName);
        return -1;
    }
    PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(type.get());
    const Py_ssize_t expected = sizeof(ledgerbox::TablesHolderObject);
    if (tp->tp_basicsize < expected) {
        PyErr_Format(PyExc_ValueError,
                     "%.200s.%.200s size changed, may indicate binary incompatibility. Expected "
                     "%zd from C header, got %zd from PyObject",
                     modname, ledgerbox::kTypeName, expected, tp->tp_basicsize);
        return -1;
    }
    if (tp->tp_basicsize > expected &&
        PyErr_WarnFormat(PyExc_RuntimeWarning, 0,
                         "%.200s.%.200s size changed, may indicate binary incompatibility. "
                         "Expected %zd from C header, got %zd from PyObject",
                         modname, ledgerbox::kTypeName, expected, tp->tp_basicsize) < 0) {
        return -1;
    }
#if PY_VERSION_HEX >= 0x030C0000
    Ref type_dict(PyType_GetDict(tp));
#else
    Ref type_dict = Ref::borrow(tp->tp_dict);
#endif
    Ref key(PyUnicode_FromString(ledgerbox::kVTableKey));
    if (!type_dict || !key) {
        return -1;
    }
    Ref capsule(PyObject_GetItem(type_dict.get(), key.get()));  // KeyError when missing
    if (!capsule) {
        return -1;
    }
    void* vtable = PyCapsule_GetPointer(capsule.get(), nullptr);
    if (vtable == nullptr) {
        PyErr_Clear();
        PyErr_SetString(PyExc_RuntimeError, "invalid vtable found for imported type");
        return -1;
    }
    // Kept for good; a retried import after a failed one replaces it.
    Py_XSETREF(bound.holder_type, reinterpret_cast<PyTypeObject*>(type.release()));
    bound.holder_vtable = static_cast<ledgerbox::TablesHolderVTable*>(vtable);
    return 0;
}

template <class T>
int bind_variable(PyObject* module, const char* name, T** addr, const char* type) {
    void* p;
    if (common::import_variable(module, name, &p, type) < 0) {
        return -1;
    }
    *addr = static_cast<T*>(p);
    return 0;
}

int initialise(PyObject* module) {
    if (publish_tokens(module) < 0) {
        return -1;
    }
    Ref ledgerbox(PyImport_ImportModule(ledgerbox::kModuleName));
    if (!ledgerbox || bind_holder_type(ledgerbox.get()) < 0 ||
        bind_variable(ledgerbox.get(), "ONE", &ledgerbox_ONE, ledgerbox::kSsizeCapsule) < 0 ||
        bind_variable(ledgerbox.get(), "TWO", &ledgerbox_TWO, ledgerbox::kSsizeCapsule) < 0 ||
        bind_variable(ledgerbox.get(), "ZERO", &ledgerbox_ZERO, ledgerbox::kSsizeCapsule) < 0) {
        return -1;
    }
    const char* const_ssize = "Py_ssize_t const ";
    Ref runtime(PyImport_ImportModule("wrenfold.datastore.c_unified_data"));
    if (!runtime || bind_variable(runtime.get(), "ONE", &bound.ONE, const_ssize) < 0 ||
        bind_variable(runtime.get(), "TWO", &bound.TWO, const_ssize) < 0 ||
        bind_variable(runtime.get(), "ZERO", &bound.ZERO, const_ssize) < 0) {
        return -1;
    }
    // Every snapshot loop counts with these: anything else would never end or skip items.
    if (*bound.ZERO != 0 || *bound.ONE != 1) {
        PyErr_SetString(PyExc_ImportError,
                        "wrenfold.datastore.c_unified_data exports unexpected values of ZERO "
                        "and ONE");
        return -1;
    }
    if ((bound.tuple_values == nullptr &&
         (bound.tuple_values = PyUnicode_InternFromString("tuple_values")) == nullptr) ||
        (str_tuple_output == nullptr &&
         (str_tuple_output = PyUnicode_InternFromString("tuple_output")) == nullptr)) {
        return -1;
    }
    assign_tokens();
    return PyModule_AddFunctions(module, module_functions);
}

common::ModuleState state = {"inkwright", "init wrenfold.datastore.adapter.toml.inkwright",
                             initialise};

PyModuleDef moduledef = {
    PyModuleDef_HEAD_INIT,
    "inkwright",
    "Fast encoder of UnifiedDataFormat into TOML.\n\n"
    "Writes the document directly: multiline arrays for columns and records, an inline table\n"
    "{k = v, ...} for each entry, and proper TOML string escaping.",
    0,
    nullptr,
    common::module_slots<state>,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace wrenfold::inkwright

PyMODINIT_FUNC PyInit_inkwright(void) {
    return PyModuleDef_Init(&wrenfold::inkwright::moduledef);
}
