// Declarations shared by the translation units of the inkreader module: a TOML 1.1 parser
// that walks the UTF-8 text once and builds the Python objects as it goes.
//
// Every function that can fail returns null (or -1) with a Python exception set; the parse
// stops at the first failure, and what was built is released with the result's root. The
// containers may throw std::bad_alloc, which the entry points catch (functions.cpp): what the
// parser holds is released as it unwinds.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include <wrenfold/_cpp/common/ref.hpp>
#include <wrenfold/_cpp/common/toml_chars.hpp>

#include "containers.hpp"

namespace wrenfold::inkreader {

using common::Ref;

// --- module state (module.cpp) ---------------------------------------------------------------

struct Bound {
    PyObject* decode_error;          // tomllib.TOMLDecodeError
    PyObject* utc;                   // datetime.timezone.utc
    PyObject* offsets[2 * 24 * 60];  // timezone objects by offset in minutes, made on demand
};

extern Bound bound;

// Binds the datetime C API and timezone.utc (datetimes.cpp).
int import_datetime();

// --- character classes -----------------------------------------------------------------------

namespace cls {
inline constexpr uint8_t kBare = 1;     // A-Z a-z 0-9 _ -
inline constexpr uint8_t kSpace = 2;    // space, tab
inline constexpr uint8_t kStrStop = 4;  // ends a clean run of a basic string: what raw refuses
inline constexpr uint8_t kLitStop = 8;  // ends a clean run of a literal string: ' controls
inline constexpr uint8_t kDigit = 16;   // 0-9
inline constexpr uint8_t kHex = 32;     // 0-9 a-f A-F
}  // namespace cls

struct CharTable {
    uint8_t c[256];
};

constexpr CharTable make_char_table() {
    CharTable t{};
    for (int c = 0; c < 256; c++) {
        uint8_t v = 0;
        const bool digit = c >= '0' && c <= '9';
        if (common::is_bare_key_char(static_cast<unsigned char>(c))) {
            v |= cls::kBare;
        }
        if (c == ' ' || c == '\t') {
            v |= cls::kSpace;
        }
        const bool control = common::is_toml_control(static_cast<uint32_t>(c)) && c != '\t';
        if (common::raw_refuses(static_cast<uint32_t>(c))) {
            v |= cls::kStrStop;
        }
        if (control || c == '\'') {
            v |= cls::kLitStop;
        }
        if (digit) {
            v |= cls::kDigit | cls::kHex;
        }
        if ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')) {
            v |= cls::kHex;
        }
        t.c[c] = v;
    }
    return t;
}

inline constexpr CharTable kChars = make_char_table();

inline bool is(unsigned char c, uint8_t mask) {
    return (kChars.c[c] & mask) != 0;
}

// --- the key cache (keys.cpp) ----------------------------------------------------------------

// Record keys repeat thousands of times, and so do short texts: the str of a short ASCII key
// or text is made once and shared.
// Direct-mapped: a key that collides with another only replaces it, so no input can make a
// look-up cost more than one comparison. One cache serves every parse for the module's life
// (documents read again and again mostly hold the same keys) and is never destroyed: what it
// holds at exit is left to the interpreter, as the module's other objects are.
class KeyCache {
public:
    constexpr KeyCache() = default;
    KeyCache(const KeyCache&) = delete;
    KeyCache& operator=(const KeyCache&) = delete;

    // A new reference to the str of the `n` ASCII bytes at `s`; null with MemoryError.
    PyObject* get(const char* s, size_t n);

private:
    static constexpr size_t kSlots = 2048;
    static constexpr size_t kMaxLength = 48;
    PyObject* slots_[kSlots] = {};
};

extern KeyCache key_cache;

// The keys of the last inline table read at one nesting depth, in order, each with the text
// that led from it to its value ("name = "). The tables of an array of records mostly repeat
// them: that text is compared in place, sixteen bytes at once, for the key expected there and
// for the one after it (a key left out), before a key is scanned and looked up.
class KeyShape {
public:
    KeyShape() = default;
    KeyShape(const KeyShape&) = delete;
    KeyShape& operator=(const KeyShape&) = delete;
    ~KeyShape();

