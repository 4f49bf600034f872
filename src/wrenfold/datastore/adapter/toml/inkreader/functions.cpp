// The Python-visible functions, with the argument rules of tomllib's loads and load.
#include <wrenfold/_cpp/common/args.hpp>
#include <wrenfold/_cpp/common/traceback.hpp>

#include <cstring>
#include <exception>
#include <memory>
#include <new>

#include "inkreader.hpp"
#include "units.hpp"
#include "utf8.hpp"
#include "vec.hpp"

#define WF_READER "wrenfold.datastore.adapter.toml.inkreader."

namespace wrenfold::inkreader {

namespace {

PyObject* str_parse_float;  // interned
PyObject* str_read;
PyObject* str_decode;

// f(first, /, *, parse_float=float), with the messages Python gives for such a signature.
// `*parse_float` is null for the built-in float.
int parse_call(const char* fname, const char* first, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, PyObject** parse_float) {
    *parse_float = nullptr;
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; i++) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        if (key == str_parse_float || PyUnicode_Compare(key, str_parse_float) == 0) {
            *parse_float = args[nargs + i];
        } else if (PyUnicode_CompareWithASCIIString(key, first) == 0) {
            PyErr_Format(PyExc_TypeError,
                         "%s() got some positional-only arguments passed as keyword arguments: "
                         "'%s'",
                         fname, first);
            return -1;
        } else {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname,
                         key);
            return -1;
        }
    }
    if (nargs != 1) {
        if (nargs == 0) {
            PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: '%s'",
                         fname, first);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() takes 1 positional argument but %zd were given",
                         fname, nargs);
        }
        return -1;
    }
    if (*parse_float == reinterpret_cast<PyObject*>(&PyFloat_Type)) {
        *parse_float = nullptr;  // read here, without a call per float
    }
    return 0;
}

struct FreeRaw {
    void operator()(char* p) const {
        PyMem_RawFree(p);
    }
};

// Runs `read`, which parses with the reader's containers: no C++ exception may unwind into
// the interpreter. An allocation that failed is MemoryError; anything else, a fault of ours.
template <class Read>
PyObject* without_cpp_exceptions(Read read) {
    try {
        return read();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "inkreader: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "inkreader: an unknown C++ exception");
    }
    return nullptr;
}

PyObject* expected_str(PyObject* s) {
    Ref name(PyType_GetQualName(Py_TYPE(s)));
    if (name) {
        PyErr_Format(PyExc_TypeError, "Expected str object, not '%U'", name.get());
    }
    return nullptr;
}

PyObject* loads(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* parse_float;
    if (parse_call("loads", "s", args, nargs, kwnames, &parse_float) < 0) {
        return nullptr;
    }
    if (!PyUnicode_Check(args[0])) {
        return expected_str(args[0]);
    }
    PyObject* result =
        without_cpp_exceptions([&] { return parse_str(args[0], parse_float, false); });
    if (result == nullptr) {
        WF_TRACEBACK(WF_READER "loads");
    }
    return result;
}

// What tomllib's load does with what fp.read() returns: bytes are read here directly,
// anything else must decode to a str.
PyObject* read_file(PyObject* fp, PyObject* parse_float, bool null_in_arrays) {
    Ref data(PyObject_CallMethodNoArgs(fp, str_read));
    if (!data) {
        return nullptr;
    }
    if (PyBytes_CheckExact(data.get())) {
        return parse_bytes(data.get(), parse_float, null_in_arrays);
    }
    Ref text(PyObject_CallMethodNoArgs(data.get(), str_decode));
    if (!text) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_SetString(PyExc_TypeError,
                            "File must be opened in binary mode, e.g. use `open('foo.toml', "
                            "'rb')`");
        }
        return nullptr;
    }
    if (!PyUnicode_Check(text.get())) {
        return expected_str(text.get());
    }
    return parse_str(text.get(), parse_float, null_in_arrays);
}

PyObject* load(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* parse_float;
    if (parse_call("load", "fp", args, nargs, kwnames, &parse_float) < 0) {
        return nullptr;
    }
    PyObject* result =
        without_cpp_exceptions([&] { return read_file(args[0], parse_float, false); });
    if (result == nullptr) {
        WF_TRACEBACK(WF_READER "load");
    }
    return result;
}

// The reader of the unified data format: null stands for None inside arrays.
PyObject* loads_document(PyObject*, PyObject* arg) {
    PyObject* result = PyUnicode_Check(arg)
                           ? without_cpp_exceptions([&] { return parse_str(arg, nullptr, true); })
                       : PyBytes_CheckExact(arg)
                           ? without_cpp_exceptions([&] { return parse_bytes(arg, nullptr, true); })
                           : (PyErr_Format(PyExc_TypeError, "Expected str or bytes, got %.200s",
                                           Py_TYPE(arg)->tp_name),
                              nullptr);
    if (result == nullptr) {
        WF_TRACEBACK(WF_READER "_loads_document");
    }
    return result;
}

