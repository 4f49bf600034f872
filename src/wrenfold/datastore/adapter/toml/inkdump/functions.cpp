// dumps and dump, with the signatures and argument messages of tomli_w's.
#include <wrenfold/_cpp/common/args.hpp>
#include <wrenfold/_cpp/common/ref.hpp>
#include <wrenfold/_cpp/common/str_block.hpp>
#include <wrenfold/_cpp/common/traceback.hpp>
#include <wrenfold/_cpp/common/utf8_str.hpp>

#include "inkdump.hpp"

namespace wrenfold::inkdump {

using common::Ref;

namespace {

PyObject* str_multiline_strings;
PyObject* str_indent;

// The options of one call: the truth of multiline_strings, and indent as tomli_w uses it
// (compared with 0, then repeating " ").
struct Options {
    PyObject* multiline = Py_False;
    PyObject* indent = nullptr;
};

// f(obj[, fp], /, *, multiline_strings=False, indent=4), with the messages Python gives for
// such a signature.
int parse_call(const char* fname, Py_ssize_t npos, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, Options* opts) {
    static const char* const kPositional[] = {"obj", "fp"};
    if (nargs > npos) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd were given",
                     fname, npos, npos == 1 ? "" : "s", nargs);
        return -1;
    }
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; i++) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        if (key == str_multiline_strings || PyUnicode_Compare(key, str_multiline_strings) == 0) {
            opts->multiline = args[nargs + i];
            continue;
        }
        if (key == str_indent || PyUnicode_Compare(key, str_indent) == 0) {
            opts->indent = args[nargs + i];
            continue;
        }
        // Python names every positional-only parameter given by keyword, else this one.
        Ref named(PyList_New(0));
        for (Py_ssize_t j = 0; named && j < nkw; j++) {
            PyObject* k = PyTuple_GET_ITEM(kwnames, j);
            for (Py_ssize_t p = 0; p < npos; p++) {
                if (PyUnicode_CompareWithASCIIString(k, kPositional[p]) == 0 &&
                    PyList_Append(named.get(), k) < 0) {
                    return -1;
                }
            }
        }
        if (!named) {
            return -1;
        }
        if (PyList_GET_SIZE(named.get()) == 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname,
                         key);
            return -1;
        }
        Ref sep(PyUnicode_FromString(", "));
        Ref joined(sep ? PyUnicode_Join(sep.get(), named.get()) : nullptr);
        if (joined) {
            PyErr_Format(PyExc_TypeError,
                         "%s() got some positional-only arguments passed as keyword arguments: "
                         "'%U'",
                         fname, joined.get());
        }
        return -1;
    }
    if (nargs < npos) {
        const Py_ssize_t missing = npos - nargs;
        if (missing == 2) {
            PyErr_Format(PyExc_TypeError,
                         "%s() missing 2 required positional arguments: 'obj' and 'fp'", fname);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: '%s'",
                         fname, kPositional[npos - 1]);
        }
        return -1;
    }
    return 0;
}

// The two texts of one call. The document grows inside the str that dumps returns.
struct Texts {
    Text doc{1 << 20, true};
    Text name{256, false};
};

// The document as UTF-8 in `out->doc`: 0, or -1 with an exception set.
int render(PyObject* obj, const Options& opts, Texts* out) {
    if (!out->doc.ok() || !out->name.ok()) {
        return no_room();
    }
    Ref indent_str;
    if (opts.indent != nullptr) {
        Ref zero(PyLong_FromLong(0));
        const int negative = zero ? PyObject_RichCompareBool(opts.indent, zero.get(), Py_LT) : -1;
        if (negative != 0) {
            if (negative > 0) {
                PyErr_SetString(PyExc_ValueError, "Indent width must be non-negative");
            }
            return -1;
        }
        Ref space(PyUnicode_FromString(" "));
        indent_str = Ref(space ? PyNumber_Multiply(space.get(), opts.indent) : nullptr);
        if (!indent_str) {
            return -1;
        }
    }
    const int multiline = common::truth(opts.multiline);
    if (multiline < 0) {
        return -1;
    }
    KeyMemo keys;
    Writer w{&out->doc, &out->name, multiline != 0, "    ", 4, &keys};
    if (indent_str) {
        Py_ssize_t n;
        w.indent = PyUnicode_AsUTF8AndSize(indent_str.get(), &n);
        w.indent_len = static_cast<size_t>(n);
    }
    // Held: called code may drop the caller's other references.
    Ref held = Ref::borrow(obj);
    return write_document(w, obj);
}