    // The number of keys known.
    size_t size() const {
        return size_;
    }
    // The longest key and separator compared: two words.
    static constexpr size_t kSpan = 16;

    // The bytes of key `i` and its separator when the text at `p` starts with them; else 0.
    size_t match(size_t i, const char* p, const char* end) const {
        if (end - p < static_cast<ptrdiff_t>(kSpan)) {
            return 0;
        }
        const Entry& e = keys_[i];
        uint64_t w0, w1;
        std::memcpy(&w0, p, 8);
        std::memcpy(&w1, p + 8, 8);
        return (((w0 ^ e.word[0]) & e.mask[0]) | ((w1 ^ e.word[1]) & e.mask[1])) == 0 ? e.span : 0;
    }
    // Key `i`, borrowed.
    PyObject* key(size_t i) const {
        return keys_[i].key;
    }
    // Notes that `key` came where key `i` was expected, its text at `text` and `span` bytes
    // long with the separator after it (0 when there is none to compare: a key quoted, dotted
    // or too long). The keys before it are passed over when it is known further on, else it is
    // put in place. Returns the index of the key expected next.
    size_t learn(size_t i, PyObject* key, const char* text, size_t span);

private:
    struct Entry {
        PyObject* key;     // strong
        uint64_t word[2];  // the key and its separator, zero-filled to 16 bytes
        uint64_t mask[2];  // 0xFF at each byte of those that they have
        size_t span;       // 0: matches nothing, as the text it would stand for is unknown
    };
    void note(Entry& e, const char* text, size_t span);

    static constexpr size_t kKeys = 24;
    Entry keys_[kKeys];
    size_t size_ = 0;
};

// --- table bookkeeping -----------------------------------------------------------------------

// What the document has done to a table it may still add to. Dicts not listed here are inline
// tables (or made inside one): frozen for the rest of the document.
struct TableInfo {
    enum Kind : uint8_t {
        kImplicit,      // made as a parent of a [header]: may be declared later, once
        kExplicit,      // declared by [header], an element of [[header]], or the root
        kDotted,        // made or extended by dotted keys in section `section`
        kInlineDotted,  // made by dotted keys inside inline table number `section`
        kArrayOfTables  // a list made by [[header]]
    };
    Kind kind;
    uint32_t section;
};

// --- the parser (document.cpp, values.cpp, strings.cpp, numbers.cpp, datetimes.cpp) ---------

class Parser {
public:
    // `text` holds `size` bytes: one per character of the str `doc` (units.hpp), or, with `doc`
    // null, well-formed UTF-8, of `bytes` when it came as bytes. A leading byte-order mark is
    // skipped.
    Parser(const char* text, size_t size, PyObject* doc, PyObject* bytes, PyObject* parse_float,
           bool null_in_arrays);

    // The document as a dict; null with an exception set.
    PyObject* parse();
    ~Parser();
    Parser(const Parser&) = delete;
    Parser& operator=(const Parser&) = delete;

private:
    // document.cpp
    int statement();
    PyObject* header_parent(int brackets, bool table);
    int table_header();
    int array_of_tables_header();
    int key_value(PyObject* table, Ref first, bool in_inline, uint32_t inline_serial);
    PyObject* add_table(PyObject* table, PyObject* key, TableInfo noted);
    PyObject* open_path(PyObject* table, size_t parts, bool header);
    PyObject* descend_dotted(PyObject* table, PyObject* key, bool in_inline, uint32_t serial);
    int key(Vector<Ref>& parts);
    // The value at p_ into `table` under `key`, which must be new there. Inline: the step of
    // every key/value pair.
    int set_value(PyObject* table, PyObject* key, bool in_inline) {
        Ref value(this->value());
        if (!value) {
            return -1;
        }
        // One look-up: the dict grows exactly when the key was not there. (Comparing the value
        // would not do: small ints, True and None are shared objects.)
        const Py_ssize_t size = PyDict_GET_SIZE(table);
        if (PyDict_SetDefault(table, key, value.get()) == nullptr) {
            return -1;
        }
        return PyDict_GET_SIZE(table) != size ? 0 : duplicate_key(key, in_inline);
    }
    [[gnu::cold, gnu::noinline]] int duplicate_key(PyObject* key, bool in_inline);
    int learn_key_value(PyObject* table, KeyShape& shape, size_t* next, uint32_t serial);
    PyObject* key_part();
    int skip_comment();
    // Inline: called between any two tokens. The scan runs on a local: a char read may alias
    // p_ itself, and clang then stores p_ at every step.
    void skip_space() {
        const char* p = p_;
        while (p < end_ && is(*p, cls::kSpace)) {
            p++;
        }
        p_ = p;
    }
    bool at_newline() const {
        return p_ < end_ && (*p_ == '\n' || (*p_ == '\r' && p_ + 1 < end_ && p_[1] == '\n'));
    }

