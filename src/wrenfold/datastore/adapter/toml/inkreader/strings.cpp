// Strings and keys: clean runs are found a word at a time and copied into the str at once;
// text with escapes or line ends to normalise is built in the scratch buffer first.
#include <cstring>

#include <wrenfold/_cpp/common/text_scan.hpp>
#include <wrenfold/_cpp/common/utf8_str.hpp>

#include "inkreader.hpp"
#include "runs.hpp"
#include "units.hpp"
#include "utf8_encode.hpp"

namespace wrenfold::inkreader {

namespace {

// The end of the clean run from `p`: the first byte of class `stop` (tab is clean), or `end`.
// `high` collects the bits of the bytes passed, to tell ASCII runs.
inline const char* clean_run(const char* p, const char* end, uint8_t stop, unsigned char quote,
                             uint64_t* high) {
#if defined(WF_VECTOR)
    if (!vec::scalar_text) {
        uint32_t top = 0;
        const bool found = clean_run_blocks(&p, end, quote, &top);
        *high |= top;
        if (found) {
            return p;
        }
    }
#endif
    uint64_t bits = 0;
    while (end - p >= 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        // The writer's word test with this string's quote: exact where it passes a word.
        if (common::escape_bits(w, quote) != 0) {
            break;
        }
        bits |= w;
        p += 8;
    }
    while (p < end && !is(*p, stop)) {
        bits |= static_cast<unsigned char>(*p);
        p++;
    }
    *high |= bits & 0x8080808080808080ull;
    return p;
}

void append_utf8(String& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

template <class In, class Out>
void narrow_units(Out* out, const In* in, size_t n) {
    for (size_t i = 0; i < n; i++) {
        out[i] = static_cast<Out>(in[i]);
    }
}

bool is_ascii_text(const String& s) {
    unsigned char bits = 0;
    for (unsigned char c : s) {
        bits |= c;
    }
    return bits < 0x80;
}

}  // namespace

PyObject* Parser::text(const char* s, size_t n, bool ascii) {
    if (!ascii) {
        // Well-formed: the document was checked or encoded whole, and escapes are scalars.
        const bool vector = !vec::scalar_text;
        return common::str_of_utf8(s, n, common::utf8_shape(s, n, vector), vector);
    }
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(n), 0x7F);
    if (str != nullptr) {
        std::memcpy(PyUnicode_DATA(str), s, n);
    }
    return str;
}

// The text of the `n` bytes at `s` inside the document. Short ASCII texts repeat in records
// (states, kinds, tags) as keys do, and share the keys' cache.
PyObject* Parser::doc_text(const char* s, size_t n, bool ascii) {
    if (ascii) {
        return n <= kShortText ? key_cache.get(s, n) : text(s, n, true);
    }
    return doc_ == nullptr ? text(s, n, false) : doc_units(s, n);
}

// The `n` characters of the non-ASCII str document from the byte at `s`'s offset on: their code
// units are copied, narrowed where the string needs a smaller kind than the document. Apart,
// so that the common ASCII string stays short.
PyObject* Parser::doc_units(const char* s, size_t n) {
    const int from = PyUnicode_KIND(doc_);
    const size_t first = static_cast<size_t>(s - begin_);
    const char* units = static_cast<const char*>(PyUnicode_DATA(doc_)) + first * from;
    const uint32_t widest = from == PyUnicode_1BYTE_KIND ? 0xFF
                            : from == PyUnicode_2BYTE_KIND
                                ? widest_unit(reinterpret_cast<const Py_UCS2*>(units), n, first)
                                : widest_unit(reinterpret_cast<const Py_UCS4*>(units), n, first);
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(n), widest);
    if (str == nullptr) {
        return nullptr;
    }
    const int to = PyUnicode_KIND(str);
    if (from == to) {
        std::memcpy(PyUnicode_DATA(str), units, n * to);
    } else if (from == PyUnicode_2BYTE_KIND) {
        narrow_units(PyUnicode_1BYTE_DATA(str), reinterpret_cast<const Py_UCS2*>(units), n);
    } else if (to == PyUnicode_1BYTE_KIND) {
        narrow_units(PyUnicode_1BYTE_DATA(str), reinterpret_cast<const Py_UCS4*>(units), n);
    } else {
        narrow_units(PyUnicode_2BYTE_DATA(str), reinterpret_cast<const Py_UCS4*>(units), n);
    }
    return str;
}

