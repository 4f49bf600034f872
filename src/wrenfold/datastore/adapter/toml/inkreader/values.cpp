// Values: the dispatch on their first character, arrays and inline tables.
#include <cstring>

#include <wrenfold/_cpp/common/recursion.hpp>

#include "inkreader.hpp"

namespace wrenfold::inkreader {

namespace {

bool starts_with(const char* p, const char* end, const char* word, size_t n) {
    return static_cast<size_t>(end - p) >= n && std::memcmp(p, word, n) == 0;
}

}  // namespace

PyObject* Parser::value() {
    if (p_ == end_) {
        return error_at(p_, "Invalid value");
    }
    switch (*p_) {
        case '"':
            return starts_with(p_, end_, "\"\"\"", 3) ? multiline_string(false) : basic_string();
        case '\'':
            return starts_with(p_, end_, "'''", 3) ? multiline_string(true) : literal_string();
        case 't':
            if (starts_with(p_, end_, "true", 4)) {
                p_ += 4;
                Py_RETURN_TRUE;
            }
            break;
        case 'f':
            if (starts_with(p_, end_, "false", 5)) {
                p_ += 5;
                Py_RETURN_FALSE;
            }
            break;
        case '[': return array();
        case '{': return inline_table();
        default: break;
    }
    if (is(*p_, cls::kDigit)) {
        // Dates and times before numbers: both begin with digits.
        bool matched = false;
        PyObject* when = end_ - p_ > 4 && p_[4] == '-'   ? date_or_datetime(&matched)
                         : end_ - p_ > 2 && p_[2] == ':' ? local_time(&matched)
                                                         : nullptr;
        if (matched) {
            return when;
        }
    }
    return number();
}

// Spaces, line ends and comments between the items of an array or an inline table.
int Parser::skip_item_space() {
    while (true) {
        while (p_ < end_ && (is(*p_, cls::kSpace) || at_newline())) {
            p_++;
        }
        if (p_ == end_ || *p_ != '#') {
            return 0;
        }
        if (skip_comment() < 0) {
            return -1;
        }
    }
}

PyObject* Parser::array() {
    common::RecursionGuard guard(" while reading a TOML array");
    if (!guard.entered()) {
        return nullptr;
    }
    p_++;  // [
    const size_t mark = stack_.size();
    // The items stay on the stack until the array is complete.
    const auto drop = [this, mark]() {
        for (size_t i = mark; i < stack_.size(); i++) {
            Py_DECREF(stack_[i]);
        }
        stack_.resize(mark);
    };
    if (skip_item_space() < 0) {
        return nullptr;
    }
    if (p_ < end_ && *p_ == ']') {
        p_++;
        return PyList_New(0);
    }
    while (true) {
        PyObject* item;
        if (null_in_arrays_ && starts_with(p_, end_, "null", 4)) {
            p_ += 4;
            item = Py_NewRef(Py_None);
        } else if ((item = value()) == nullptr) {
            drop();
            return nullptr;
        }
        Ref held(item);
        stack_.push_back(item);  // should it throw, `held` lets go of the item
        held.release();
        // The separators of an array written on one line, at once: ", " before an item (a
        // byte that no skip of space, line end or comment would pass) and " ]".
        if (end_ - p_ > 2 && p_[0] == ',' && p_[1] == ' ') {
            const unsigned char c = p_[2];
            if (!is(c, cls::kSpace) && c != '\n' && c != '\r' && c != '#' && c != ']') {
                p_ += 2;
                continue;
            }
        } else if (end_ - p_ > 1 && p_[0] == ' ' && p_[1] == ']') {
            p_ += 2;
            break;
        }
        if (skip_item_space() < 0) {
            drop();
            return nullptr;
        }
        if (p_ == end_ || (*p_ != ']' && *p_ != ',')) {
            drop();
            return error_at(p_, "Unclosed array");
        }
        if (*p_++ == ']') {
            break;
        }
        if (skip_item_space() < 0) {
            drop();
            return nullptr;
        }
        if (p_ < end_ && *p_ == ']') {
            p_++;
            break;
        }
    }
    const size_t n = stack_.size() - mark;
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
    if (list == nullptr) {
        drop();
        return nullptr;
    }
    for (size_t i = 0; i < n; i++) {
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), stack_[mark + i]);
    }
    stack_.resize(mark);
    return list;
}

namespace {

// The depth of inline tables, counted for a scope.
class Nested {
public:
    explicit Nested(size_t& depth) : depth_(depth) {
        depth_++;
    }
    ~Nested() {
        depth_--;
    }
    Nested(const Nested&) = delete;
    Nested& operator=(const Nested&) = delete;

private:
    size_t& depth_;
};

}  // namespace

PyObject* Parser::inline_table() {
    common::RecursionGuard guard(" while reading a TOML inline table");
    if (!guard.entered()) {
        return nullptr;
    }
    KeyShape* shape = inline_depth_ < kShapes ? &shapes_[inline_depth_] : nullptr;
    const Nested nested(inline_depth_);
    size_t next = 0;  // the index in `shape` of the key expected next
    p_++;             // {
    const uint32_t serial = ++inline_serial_;
    Ref table(PyDict_New());
    if (!table) {
        return nullptr;
    }
    // Mostly on one line: past the spaces, only a byte up to '#' can begin a line end or a
    // comment, and a comma, a brace or a bare key sorts above.
    const auto gap = [this] {
        skip_space();
        return p_ < end_ && static_cast<unsigned char>(*p_) <= '#' ? skip_item_space() : 0;
    };
    if (gap() < 0) {
        return nullptr;
    }
    if (p_ < end_ && *p_ == '}') {
        p_++;
        return table.release();
    }
    while (true) {
        // The key expected here, or the one after it (a key left out), with its separator;
        // any other key is read in full, and learnt.
        size_t span = 0, k = next;
        if (shape != nullptr) {
            for (; k < next + 2 && k < shape->size(); k++) {
                if ((span = shape->match(k, p_, end_)) != 0) {
                    break;
                }
            }
        }
        int status;
        if (span != 0) {
            p_ += span;
            skip_space();
            next = k + 1;
            // Borrowed: the shape of this depth keeps it while the value is read, nested
            // inline tables having shapes of their own.
            status = set_value(table.get(), shape->key(k), true);
        } else if (shape != nullptr) {
            status = learn_key_value(table.get(), *shape, &next, serial);
        } else {
            status = key_value(table.get(), Ref(key_part()), true, serial);
        }
        if (status < 0) {
            return nullptr;
        }
        // The separator of records written on one line, at once.
        if (end_ - p_ > 2 && p_[0] == ',' && p_[1] == ' ' && is(p_[2], cls::kBare)) {
            p_ += 2;
            continue;
        }
        if (gap() < 0) {
            return nullptr;
        }
        if (p_ == end_ || (*p_ != '}' && *p_ != ',')) {
            return error_at(p_, "Unclosed inline table");
        }
        if (*p_++ == '}') {
            return table.release();
        }
        if (gap() < 0) {
            return nullptr;
        }
        if (p_ < end_ && *p_ == '}') {  // a trailing comma
            p_++;
            return table.release();
        }
    }
}

}  // namespace wrenfold::inkreader