    // values.cpp
    PyObject* value();
    PyObject* array();
    PyObject* inline_table();
    int skip_item_space();

    // strings.cpp
    PyObject* basic_string();
    [[gnu::noinline]] PyObject* escaped_string(const char* start, const char* stop, uint64_t high);
    PyObject* literal_string();
    PyObject* multiline_string(bool literal);
    int escape(String& out, bool multiline);
    PyObject* text(const char* s, size_t n, bool ascii);
    PyObject* doc_text(const char* s, size_t n, bool ascii);
    static constexpr size_t kShortText = 16;
    [[gnu::noinline]] PyObject* doc_units(const char* s, size_t n);
    void append_text(String& out, const char* from, const char* to);

    // numbers.cpp
    PyObject* number();
    PyObject* special_float(const char* start);
    PyObject* float_from_text(const char* start, const char* stop);
    PyObject* float_from_chars(const char* start, const char* stop);
    PyObject* decimal_int(const char* start, const char* stop, size_t digits);
    PyObject* radix_int(const char* start, const char* stop, int base);

    // datetimes.cpp
    PyObject* date_or_datetime(bool* matched);
    PyObject* local_time(bool* matched);
    bool scan_time(const char* s, int* hour, int* minute, int* second, int* micro,
                   const char** stop) const;
    PyObject* timezone(int sign, int hours, int minutes);

    // errors.cpp
    // TOMLDecodeError with `message` at `at`; returns null (or -1 through fail()).
    PyObject* error_obj(const char* at, PyObject* message);  // steals `message`
    PyObject* error_at(const char* at, const char* message);
    PyObject* error_char(const char* at, const char* format);
    PyObject* error_key(const char* at, const char* format, const Vector<Ref>& path, size_t count);
    int fail(const char* at, const char* message) {
        error_at(at, message);
        return -1;
    }
    int fail_key(const char* at, const char* format, const Vector<Ref>& path, size_t count) {
        error_key(at, format, path, count);
        return -1;
    }

    TableInfo* info(PyObject* obj) {
        auto it = tables_.find(obj);
        return it != tables_.end() ? &it->second : nullptr;
    }

    const char* const begin_;
    const char* p_;
    const char* const end_;
    PyObject* const doc_;  // the str that the text stands for, one byte per character
    PyObject* const bytes_;
    PyObject* const parse_float_;  // null for the built-in float
    const bool null_in_arrays_;

    Ref root_;
    PyObject* current_ = nullptr;  // the table that key/value pairs go to (borrowed)
    uint32_t section_ = 1;
    uint32_t inline_serial_ = 0;
    Map<PyObject*, TableInfo> tables_;
    Vector<Ref> path_;         // the parts of the key being read
    Vector<PyObject*> stack_;  // items of the arrays being read, strong references
    String scratch_;           // UTF-8 of a string with escapes, digits of a long number
    static constexpr size_t kShapes = 4;
    KeyShape shapes_[kShapes];  // by the depth of inline tables
    size_t inline_depth_ = 0;
};

// --- entry points (functions.cpp) ------------------------------------------------------------

// The document in `text` (a str) or `data` (bytes) as a dict; null with an exception set.
PyObject* parse_str(PyObject* text, PyObject* parse_float, bool null_in_arrays);
PyObject* parse_bytes(PyObject* data, PyObject* parse_float, bool null_in_arrays);

extern PyMethodDef module_functions[];

}  // namespace wrenfold::inkreader