// The document's text from `from` to `to` appended to `out` as UTF-8.
void Parser::append_text(String& out, const char* from, const char* to) {
    if (doc_ == nullptr || PyUnicode_IS_ASCII(doc_)) {
        out.append(from, to);
        return;
    }
    const size_t n = static_cast<size_t>(to - from), at = out.size();
    const int kind = PyUnicode_KIND(doc_);
    const char* units = static_cast<const char*>(PyUnicode_DATA(doc_)) + (from - begin_) * kind;
    out.resize(at + utf8_room<Py_UCS4>(n));
    char* const start = out.data() + at;
    const char* stop = kind == PyUnicode_1BYTE_KIND
                           ? encode_utf8(start, reinterpret_cast<const Py_UCS1*>(units), n)
                       : kind == PyUnicode_2BYTE_KIND
                           ? encode_utf8(start, reinterpret_cast<const Py_UCS2*>(units), n)
                           : encode_utf8(start, reinterpret_cast<const Py_UCS4*>(units), n);
    out.resize(static_cast<size_t>(stop - out.data()));
}

// One escape sequence at the backslash `p_`, appended to `out` as UTF-8. In a multi-line
// string, a backslash at the end of a line removes the line end and the white space after it.
int Parser::escape(String& out, bool multiline) {
    const char* at = p_;
    if (end_ - p_ < 2) {
        p_ = end_;
        return fail(at, "Unescaped '\\' in a string");
    }
    const unsigned char kind = static_cast<unsigned char>(p_[1]);
    p_ += 2;
    if (const unsigned char byte = common::kUnescape.byte[kind]) {
        out += static_cast<char>(byte);
        return 0;
    }
    if (const int digits = common::kUnescape.hex_digits[kind]) {
        if (end_ - p_ < digits) {
            return fail(p_, "Invalid hex value");
        }
        uint32_t c = 0;
        for (int i = 0; i < digits; i++) {
            const unsigned char h = p_[i];
            if (!is(h, cls::kHex)) {
                return fail(p_, "Invalid hex value");
            }
            c = c * 16 + static_cast<uint32_t>(h <= '9' ? h - '0' : (h | 0x20) - 'a' + 10);
        }
        p_ += digits;
        if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
            return fail(p_, "Escaped character is not a Unicode scalar value");
        }
        append_utf8(out, c);
        return 0;
    }
    p_--;  // back to the character after the backslash
    if (multiline && (is(kind, cls::kSpace) || at_newline())) {
        skip_space();
        if (p_ == end_) {
            return 0;
        }
        if (!at_newline()) {
            return fail(p_, "Unescaped '\\' in a string");
        }
        while (p_ < end_ && (is(*p_, cls::kSpace) || at_newline())) {
            p_++;
        }
        return 0;
    }
    return fail(at, "Unescaped '\\' in a string");
}

PyObject* Parser::basic_string() {
    const char* start = ++p_;
    uint64_t high = 0;
    const char* stop = clean_run(start, end_, cls::kStrStop, '"', &high);
    if (stop < end_ && *stop == '"') {
        p_ = stop + 1;
        return doc_text(start, static_cast<size_t>(stop - start), high == 0);
    }
    return escaped_string(start, stop, high);
}

