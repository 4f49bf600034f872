// Tables as tomli_w lays them out: a table's plain values first, under its header, then its
// sub-tables and arrays of tables, each a section of its own.
#include <cstdlib>
#include <cstring>
#include <utility>

#include <wrenfold/_cpp/common/dict_entries.hpp>
#include <wrenfold/_cpp/common/ref.hpp>
#include <wrenfold/_cpp/common/utf8.hpp>

#include "items.hpp"

namespace wrenfold::inkdump {

using common::Ref;

namespace {

// The longest line an array of tables may take as one line of inline tables.
constexpr size_t kMaxLineLength = 100;

// The sections that follow a table's plain values, held until they are written.
class Sections {
public:
    struct Section {
        PyObject* key;
        PyObject* value;  // a Mapping, or for an array of tables a tuple of them
        bool array;
    };

    Sections() = default;
    Sections(const Sections&) = delete;
    Sections& operator=(const Sections&) = delete;
    ~Sections() {
        for (size_t i = 0; i < count_; i++) {
            Py_DECREF(items_[i].key);
            Py_DECREF(items_[i].value);
        }
        if (items_ != inline_) {
            std::free(items_);
        }
    }

    // Takes a reference to `key` and steals `value`. -1 with MemoryError.
    int add(PyObject* key, Ref value, bool array) {
        if (count_ == capacity_) {
            const size_t capacity = capacity_ * 2;
            auto* grown = static_cast<Section*>(std::malloc(capacity * sizeof(Section)));
            if (grown == nullptr) {
                return no_room();
            }
            std::memcpy(grown, items_, count_ * sizeof(Section));
            if (items_ != inline_) {
                std::free(items_);
            }
            items_ = grown;
            capacity_ = capacity;
        }
        items_[count_++] = {Py_NewRef(key), value.release(), array};
        return 0;
    }