PyObject* dumps(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Options opts;
    if (parse_call("dumps", 1, args, nargs, kwnames, &opts) < 0) {
        return nullptr;
    }
    Texts texts;
    if (render(args[0], opts, &texts) < 0) {
        WF_TRACEBACK(WF_DUMP "dumps");
        return nullptr;
    }
    return texts.doc.take_str();
}

PyObject* dump(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Options opts;
    if (parse_call("dump", 2, args, nargs, kwnames, &opts) < 0) {
        return nullptr;
    }
    Ref fp = Ref::borrow(args[1]);
    Texts texts;
    if (render(args[0], opts, &texts) < 0) {
        WF_TRACEBACK(WF_DUMP "dump");
        return nullptr;
    }
    Ref data(
        PyBytes_FromStringAndSize(texts.doc.data(), static_cast<Py_ssize_t>(texts.doc.size())));
    Ref written(data ? PyObject_CallMethodOneArg(fp.get(), bound.str_write, data.get()) : nullptr);
    if (!written) {
        WF_TRACEBACK(WF_DUMP "dump");
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace

// The document starts inside the str it becomes, which a text of ASCII then is with no copy.
Text::Text(size_t first, bool into_str) : buf_{nullptr, 0, first}, into_str_(into_str) {
    if (!into_str) {
        buf_.data = static_cast<char*>(std::malloc(first));
        return;
    }
    buf_.data = common::new_str_block(first, &str_);  // null: ok() is false
}

Text::~Text() {
    if (str_ != nullptr) {
        Py_DECREF(str_);  // the block is its data
    } else {
        std::free(buf_.data);
    }
}

bool Text::grow(size_t n) {
    return common::detail::grow_with(&buf_, n, [this](size_t capacity) {
        return into_str_ ? common::grow_into_str(&buf_, &str_, capacity)
                         : static_cast<char*>(std::realloc(buf_.data, capacity));
    });
}

PyObject* Text::take_str() {
    if (ascii) {
        return common::take_ascii_str(&buf_, &str_);
    }
    // Well-formed: ASCII and the interpreter's UTF-8 of strs.
    const common::Utf8Shape shape = common::utf8_shape(buf_.data, buf_.pos, true);
    common::keep_in_heap(shape.chars, shape.max_char);
    return common::str_of_utf8(buf_.data, buf_.pos, shape, true);
}

int intern_names() {
    str_multiline_strings = PyUnicode_InternFromString("multiline_strings");
    str_indent = PyUnicode_InternFromString("indent");
    bound.str_items = PyUnicode_InternFromString("items");
    bound.str_utcoffset = PyUnicode_InternFromString("utcoffset");
    bound.str_write = PyUnicode_InternFromString("write");
    return str_multiline_strings && str_indent && bound.str_items && bound.str_utcoffset &&
                   bound.str_write
               ? 0
               : -1;
}

PyMethodDef module_functions[] = {
    {"dumps", WF_FASTCALL(dumps), METH_FASTCALL | METH_KEYWORDS,
     "dumps($module, obj, /, *, multiline_strings=False, indent=4)\n--\n\n"
     "Write a mapping as a TOML document, as tomli_w.dumps does."},
    {"dump", WF_FASTCALL(dump), METH_FASTCALL | METH_KEYWORDS,
     "dump($module, obj, fp, /, *, multiline_strings=False, indent=4)\n--\n\n"
     "Write a mapping as a TOML document to a binary file object, as tomli_w.dump does."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace wrenfold::inkdump
