// The document: statements, table headers, key/value pairs, and the rules on which table a
// key may still add to.
#include <cstring>

#include "inkreader.hpp"

namespace wrenfold::inkreader {

Parser::Parser(const char* text, size_t size, PyObject* doc, PyObject* bytes, PyObject* parse_float,
               bool null_in_arrays)
    : begin_(text),
      p_(text),
      end_(text + size),
      doc_(doc),
      bytes_(bytes),
      parse_float_(parse_float),
      null_in_arrays_(null_in_arrays) {
    // A byte-order mark.
    if (doc != nullptr) {
        p_ += size > 0 && PyUnicode_READ_CHAR(doc, 0) == 0xFEFF;
    } else if (size >= 3 && std::memcmp(text, "\xEF\xBB\xBF", 3) == 0) {
        p_ += 3;
    }
}

// Unwinding from a failed allocation leaves items of unfinished arrays on the stack.
Parser::~Parser() {
    for (PyObject* item : stack_) {
        Py_DECREF(item);
    }
}

// A comment runs to the end of the line and holds no control character but tab.
int Parser::skip_comment() {
    if (p_ == end_ || *p_ != '#') {
        return 0;
    }
    for (p_++; p_ < end_ && *p_ != '\n'; p_++) {
        const unsigned char c = *p_;
        if ((c < 0x20 && c != '\t' && !at_newline()) || c == 0x7F) {
            error_char(p_, "Found invalid character %R");
            return -1;
        }
        if (c == '\r') {
            break;  // the \r of \r\n
        }
    }
    return 0;
}

namespace {

// The document's containers cannot be garbage while it is read, yet each collection during the
// read would scan them again, more of them each time: a quarter of the time of a large
// document. The collector is paused for the read and resumed as it was.
class CollectorPause {
public:
    CollectorPause() : was_enabled_(PyGC_Disable()) {}
    ~CollectorPause() {
        if (was_enabled_) {
            PyGC_Enable();
        }
    }
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;

private:
    int was_enabled_;
};

}  // namespace

PyObject* Parser::parse() {
    const CollectorPause pause;
    root_ = Ref(PyDict_New());
    if (!root_) {
        return nullptr;
    }
    tables_.emplace(root_.get(), TableInfo{TableInfo::kExplicit, 0});
    current_ = root_.get();
    while (true) {
        skip_space();
        if (p_ == end_) {
            break;
        }
        if (at_newline()) {
            p_ += *p_ == '\r' ? 2 : 1;
            continue;
        }
        if (statement() < 0 || skip_comment() < 0) {
            return nullptr;
        }
        if (p_ == end_) {
            break;
        }
        if (!at_newline()) {
            return error_at(p_, "Expected newline or end of document after a statement");
        }
        p_ += *p_ == '\r' ? 2 : 1;
    }
    return root_.release();
}

int Parser::statement() {
    const unsigned char c = *p_;
    int status = 0;
    if (is(c, cls::kBare) || c == '"' || c == '\'') {
        status = key_value(current_, Ref(key_part()), false, 0);
    } else if (c == '[') {
        status = p_ + 1 < end_ && p_[1] == '[' ? array_of_tables_header() : table_header();
    } else if (c != '#') {
        return fail(p_, "Invalid statement");
    }
    skip_space();
    return status;
}

// A key of one or more parts separated by dots, with the spaces after it skipped.
int Parser::key(Vector<Ref>& parts) {
    const size_t limit = static_cast<size_t>(Py_GetRecursionLimit());
    while (true) {
        Ref part(key_part());
        if (!part) {
            return -1;
        }
        parts.push_back(std::move(part));
        skip_space();
        if (p_ == end_ || *p_ != '.') {
            return 0;
        }
        // Keys name a nested structure: one of more parts than the recursion limit is
        // refused as deep nesting is.
        if (parts.size() >= limit) {
            PyErr_Format(PyExc_RecursionError, "TOML key has more than the allowed %zu parts",
                         limit);
            return -1;
        }
        p_++;
        skip_space();
    }
}

// A new table under `key` in `table`, noted as `noted`: borrowed, `table` holds it. Null with
// an exception set.
PyObject* Parser::add_table(PyObject* table, PyObject* key, TableInfo noted) {
    Ref made(PyDict_New());
    if (!made || PyDict_SetItem(table, key, made.get()) < 0) {
        return nullptr;
    }
    tables_.emplace(made.get(), noted);
    return made.get();
}

// The table that a header's key names, but for its last part: tables are made where
// missing, and an array of tables leads to its last element.
PyObject* Parser::open_path(PyObject* table, size_t parts, bool header) {
    for (size_t i = 0; i + 1 < parts; i++) {
        PyObject* key = path_[i].get();
        PyObject* value = PyDict_GetItemWithError(table, key);
        if (value == nullptr) {
            if (PyErr_Occurred()) {
                return nullptr;
            }
            if ((table = add_table(table, key, {TableInfo::kImplicit, 0})) == nullptr) {
                return nullptr;
            }
            continue;
        }
        const TableInfo* found = info(value);
        const bool open = found != nullptr && found->kind != TableInfo::kInlineDotted;
        if (PyList_Check(value) && open) {
            table = PyList_GET_ITEM(value, PyList_GET_SIZE(value) - 1);
        } else if (PyDict_Check(value) && open) {
            table = value;
        } else if (PyDict_Check(value) || PyList_Check(value)) {
            error_key(p_,
                      header ? "Cannot declare %R twice" : "Cannot mutate immutable namespace %R",
                      path_, parts);
            return nullptr;
        } else {
            error_at(p_, "Cannot overwrite a value");
            return nullptr;
        }
    }
    return table;
}

// A header's key, after its opening brackets, into path_: the table that holds its last part,
// made where missing. Null with an exception set.
PyObject* Parser::header_parent(int brackets, bool table) {
    p_ += brackets;
    skip_space();
    path_.clear();
    if (key(path_) < 0) {
        return nullptr;
    }
    section_++;
    return open_path(root_.get(), path_.size(), table);
}

int Parser::table_header() {
    PyObject* parent = header_parent(1, true);  // [
    if (parent == nullptr) {
        return -1;
    }
    PyObject* last = path_.back().get();
    PyObject* value = PyDict_GetItemWithError(parent, last);
    if (value == nullptr) {
        if (PyErr_Occurred()) {
            return -1;
        }
        if ((current_ = add_table(parent, last, {TableInfo::kExplicit, 0})) == nullptr) {
            return -1;
        }
    } else {
        TableInfo* found = info(value);
        if (PyDict_Check(value) && found != nullptr && found->kind == TableInfo::kImplicit) {
            found->kind = TableInfo::kExplicit;
            current_ = value;
        } else if (PyDict_Check(value) || PyList_Check(value)) {
            return fail_key(p_, "Cannot declare %R twice", path_, path_.size());
        } else {
            return fail(p_, "Cannot overwrite a value");
        }
    }
    if (p_ == end_ || *p_ != ']') {
        return fail(p_, "Expected ']' at the end of a table declaration");
    }
    p_++;
    return 0;
}

int Parser::array_of_tables_header() {
    PyObject* parent = header_parent(2, false);  // [[
    if (parent == nullptr) {
        return -1;
    }
    PyObject* last = path_.back().get();
    PyObject* value = PyDict_GetItemWithError(parent, last);
    Ref element(PyDict_New());
    if (!element) {
        return -1;
    }
    if (value == nullptr) {
        if (PyErr_Occurred()) {
            return -1;
        }
        Ref list(PyList_New(0));
        if (!list || PyList_Append(list.get(), element.get()) < 0 ||
            PyDict_SetItem(parent, last, list.get()) < 0) {
            return -1;
        }
        tables_.emplace(list.get(), TableInfo{TableInfo::kArrayOfTables, 0});
    } else {
        const TableInfo* found = info(value);
        if (PyList_Check(value) && found != nullptr) {
            if (PyList_Append(value, element.get()) < 0) {
                return -1;
            }
        } else if (PyList_Check(value) ||
                   (PyDict_Check(value) &&
                    (found == nullptr || found->kind == TableInfo::kInlineDotted))) {
            return fail_key(p_, "Cannot mutate immutable namespace %R", path_, path_.size());
        } else {
            return fail(p_, "Cannot overwrite a value");
        }
    }
    tables_.emplace(element.get(), TableInfo{TableInfo::kExplicit, 0});
    current_ = element.get();
    if (end_ - p_ < 2 || p_[0] != ']' || p_[1] != ']') {
        return fail(p_, "Expected ']]' at the end of an array declaration");
    }
    p_ += 2;
    return 0;
}

// The table that a dotted key passes through, made where missing. In a section, dotted keys
// may add to tables they made in that section and to the parents of headers; in an inline
// table, only to tables they made in it.
PyObject* Parser::descend_dotted(PyObject* table, PyObject* key, bool in_inline, uint32_t serial) {
    PyObject* value = PyDict_GetItemWithError(table, key);
    if (value == nullptr) {
        if (PyErr_Occurred()) {
            return nullptr;
        }
        return add_table(table, key,
                         in_inline ? TableInfo{TableInfo::kInlineDotted, serial}
                                   : TableInfo{TableInfo::kDotted, section_});
    }
    TableInfo* found = info(value);
    if (!PyDict_Check(value) && !PyList_Check(value)) {
        error_at(p_, "Cannot overwrite a value");
        return nullptr;
    }
    if (in_inline) {
        if (PyDict_Check(value) && found != nullptr && found->kind == TableInfo::kInlineDotted &&
            found->section == serial) {
            return value;
        }
    } else if (PyDict_Check(value) && found != nullptr) {
        if (found->kind == TableInfo::kImplicit ||
            (found->kind == TableInfo::kDotted && found->section == section_)) {
            found->kind = TableInfo::kDotted;
            found->section = section_;
            return value;
        }
        if (found->kind != TableInfo::kInlineDotted) {
            error_at(p_, "Cannot redefine namespace");
            return nullptr;
        }
    } else if (found != nullptr) {  // an array of tables
        error_at(p_, "Cannot redefine namespace");
        return nullptr;
    }
    error_at(p_, "Cannot mutate immutable namespace");
    return nullptr;
}

// key = value, into `table`: the current table of the document, or an inline table. `first`
// is the key's first part, read by the caller (null with an exception set).
int Parser::key_value(PyObject* table, Ref first, bool in_inline, uint32_t serial) {
    Ref last(std::move(first));
    if (!last) {
        return -1;
    }
    skip_space();
    if (p_ < end_ && *p_ == '.') {
        // Dotted: the parts before the last name tables, made or extended here.
        Vector<Ref> parts;
        parts.push_back(std::move(last));
        p_++;
        skip_space();
        if (key(parts) < 0) {
            return -1;
        }
        for (size_t i = 0; i + 1 < parts.size(); i++) {
            table = descend_dotted(table, parts[i].get(), in_inline, serial);
            if (table == nullptr) {
                return -1;
            }
        }
        last = std::move(parts.back());
    }
    if (p_ == end_ || *p_ != '=') {
        return fail(p_, "Expected '=' after a key in a key/value pair");
    }
    p_++;
    skip_space();
    return set_value(table, last.get(), in_inline);
}

// The error of a key that set_value found in its table already.
int Parser::duplicate_key(PyObject* key, bool in_inline) {
    if (in_inline) {
        PyObject* message = PyUnicode_FromFormat("Duplicate inline table key %R", key);
        if (message != nullptr) {
            error_obj(p_, message);
        }
        return -1;
    }
    return fail(p_, "Cannot overwrite a value");
}

// A key/value pair of an inline table whose keys `shape` holds, where the key expected at
// `*next` did not match: the key is read in full and learnt with its separator.
int Parser::learn_key_value(PyObject* table, KeyShape& shape, size_t* next, uint32_t serial) {
    const char* start = p_;
    Ref key(key_part());
    if (!key) {
        return -1;
    }
    // The separator of a bare key: spaces, '=' and spaces.
    size_t span = 0;
    if (is(*start, cls::kBare)) {
        const char* q = p_;
        while (q < end_ && is(*q, cls::kSpace)) {
            q++;
        }
        if (q < end_ && *q == '=') {
            for (q++; q < end_ && is(*q, cls::kSpace); q++) {
            }
            span = static_cast<size_t>(q - start);
        }
    }
    *next = shape.learn(*next, key.get(), start, span);
    return key_value(table, std::move(key), true, serial);
}

}  // namespace wrenfold::inkreader
