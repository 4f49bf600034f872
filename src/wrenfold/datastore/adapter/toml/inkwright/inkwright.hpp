// Declarations shared by the translation units of the inkwright module.
//
// Every writer returns 0 on success and -1 with a Python exception set (and its traceback
// entry added); callers stop at the first -1. Bytes already written stay in the buffer and
// the entry point discards it.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstring>

#include <wrenfold/_cpp/common/buffer.hpp>
#include <wrenfold/_cpp/common/str_utf8.hpp>
#include <wrenfold/_cpp/common/traceback.hpp>
#include <wrenfold/datastore/c_unified_data/c_unified_data.hpp>

#include "cursor.hpp"

#define WF_INK "wrenfold.datastore.adapter.toml.inkwright."

namespace wrenfold::inkwright {

using c_unified_data::ColumnsData;
using c_unified_data::CTableData;
using c_unified_data::CUnifiedData;
using c_unified_data::HeaderData;
using common::Buffer;
using common::is_ascii_str;

// --- tokens (tokens.cpp) ---------------------------------------------------------------------

// Published by address in __pyx_capi__, so they are plain variables read at each write.
extern char const* B_AUTOINCREMENT;
extern char const* B_CLOSE_BRACE;
extern char const* B_CLOSE_BRACKET;
extern char const* B_COLUMNS_EQ;
extern char const* B_COMMA;
extern char const* B_COMMA_SPACE;
extern char const* B_COMMENT;
extern char const* B_COUNT_EQ;
extern char const* B_DEFAULT;
extern char const* B_EQUALS;
extern char const* B_FALSE;
extern char const* B_FOREIGN_KEY;
extern char const* B_HEADER_SECTION;
extern char const* B_INDENT;
extern char const* B_NAME;
extern char const* B_NEWLINE;
extern char const* B_NULL;
extern char const* B_NULLABLE;
extern char const* B_OPEN_BRACE;
extern char const* B_OPEN_BRACKET;
extern char const* B_PRIMARY_KEY;
extern char const* B_QUOTE;
extern char const* B_RECORDS_EQ;
extern char const* B_SCHEMA_VERSION_EQ;
extern char const* B_SPACE;
extern char const* B_TABLES_DOT;
extern char const* B_TABLES_EQ;
extern char const* B_TRUE;
extern char const* B_TYPE;
extern char const* B_UNIQUE;
extern char const* B_VERSION_EQ;

// Stores the 31 capsules in __pyx_capi__, before the tokens are assigned.
int publish_tokens(PyObject* module);
void assign_tokens();

// --- failure paths ---------------------------------------------------------------------------

// The error of a buffer that could not make room: MemoryError, unless draining it into the
// file failed and set its own.
[[gnu::cold, gnu::noinline]] inline void set_no_room_error() {
    if (!PyErr_Occurred()) {
        PyErr_NoMemory();
    }
}

// Adds the traceback entry of `qualname` to the pending exception; returns -1.
[[gnu::cold, gnu::noinline]] int fail(const char* qualname, const char* file, int line);
// Sets the error of a buffer that could not make room, then as fail().
[[gnu::cold, gnu::noinline]] int no_memory(const char* qualname, const char* file, int line);

#define INK_FAIL(name) ::wrenfold::inkwright::fail(WF_INK name, __FILE_NAME__, __LINE__)
#define INK_NO_MEMORY(name) ::wrenfold::inkwright::no_memory(WF_INK name, __FILE_NAME__, __LINE__)

// --- token writers: fixed lengths, inline ----------------------------------------------------

// Texts of the tokens written with a fixed length, so that the lengths follow the texts.
namespace text {
inline constexpr char QUOTE[] = "\"";
inline constexpr char SPACE[] = " ";
inline constexpr char OPEN_BRACKET[] = "[";
inline constexpr char CLOSE_BRACKET[] = "]";
inline constexpr char OPEN_BRACE[] = "{";
inline constexpr char CLOSE_BRACE[] = "}";
inline constexpr char NEWLINE[] = "\n";
inline constexpr char COMMA[] = ",";
inline constexpr char COMMA_SPACE[] = ", ";
inline constexpr char EQUALS[] = " = ";
inline constexpr char INDENT[] = "    ";
inline constexpr char TRUE_[] = "true";
inline constexpr char FALSE_[] = "false";
inline constexpr char NULL_[] = "null";
inline constexpr char DEFAULT[] = "default";
}  // namespace text

#define INK_LEN(t) (sizeof(text::t) - 1)

// The token is read through its variable at each call, with the length of its text.
#define INK_TOKEN_WRITER(fn, token, t)                              \
    inline int fn(Buffer* buf) {                                    \
        if (common::buf_write(buf, token, INK_LEN(t))) [[likely]] { \
            return 0;                                               \
        }                                                           \
        return INK_NO_MEMORY(#fn);                                  \
    }

INK_TOKEN_WRITER(insert_quote, B_QUOTE, QUOTE)
INK_TOKEN_WRITER(insert_space, B_SPACE, SPACE)
INK_TOKEN_WRITER(insert_open_bracket, B_OPEN_BRACKET, OPEN_BRACKET)
INK_TOKEN_WRITER(insert_close_bracket, B_CLOSE_BRACKET, CLOSE_BRACKET)
INK_TOKEN_WRITER(insert_open_brace, B_OPEN_BRACE, OPEN_BRACE)
INK_TOKEN_WRITER(insert_close_brace, B_CLOSE_BRACE, CLOSE_BRACE)
INK_TOKEN_WRITER(insert_newline, B_NEWLINE, NEWLINE)
INK_TOKEN_WRITER(insert_b_comma, B_COMMA, COMMA)
INK_TOKEN_WRITER(insert_comma_space, B_COMMA_SPACE, COMMA_SPACE)
INK_TOKEN_WRITER(insert_equals, B_EQUALS, EQUALS)
INK_TOKEN_WRITER(insert_indent, B_INDENT, INDENT)
INK_TOKEN_WRITER(insert_true, B_TRUE, TRUE_)
INK_TOKEN_WRITER(insert_false, B_FALSE, FALSE_)

#undef INK_TOKEN_WRITER

// Section and key tokens: written in full, measured at each write.
inline int write_token(Buffer* buf, const char* token, const char* qualname) {
    if (common::buf_write(buf, token, std::strlen(token))) [[likely]] {
        return 0;
    }
    return no_memory(qualname, __FILE_NAME__, __LINE__);
}

// In an encode, text that is not ASCII is not written: where it goes is noted, and the str
// of the document takes its characters from the string itself. So it is neither converted
// to UTF-8 (which the interpreter would keep in every string) nor decoded back.
struct TextRun {
    size_t pos;
    PyObject* text;  // strong reference; null once its characters are in the result
    size_t extra;    // characters the escapes add; none when it has nothing to escape
};

struct TextRuns {
    TextRun* items;
    size_t count;
    size_t capacity;
    size_t chars;      // of the noted texts, with what their escapes add
    Py_UCS4 max_char;  // the widest of them; 0 when none is noted
};

// What an encode keeps beside its buffer (its `user`).
struct EncodeOutput {
    TextRuns runs;
    // Once text beyond ASCII is noted, the str the encode returns, as wide as its widest
    // text so far: the buffer's text moves into it every few records, while the buffer and
    // the noted strings are still in the cache.
    PyObject* text;
    size_t text_len;      // its characters filled
    PyObject* held;       // list of the noted str subclasses, or null
    size_t records;       // in the document
    size_t records_done;  // written so far
    size_t plain_block;   // what its buffer grows to while it holds text beyond ASCII
};

// Notes `s`, of `n` characters up to `max_char` and `extra` more for its escapes, at `pos`;
// `runs` has room.
inline void add_run(Buffer* buf, TextRuns* runs, size_t pos, PyObject* s, size_t n, size_t extra,
                    Py_UCS4 max_char) {
    Py_INCREF(s);
    runs->items[runs->count++] = {pos, s, extra};
    runs->chars += n + extra;
    runs->max_char = std::max(runs->max_char, max_char);
    buf->ascii = false;
}

// Drops the noted texts, the str subclasses held and the unfinished str.
void release_output(EncodeOutput* output);

// Moves the text of an encode's buffer, ASCII and noted texts, into the output's str, and
// empties the buffer. -1 with an exception set.
int move_text(Buffer* buf);

// After each record of an encode: the buffer's text moves out once it holds this much, if
// any of it is beyond ASCII.
inline int record_done(Buffer* buf, EncodeOutput* output) {
    constexpr size_t kMoveAt = size_t{32} << 10;
    output->records_done++;
    return buf->ascii || buf->pos < kMoveAt ? 0 : move_text(buf);
}

// For a str `s` that is not ASCII: when `buf` is an encode's and notes text, notes it at the
// buffer's position between quotes if `quoted`, and returns 1; 0 when it must be written as UTF-8
// (the buffer does not note text, or `s` holds a lone surrogate, whose error the conversion
// raises); -1 with MemoryError.
int note_wide_text(Buffer* buf, PyObject* s, int escape_strings, bool quoted);

// The UTF-8 kept in the str object, unquoted and unescaped.
inline int buf_write_str(Buffer* buf, PyObject* s) {
    if (!is_ascii_str(s)) {
        const int noted = note_wide_text(buf, s, 0, false);
        if (noted != 0) {
            return noted > 0 ? 0 : INK_FAIL("buf_write_str");
        }
    }
    Py_ssize_t size;
    const char* utf8 = common::str_utf8(s, &size, &buf->ascii);
    if (utf8 == nullptr) [[unlikely]] {
        return INK_FAIL("buf_write_str");
    }
    if (!common::buf_write(buf, utf8, static_cast<size_t>(size))) [[unlikely]] {
        return INK_NO_MEMORY("buf_write_str");
    }
    return 0;
}

// A double quote, `size` bytes of `utf8` unescaped, a double quote: one reservation.
inline bool buf_write_quoted(Buffer* buf, const char* utf8, size_t size) {
    if (!common::buf_ensure(buf, size + 2)) [[unlikely]] {
        return false;
    }
    char* out = buf->data + buf->pos;
    out[0] = B_QUOTE[0];
    std::memcpy(out + 1, utf8, size);
    out[size + 1] = B_QUOTE[0];
    buf->pos += size + 2;
    return true;
}

// --- raw text (raw_text.cpp) ----------------------------------------------------------------

// Whether raw TOML can carry the `n` bytes at `p` between quotes: no double quote, backslash,
// DEL nor control character other than tab.
[[gnu::noinline]] bool raw_safe(const char* p, size_t n);
// ValueError for the first character of the `n` bytes at `p` that raw_safe refuses; -1.
[[gnu::cold, gnu::noinline]] int refuse_raw_text(const char* p, size_t n);
// ValueError for the code point `c` that raw_safe would refuse; -1.
[[gnu::cold, gnu::noinline]] int refuse_raw_char(uint32_t c);
// Names where the pending exception arose: the place `format` gives (ending with ": " or ", ")
// goes in front of the message of such a refusal, and in a note on any other error, whose
// message stays. Writers up the stack each add their part; the outermost writer that knows a
// place says so, and the place is then complete.
[[gnu::cold, gnu::noinline]] void name_error_place(bool outermost, const char* format, ...);

// --- strings (strings.cpp) -------------------------------------------------------------------

int _escaped_quoted_value(Buffer* buf, PyObject* value, int escape_strings);
int _quoted_str_value(Buffer* buf, PyObject* value);
int char_to_str(Buffer* buf, const char* key, PyObject* value, int escape_strings);
// A key: bare when it is a valid TOML bare key, else a quoted string (escaped or raw).
int _key_to_buf(Buffer* buf, PyObject* key, int escape_strings);

// The keys of one table's records by position, each kept as its text and " = ": records of
// a table share their key objects, so a key is checked and measured once per table rather
// than once per record. Holds each key, so that identity stays a safe test.
class KeyMemo {
public:
    KeyMemo() = default;
    KeyMemo(const KeyMemo&) = delete;
    KeyMemo& operator=(const KeyMemo&) = delete;
    ~KeyMemo();

    // Room that put() may write into, whatever it advances by.
    static constexpr size_t kRoom = 48;

    // Writes `key` and " = " when `key` is the bare key kept at `slot`, or can be kept there
    // now: true. False without writing anything otherwise. The caller has reserved kRoom.
    [[gnu::always_inline]] bool put(Cursor& c, Py_ssize_t slot, PyObject* key) {
        if (slot >= kSlots) {
            return false;
        }
        Slot& s = slots_[slot];
        if (s.key != key && !remember(s, key)) {
            return false;
        }
        // The whole slot, a copy of fixed size; only its text counts.
        std::memcpy(c.out(), s.text, kRoom);
        c.advance_to(c.out() + s.size);
        return true;
    }

private:
    static constexpr Py_ssize_t kSlots = 32;
    struct Slot {
        PyObject* key;  // strong reference, an exact str
        char text[kRoom];
        unsigned char size;
    };
    bool remember(Slot& s, PyObject* key);  // strings.cpp
    Slot slots_[kSlots] = {};
};

// --- values (values.cpp) ---------------------------------------------------------------------

int _value_to_buf(Buffer* buf, PyObject* value, int escape_strings);
int _array_to_buf(Buffer* buf, PyObject* arr, int escape_strings);

// --- inline tables (tables.cpp) --------------------------------------------------------------

int _inline_table_to_buf(Buffer* buf, PyObject* d, int escape_strings);
// The lines of a table's records: each its indent, the record as an inline table, ",\n".
int records_to_buf(Buffer* buf, const CTableData* table, int escape_strings);
int char_true(Buffer* buf, const char* key);

// --- layout (layout.cpp) ---------------------------------------------------------------------

size_t count_records(const CUnifiedData* data);
size_t estimate_buffer_size(const CUnifiedData* data);
// The estimate, or less when that is too much.
size_t document_buffer_size(const CUnifiedData* data);
// A buffer of document_buffer_size, or a smaller start when that cannot be had. Null with
// MemoryError when even the smaller block cannot be had.
Buffer* new_document_buffer(const CUnifiedData* data);
// For an encode whose document_buffer_size is `plain_block`: a first block of that size but
// at most 256 KiB; null with MemoryError as new_document_buffer.
Buffer* new_encode_buffer(size_t plain_block);
int _encode_to_buffer(const CUnifiedData* data, Buffer* buf, int escape_strings);
int header_to_buf(Buffer* buf, const HeaderData* header, int escape_strings);
int _table_to_buf(Buffer* buf, const CTableData* table, int escape_strings);
int _column_to_buf(Buffer* buf, const ColumnsData* col, int escape_strings);

// --- the returned str (str_output.cpp) -------------------------------------------------------

// The `grow` of an encode's buffer: past its first block, the buffer grows into the str
// that the encode returns.
char* grow_into_str(Buffer* buf, size_t capacity);
// The buffer's text as a new str; null with an exception set.
PyObject* buffer_to_str(Buffer* buf);

// --- entry points (entry.cpp, functions.cpp) -------------------------------------------------

int intern_entry_names();
PyObject* _encode_unified_data_impl(PyObject* data, int escape_strings);
PyObject* _write_unified_data_impl(PyObject* data, PyObject* filepath, int escape_strings);
// write_unified_data, then encode_unified_data, with their docstrings.
extern PyMethodDef module_functions[];

// --- file output (file.cpp) ------------------------------------------------------------------

// Saves the document to `path` (the UTF-8 of `filepath`) without losing an existing file on
// failure.
int write_document(const CUnifiedData* data, const char* path, PyObject* filepath,
                   int escape_strings);

}  // namespace wrenfold::inkwright