// Which loops read text: the scalar ones when `flag` is true; returns the earlier choice.
PyObject* scalar_text(PyObject*, PyObject* flag) {
    const int scalar = PyObject_IsTrue(flag);
    if (scalar < 0) {
        return nullptr;
    }
    const bool was = vec::scalar_text;
    vec::scalar_text = scalar != 0;
    return PyBool_FromLong(was);
}

// Which loops read text now: their instruction set, None for the scalar ones.
PyObject* vector_paths(PyObject*, PyObject*) {
    return Py_BuildValue("{sz}", "text", vec::text_isa());
}

#ifdef WRENFOLD_FAULT_INJECTION
// Makes the `n`-th allocation from now of the reader's containers fail (0: none); returns None.
PyObject* fail_allocation(PyObject*, PyObject* n) {
    const long count = PyLong_AsLong(n);
    if (count == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    fail_countdown = count;
    Py_RETURN_NONE;
}
#endif

}  // namespace

PyObject* parse_str(PyObject* text, PyObject* parse_float, bool null_in_arrays) {
    const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
    const int kind = PyUnicode_KIND(text);
    // ASCII and Latin-1 units are one byte per character already; wider ones are made so for
    // the parse only (units.hpp).
    if (kind == PyUnicode_1BYTE_KIND) {
        Parser parser(static_cast<const char*>(PyUnicode_DATA(text)), n, text, nullptr, parse_float,
                      null_in_arrays);
        return parser.parse();
    }
    std::unique_ptr<char, FreeRaw> bytes(static_cast<char*>(PyMem_RawMalloc(n)));
    if (!bytes) {
        return PyErr_NoMemory();
    }
    auto* out = reinterpret_cast<unsigned char*>(bytes.get());
    const void* data = PyUnicode_DATA(text);
    if (kind == PyUnicode_2BYTE_KIND ? units_to_bytes(out, static_cast<const Py_UCS2*>(data), n)
                                     : units_to_bytes(out, static_cast<const Py_UCS4*>(data), n)) {
        Parser parser(bytes.get(), n, text, nullptr, parse_float, null_in_arrays);
        return parser.parse();
    }
    // A lone surrogate, which the codec refuses with its own UnicodeEncodeError.
    Ref encoded(PyUnicode_AsUTF8String(text));
    if (!encoded) {
        return nullptr;
    }
    // Read as bytes are, the strings decoded from them.
    Parser parser(PyBytes_AS_STRING(encoded.get()),
                  static_cast<size_t>(PyBytes_GET_SIZE(encoded.get())), nullptr, nullptr,
                  parse_float, null_in_arrays);
    return parser.parse();
}

PyObject* parse_bytes(PyObject* data, PyObject* parse_float, bool null_in_arrays) {
    const char* s = PyBytes_AS_STRING(data);
    const size_t n = static_cast<size_t>(PyBytes_GET_SIZE(data));
    if (utf8_valid_prefix(reinterpret_cast<const unsigned char*>(s), n) != n) {
        // The decoder raises the UnicodeDecodeError that bytes.decode() would.
        Ref text(PyUnicode_DecodeUTF8(s, static_cast<Py_ssize_t>(n), "strict"));
        if (text) {
            return parse_str(text.get(), parse_float, null_in_arrays);
        }
        return nullptr;
    }
    Parser parser(s, n, nullptr, data, parse_float, null_in_arrays);
    return parser.parse();
}

int intern_function_names() {
    str_parse_float = PyUnicode_InternFromString("parse_float");
    str_read = PyUnicode_InternFromString("read");
    str_decode = PyUnicode_InternFromString("decode");
    return str_parse_float && str_read && str_decode ? 0 : -1;
}

PyMethodDef module_functions[] = {
    {"loads", WF_FASTCALL(loads), METH_FASTCALL | METH_KEYWORDS,
     "loads($module, s, /, *, parse_float=float)\n--\n\n"
     "Parse TOML from a string, as tomllib.loads does."},
    {"load", WF_FASTCALL(load), METH_FASTCALL | METH_KEYWORDS,
     "load($module, fp, /, *, parse_float=float)\n--\n\n"
     "Parse TOML from a binary file object, as tomllib.load does."},
    {"_loads_document", loads_document, METH_O,
     "_loads_document($module, text, /)\n--\n\n"
     "Parse a saved document (str or bytes), reading null inside arrays as None."},
    {"_scalar_text", scalar_text, METH_O,
     "_scalar_text($module, flag, /)\n--\n\n"
     "Read text with the scalar loops when flag is true (for tests); returns the earlier choice."},
    {"_vector_paths", vector_paths, METH_NOARGS,
     "_vector_paths($module, /)\n--\n\n"
     "The instruction set of the loops that read text now ('text'); None if scalar."},
#ifdef WRENFOLD_FAULT_INJECTION
    {"_fail_allocation", fail_allocation, METH_O,
     "_fail_allocation($module, n, /)\n--\n\n"
     "Make the n-th allocation from now of the reader's containers fail (0: none), for tests."},
#endif
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace wrenfold::inkreader