    size_t size() const {
        return count_;
    }
    const Section& operator[](size_t i) const {
        return items_[i];
    }

private:
    Section inline_[4];
    Section* items_ = inline_;
    size_t count_ = 0;
    size_t capacity_ = 4;
};

// Whether `t` fits one line as an inline table, with its indent and comma, and has no line
// break: written at the end of the document and taken back.
Answer fits_inline(Writer& w, PyObject* t) {
    Text* doc = w.doc;
    const size_t start = doc->size();
    const bool ascii = doc->ascii;
    if (!doc->write(w.indent, w.indent_len)) {
        no_room();
        return Answer::kFailed;
    }
    if (write_inline_table(w, t) < 0) {
        return Answer::kFailed;
    }
    const auto* text = reinterpret_cast<const unsigned char*>(doc->data() + start);
    const size_t n = doc->size() - start;
    const bool fits = common::utf8_count_chars(text, n) + 1 <= kMaxLineLength &&
                      std::memchr(text, '\n', n) == nullptr;
    doc->cut(start);
    doc->ascii = ascii;
    return fits ? Answer::kYes : Answer::kNo;
}

// Whether the list or tuple `v` becomes sections, with the tables in `*tables`: a non-empty
// one of Mappings that is not written as one array of inline tables.
Answer array_of_tables(Writer& w, PyObject* v, Ref* tables) {
    const Py_ssize_t n = PyList_Check(v) ? PyList_GET_SIZE(v) : PyTuple_GET_SIZE(v);
    if (n == 0) {
        return Answer::kNo;
    }
    {
        // A first item that is no Mapping settles it without a copy: tags, numbers.
        Ref first = Ref::borrow(PyList_Check(v) ? PyList_GET_ITEM(v, 0) : PyTuple_GET_ITEM(v, 0));
        const Answer mapping = is_mapping(w, first.get());
        if (mapping != Answer::kYes) {
            return mapping;
        }
    }
    // A copy that called code cannot change.
    Ref items(PySequence_Tuple(v));
    if (!items) {
        return Answer::kFailed;
    }
    const Py_ssize_t count = PyTuple_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < count; i++) {
        const Answer mapping = is_mapping(w, PyTuple_GET_ITEM(items.get(), i));
        if (mapping != Answer::kYes) {
            return mapping;
        }
    }
    for (Py_ssize_t i = 0; i < count; i++) {
        const Answer fits = fits_inline(w, PyTuple_GET_ITEM(items.get(), i));
        if (fits != Answer::kYes) {
            if (fits == Answer::kNo) {
                *tables = std::move(items);
            }
            return fits == Answer::kFailed ? Answer::kFailed : Answer::kYes;
        }
    }
    return Answer::kNo;
}

int write_name(Writer& w) {
    if (!w.name->ascii) {
        w.doc->ascii = false;
    }
    return w.doc->write(w.name->data(), w.name->size()) ? 0 : no_room();
}

int write_table(Writer& w, PyObject* table, bool array_item);

// Whether `value` is written as a section rather than on a line of its table: then added to
// `sections`. Out of line: most values are scalars, and the line writer stays small.
[[gnu::noinline]] Answer add_section(Writer& w, Sections* sections, PyObject* key,
                                     PyObject* value) {
    Ref tables;
    bool array = false;
    Answer section = is_mapping(w, value);
    if (section == Answer::kYes) {
        tables = Ref::borrow(value);
    } else if (section == Answer::kNo && (PyList_Check(value) || PyTuple_Check(value))) {
        section = array_of_tables(w, value, &tables);
        array = true;
    }
    if (section == Answer::kYes && sections->add(key, std::move(tables), array) < 0) {
        return Answer::kFailed;
    }
    return section;
}

// One sub-table or array of tables, its name the current one and `key`.
int write_section(Writer& w, const Sections::Section& s, bool* yielded) {
    const size_t name_len = w.name->size();
    const bool name_ascii = w.name->ascii;
    if ((name_len > 0 && !w.name->write(".", 1))) {
        return no_room();
    }
    int status = write_key(w.name, s.key);
    const Py_ssize_t n = s.array ? PyTuple_GET_SIZE(s.value) : 1;
    for (Py_ssize_t i = 0; status == 0 && i < n; i++) {
        if (*yielded && !w.doc->write("\n", 1)) {
            return no_room();
        }
        *yielded = true;
        if (s.array && i + 2 < n) {
            // Records lie scattered through memory: ask for the next but one now.
            common::detail::prefetch_object(PyTuple_GET_ITEM(s.value, i + 2));
        }
        status = write_table(w, s.array ? PyTuple_GET_ITEM(s.value, i) : s.value, s.array);
    }
    w.name->cut(name_len);
    w.name->ascii = name_ascii;
    return status;
}

int write_table(Writer& w, PyObject* table, bool array_item) {
    Nesting guard(w, " while writing a TOML table");
    if (!guard.entered()) {
        return -1;
    }
    Text* doc = w.doc;
    const size_t start = doc->size();
    // The header goes first; it is taken back if the table turns out to hold only sections.
    if (array_item || w.name->size() > 0) {
        if (!doc->write("[[", array_item ? 2 : 1) || write_name(w) < 0 ||
            !(array_item ? doc->write("]]\n", 3) : doc->write("]\n", 2))) {
            return no_room();
        }
    }
    const size_t header_end = doc->size();
    Sections sections;
    size_t slot = 0;  // the entry's position, under which its key is remembered
    const int status = for_each_item(w, table, [&](PyObject* key, PyObject* value) {
        const size_t at = slot++;
        if (!is_plain(value)) {
            const Answer section = add_section(w, &sections, key, value);
            if (section != Answer::kNo) {
                return section == Answer::kFailed ? -1 : 0;
            }
        }
        if ((!put_kept_key(doc, w.keys, at, key) &&
             (write_key(doc, key) < 0 || !doc->write(" = ", 3))) ||
            write_value(w, value, 0) < 0 || !doc->write("\n", 1)) {
            return PyErr_Occurred() ? -1 : no_room();
        }
        return 0;
    });
    if (status < 0) {
        return -1;
    }
    if (!array_item && doc->size() == header_end && sections.size() > 0) {
        doc->cut(start);
    }
    bool yielded = doc->size() != start;
    for (size_t i = 0; i < sections.size(); i++) {
        if (write_section(w, sections[i], &yielded) < 0) {
            return -1;
        }
    }
    return 0;
}

}  // namespace

int write_document(Writer& w, PyObject* obj) {
    return write_table(w, obj, false);
}

}  // namespace wrenfold::inkdump
