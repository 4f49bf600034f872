// Declarations shared by the translation units of the inkwright module.
//
// Every writer writes through the encode's Output (output.hpp) and returns 0 on success and
// -1 with a Python exception set (and its traceback entry added); callers stop at the first
// -1. Bytes already written stay in the Output and the entry point discards them.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstring>

#include <wrenfold/_cpp/common/key_memo.hpp>
#include <wrenfold/_cpp/common/str_utf8.hpp>
#include <wrenfold/_cpp/common/traceback.hpp>
#include <wrenfold/datastore/c_unified_data/c_unified_data.hpp>

#include "output.hpp"

#define WF_INK "wrenfold.datastore.adapter.toml.inkwright."

namespace wrenfold::inkwright {

using c_unified_data::ColumnsData;
using c_unified_data::CTableData;
using c_unified_data::CUnifiedData;
using c_unified_data::HeaderData;
using common::is_ascii_str;
using common::KeyMemo;

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

// Adds the traceback entry of `qualname` to the pending exception; returns -1. The one way
// the module adds an entry, through INK_FAIL.
[[gnu::cold, gnu::noinline]] int fail(const char* qualname, const char* file, int line);

#define INK_FAIL(name) ::wrenfold::inkwright::fail(WF_INK name, __FILE_NAME__, __LINE__)

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
#define INK_TOKEN_WRITER(fn, token, t)                     \
    inline int fn(Output* out) {                           \
        if (out->put(token, INK_LEN(t)) == 0) [[likely]] { \
            return 0;                                      \
        }                                                  \
        return INK_FAIL(#fn);                              \
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
inline int write_token(Output* out, const char* token, const char* qualname) {
    if (out->put(token, std::strlen(token)) == 0) [[likely]] {
        return 0;
    }
    return fail(qualname, __FILE_NAME__, __LINE__);
}

// What note_text() did with a str beyond ASCII.
enum class Noted {
    kNoted,   // noted, to be copied into the result from the string itself
    kAsUtf8,  // to be written as UTF-8: the output notes no text, or `s` holds a lone
              // surrogate, whose error the conversion raises
    kFailed,  // an exception is set
};

// For a str `s` that is not ASCII: notes it at the output's position, between quotes if
// `quoted`, when the output notes text; a text that raw output cannot carry between quotes
// is refused.
Noted note_text(Output* out, PyObject* s, int escape_strings, bool quoted);

// The UTF-8 of `s`, as common::str_utf8; null with TypeError for what is no str.
inline const char* text_utf8(PyObject* s, Py_ssize_t* size) {
    if (!PyUnicode_Check(s)) [[unlikely]] {
        PyErr_BadArgument();
        return nullptr;
    }
    return common::str_utf8(s, size);
}

// The UTF-8 kept in the str object, unquoted and unescaped.
inline int buf_write_str(Output* out, PyObject* s) {
    if (!is_ascii_str(s)) {
        const Noted noted = note_text(out, s, 0, false);
        if (noted != Noted::kAsUtf8) {
            return noted == Noted::kNoted ? 0 : INK_FAIL("buf_write_str");
        }
    }
    Py_ssize_t size;
    const char* utf8 = text_utf8(s, &size);
    if (utf8 == nullptr || out->put(utf8, static_cast<size_t>(size)) < 0) [[unlikely]] {
        return INK_FAIL("buf_write_str");
    }
    return 0;
}

// A double quote, `size` bytes of `utf8` unescaped, a double quote: one reservation.
inline int put_quoted(Output* out, const char* utf8, size_t size) {
    if (out->reserve(size + 2) < 0) [[unlikely]] {
        return -1;
    }
    char* at = out->at();
    at[0] = B_QUOTE[0];
    std::memcpy(at + 1, utf8, size);
    at[size + 1] = B_QUOTE[0];
    out->advance_to(at + size + 2);
    return 0;
}

// --- raw text (raw_text.cpp) ----------------------------------------------------------------

// Whether raw TOML can carry the `n` bytes at `p` between quotes: no double quote, backslash,
// DEL nor control character other than tab.
[[gnu::noinline]] bool raw_safe(const char* p, size_t n);
// ValueError for the first character of the `n` bytes at `p` that raw_safe refuses, its
// place to be named by the writers it passes; -1.
[[gnu::cold, gnu::noinline]] int refuse_raw_text(Output* out, const char* p, size_t n);
// ValueError for the code point `c` that raw_safe would refuse, as refuse_raw_text; -1.
[[gnu::cold, gnu::noinline]] int refuse_raw_char(Output* out, uint32_t c);

// --- strings (strings.cpp) -------------------------------------------------------------------

int _escaped_quoted_value(Output* out, PyObject* value, int escape_strings);
int _quoted_str_value(Output* out, PyObject* value);
int char_to_str(Output* out, const char* key, PyObject* value, int escape_strings);
// A key: bare when it is a valid TOML bare key, else a quoted string (escaped or raw).
int _key_to_buf(Output* out, PyObject* key, int escape_strings);

// --- values (values.cpp) ---------------------------------------------------------------------

int _value_to_buf(Output* out, PyObject* value, int escape_strings);
int _array_to_buf(Output* out, PyObject* arr, int escape_strings);

// --- inline tables (tables.cpp) --------------------------------------------------------------

int _inline_table_to_buf(Output* out, PyObject* d, int escape_strings);
// The lines of a table's records: each its indent, the record as an inline table, ",\n".
int records_to_buf(Output* out, const CTableData* table, int escape_strings);
int char_true(Output* out, const char* key);

// --- layout (layout.cpp) ---------------------------------------------------------------------

size_t count_records(const CUnifiedData* data);
size_t estimate_buffer_size(const CUnifiedData* data);
int _encode_to_buffer(const CUnifiedData* data, Output* out, int escape_strings);
int header_to_buf(Output* out, const HeaderData* header, int escape_strings);
int _table_to_buf(Output* out, const CTableData* table, int escape_strings);
int _column_to_buf(Output* out, const ColumnsData* col, int escape_strings);

// --- entry points (entry.cpp, functions.cpp) -------------------------------------------------

int intern_entry_names();
PyObject* _encode_unified_data_impl(PyObject* data, int escape_strings);
PyObject* _write_unified_data_impl(PyObject* data, PyObject* filepath, int escape_strings);
// The file system's form of the str `filepath`, as open() has it: surrogate escapes give back
// the bytes of a name that is not UTF-8. A NUL, which would cut the path short, raises
// ValueError. A new bytes object, or null with an exception set.
PyObject* encode_path(PyObject* filepath);
// write_unified_data, then encode_unified_data, with their docstrings.
extern PyMethodDef module_functions[];

// --- file output (file.cpp) ------------------------------------------------------------------

// Saves the document to `path` (encode_path of `filepath`) without losing an existing file
// on failure.
int write_document(const CUnifiedData* data, const char* path, PyObject* filepath,
                   int escape_strings);
// Saves the `size` bytes at `text` the same way.
int write_text(const char* text, size_t size, const char* path, PyObject* filepath);

}  // namespace wrenfold::inkwright