// The rest of a basic string that does not end at its first stop, `stop`: a string with
// escapes, or an error. Apart, so that the common string's loop keeps its constants in
// registers.
PyObject* Parser::escaped_string(const char* start, const char* stop, uint64_t high) {
    scratch_.clear();
    append_text(scratch_, start, stop);
    p_ = stop;
    while (true) {
        if (p_ == end_) {
            return error_at(p_, "Unterminated string");
        }
        if (*p_ == '"') {
            p_++;
            return text(scratch_.data(), scratch_.size(), is_ascii_text(scratch_));
        }
        if (*p_ != '\\') {
            return error_char(p_, "Illegal character %R");
        }
        if (escape(scratch_, false) < 0) {
            return nullptr;
        }
        const char* run = p_;
        p_ = clean_run(run, end_, cls::kStrStop, '"', &high);
        append_text(scratch_, run, p_);
    }
}

PyObject* Parser::literal_string() {
    const char* start = ++p_;
    uint64_t high = 0;
    const char* stop = clean_run(start, end_, cls::kLitStop, '\'', &high);
    if (stop == end_) {
        return error_at(stop, "Expected \"'\"");
    }
    if (*stop != '\'') {
        return error_char(stop, "Found invalid character %R");
    }
    p_ = stop + 1;
    return doc_text(start, static_cast<size_t>(stop - start), high == 0);
}

// A multi-line string, basic or literal: the text up to three closing quotes, a newline right
// after the opening ones left out, CRLF read as LF; escapes only in a basic one.
PyObject* Parser::multiline_string(bool literal) {
    const char quote = literal ? '\'' : '"';
    const uint8_t stop = literal ? cls::kLitStop : cls::kStrStop;
    p_ += 3;
    if (at_newline()) {
        p_ += *p_ == '\r' ? 2 : 1;
    }
    uint64_t high = 0;
    scratch_.clear();
    while (true) {
        const char* run = p_;
        p_ = clean_run(run, end_, stop, quote, &high);
        append_text(scratch_, run, p_);
        if (p_ == end_) {
            return error_at(p_, literal ? "Expected \"'''\"" : "Unterminated string");
        }
        const char c = *p_;
        if (c == quote) {
            if (end_ - p_ >= 3 && p_[1] == quote && p_[2] == quote) {
                p_ += 3;
                // Up to two more quotes belong to the text.
                for (int extra = 0; extra < 2 && p_ < end_ && *p_ == quote; extra++) {
                    scratch_ += quote;
                    p_++;
                }
                return text(scratch_.data(), scratch_.size(), high == 0);
            }
            scratch_ += quote;
            p_++;
        } else if (c == '\\' && !literal) {
            const size_t before = scratch_.size();
            if (escape(scratch_, true) < 0) {
                return nullptr;
            }
            for (size_t i = before; i < scratch_.size(); i++) {
                high |= static_cast<unsigned char>(scratch_[i]) & 0x80;
            }
        } else if (at_newline()) {
            scratch_ += '\n';  // \r\n reads as \n
            p_ += c == '\r' ? 2 : 1;
        } else {
            return error_char(p_, literal ? "Found invalid character %R" : "Illegal character %R");
        }
    }
}

// One part of a key: bare, or a one-line string of either kind. Short ASCII keys come from
// the cache.
PyObject* Parser::key_part() {
    if (p_ == end_) {
        return error_at(p_, "Invalid initial character for a key part");
    }
    const unsigned char c = *p_;
    if (is(c, cls::kBare)) {
        const char* start = p_;
        const char* p = start;  // a local, as in skip_space
        while (p < end_ && is(*p, cls::kBare)) {
            p++;
        }
        p_ = p;
        return key_cache.get(start, static_cast<size_t>(p - start));
    }
    if (c == '"' || c == '\'') {
        // The common quoted key: ASCII with nothing to escape.
        const char* start = p_ + 1;
        uint64_t high = 0;
        const char* stop =
            clean_run(start, end_, c == '"' ? cls::kStrStop : cls::kLitStop, c, &high);
        if (stop < end_ && *stop == c && high == 0) {
            p_ = stop + 1;
            return key_cache.get(start, static_cast<size_t>(stop - start));
        }
        return c == '"' ? basic_string() : literal_string();
    }
    return error_at(p_, "Invalid initial character for a key part");
}

}  // namespace wrenfold::inkreader
