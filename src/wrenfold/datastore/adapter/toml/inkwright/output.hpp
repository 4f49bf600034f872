// What an encode writes through: the Buffer of its text, how that grows and where the text
// goes (a str, or a file), the texts beyond ASCII that are noted rather than written, the
// dicts the writers are walking, and the place of an error on its way out. Writers reserve
// room, then put bytes into it; a record loop says when a record ends; the entry point takes
// the result. Every sizing decision is made here.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include <wrenfold/_cpp/common/buffer.hpp>
#include <wrenfold/_cpp/common/dict_walk.hpp>
#include <wrenfold/_cpp/common/number_format.hpp>
#include <wrenfold/datastore/c_unified_data/c_unified_data.hpp>

#include "wide_text.hpp"

namespace wrenfold::inkwright {

using c_unified_data::CUnifiedData;
using common::Buffer;

class Save;

// Characters the TOML escapes add to the str `s`, or wide::kLoneSurrogate.
inline ptrdiff_t escape_extra_of(PyObject* s) {
    const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(s));
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND: return wide::escape_extra(PyUnicode_1BYTE_DATA(s), n, true);
        case PyUnicode_2BYTE_KIND: return wide::escape_extra(PyUnicode_2BYTE_DATA(s), n, true);
        default: return wide::escape_extra(PyUnicode_4BYTE_DATA(s), n, true);
    }
}

class Output {
public:
    enum class Sink {
        kStr,     // the str that encode_unified_data returns
        kFile,    // a file written once the whole text is made
        kStream,  // a file replaced by rename, written a block at a time as the text is made
    };

    // Room that every reservation keeps past what it asks for. A writer may overwrite it but
    // never keeps it: the float formatter's window past its digits, and the copies that widen
    // the buffer's ASCII into the result a block at a time, past each piece.
    static constexpr size_t kScratch = 16;
    static_assert(common::kMaxDoubleReprChars - common::kMaxDoubleReprLen <= kScratch);
    static_assert(wide::kAsciiSlack <= kScratch);

    // `save` is where the file sinks write; it outlives the output. `defer_checks`: escaped
    // text for the str sink, whose exact strs beyond ASCII may be noted unchecked.
    explicit Output(Sink sink, Save* save = nullptr, bool defer_checks = false) noexcept
        : sink_(sink), save_(save), defers_checks_(defer_checks && sink == Sink::kStr) {}
    ~Output();
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // The first block, sized for `data`: 0, or -1 with MemoryError.
    int start(const CUnifiedData* data);

    // --- writing ---------------------------------------------------------------------------

    // Room for `n` more bytes, and kScratch past them: 0, or -1 with MemoryError (or, when a
    // full block is written to its file, the OSError of that).
    [[gnu::always_inline]] int reserve(size_t n) {
        return n <= static_cast<size_t>(limit() - at()) ? 0 : grow(n);
    }
    // The `n` bytes at `s`, appended.
    [[gnu::always_inline]] int put(const char* s, size_t n) {
        if (reserve(n) < 0) [[unlikely]] {
            return -1;
        }
        std::memcpy(at(), s, n);
        buf_.pos += n;
        return 0;
    }
    // Where the next byte goes, for a writer that fills reserved room itself, and the end of
    // what it wrote.
    char* at() const {
        return buf_.data + buf_.pos;
    }
    void advance_to(char* end) {
        buf_.pos = static_cast<size_t>(end - buf_.data);
    }
    // The offset in the text of `p`, a place in the room handed out.
    size_t offset_of(const char* p) const {
        return static_cast<size_t>(p - buf_.data);
    }
    // The end of the room that reservations hand out.
    char* limit() const {
        return buf_.data + buf_.capacity - kScratch;
    }
    // Grows (or, streaming, first empties into the file) for `n` more bytes; as reserve().
    [[gnu::cold, gnu::noinline]] int grow(size_t n);

    // --- text beyond ASCII -----------------------------------------------------------------
    //
    // The str sink does not write it: it notes where each such str goes, and the str it
    // returns takes the characters from the string itself, so they are neither converted to
    // UTF-8 (which the interpreter would keep in every string) nor decoded back.

    // Whether `s` can be noted at once, with no growth of the notes.
    bool can_note() const {
        return sink_ == Sink::kStr && runs_.count < runs_.capacity;
    }
    // Whether texts beyond ASCII are noted at all (else they are written as UTF-8).
    bool notes_text() const {
        return sink_ == Sink::kStr;
    }
    // Room for one more note: 0, or -1 with MemoryError.
    int room_for_note();
    // Notes the str `s` (`n` characters up to `max_char`, and `extra` more for its escapes)
    // at byte `pos` of the buffer; can_note() or room_for_note() has made room.
    void note(size_t pos, PyObject* s, size_t n, size_t extra, Py_UCS4 max_char) {
        add_run(pos, s, n + extra, extra, max_char);
        runs_.subclasses += !PyUnicode_CheckExact(s);
    }

    // Escaped text beyond ASCII is mostly clean. Until the first call out to user code, an
    // exact str is noted unchecked and checked as it is copied into the result, where its
    // units are read anyway: the escapes it needs are made there. A lone surrogate found
    // there cannot be blamed on its place, so the encode is made again with every text
    // checked as it is noted (needs_recheck()); nothing has called out yet, so nothing runs
    // twice.

    // Whether exact strs may be noted unchecked now.
    bool defers_checks() const {
        return defers_checks_;
    }
    // Notes the exact str `s` as note() does, unchecked; defers_checks().
    void note_unchecked(size_t pos, PyObject* s, size_t n, Py_UCS4 max_char) {
        add_run(pos, s, n, kUnchecked, max_char);
    }
    // Before a call out to user code: the texts noted unchecked are checked, and every text
    // after is checked as it is noted; the dicts being walked are armed. 0, or -1 with an
    // exception set.
    int before_call_out() {
        if (defers_checks_ && check_deferred() < 0) {
            return -1;
        }
        return common::arm_walks(walks_);
    }
    // Whether the encode failed on a lone surrogate in text noted unchecked.
    bool needs_recheck() const {
        return recheck_;
    }

    // --- records ---------------------------------------------------------------------------

    // After each record: once the buffer holds this much beside noted text, it moves into the
    // result, while the buffer and the noted strings are still in the cache.
    [[gnu::always_inline]] int end_record() {
        constexpr size_t kMoveAt = size_t{32} << 10;
        records_done_++;
        return ascii_ || buf_.pos < kMoveAt ? 0 : move_text();
    }

    // --- dicts being walked ----------------------------------------------------------------

    // The chain of the dicts the writers are walking, innermost first (common/dict_walk.hpp).
    common::DictWalk** walks() {
        return &walks_;
    }

    // --- the place of an error -------------------------------------------------------------
    //
    // Each writer that an error passes on its way out and that knows a place names it, the
    // innermost first ("field 'v': "), the outermost (kWhole) last ("table 't', record 0, ").
    // A raw-mode refusal gets the place in front of its message; any other error, whose
    // message is the model's or the interpreter's, in a note ("when encoding table 't',
    // record 0, field 'v'").

    enum class Place { kPart, kWhole };
    // Marks the pending exception as a refusal of raw text.
    void mark_refusal();
    // Names the place `format` gives (ending with ": " or ", ") on the pending exception.
    [[gnu::cold, gnu::noinline]] void name_place(Place place, const char* format, ...);

    // --- the end ---------------------------------------------------------------------------

    // The str sink's text as a new str; null with an exception set.
    PyObject* take_str();
    // A file sink's text: what is left written to the file, and the save committed. 0, or -1
    // with an exception set.
    int save();

private:
    struct TextRun {
        size_t pos;
        PyObject* text;  // strong reference; null once its characters are in the result
        size_t extra;    // characters the escapes add (none when it has nothing to escape),
                         // or kUnchecked
    };
    static constexpr size_t kUnchecked = SIZE_MAX;
    struct TextRuns {
        TextRun* items;
        size_t count;
        size_t capacity;
        size_t chars;       // of the noted texts, with what their escapes add
        Py_UCS4 max_char;   // the widest of them; 0 when none is noted
        size_t subclasses;  // how many of them are str subclasses
    };

    // The run of the str `s` at byte `pos`, `chars` characters in the result.
    void add_run(size_t pos, PyObject* s, size_t chars, size_t extra, Py_UCS4 max_char) {
        Py_INCREF(s);
        runs_.items[runs_.count++] = {pos, s, extra};
        runs_.chars += chars;
        runs_.max_char = std::max(runs_.max_char, max_char);
        ascii_ = false;
    }
    char* new_block(size_t size);
    char* resize(size_t capacity);
    size_t projected_size() const;
    size_t projected_chars(size_t need) const;
    bool reserve_text(size_t units, Py_UCS4 max_char);
    template <class Out>
    ptrdiff_t assemble(size_t units);
    int check_deferred();
    [[gnu::cold]] void lone_surrogate();
    bool hold_subclasses();
    int move_text();

    const Sink sink_;
    Save* const save_;
    Buffer buf_ = {};
    PyObject* block_ = nullptr;  // the str the buffer's block grew inside, if it did
    // No text beyond ASCII is noted: the buffer's text is the result, with no decoding pass.
    bool ascii_ = true;
    bool defers_checks_;
    bool recheck_ = false;
    common::DictWalk* walks_ = nullptr;
    // The refusal, and the error whose note, that the writers are still completing; only
    // compared with the pending exception, never dereferenced.
    PyObject* refused_ = nullptr;
    PyObject* noted_ = nullptr;

    // The str sink. Once text beyond ASCII is noted, the buffer's text and the noted texts
    // move every few records into `text_`, the str returned, as wide as its widest text.
    TextRuns runs_ = {};
    PyObject* text_ = nullptr;
    size_t text_len_ = 0;       // its characters filled
    PyObject* held_ = nullptr;  // list of the noted str subclasses, or null
    size_t records_ = 0;        // in the document
    size_t records_done_ = 0;   // written so far
    size_t plain_block_ = 0;    // what the buffer grows to while it notes text
};

// A window onto an Output for a run of small writes, its write position held in locals: a
// store through `char*` may alias the Output, which would then be reloaded and stored around
// every copy. reserve() first, then put() at most that many bytes. A writer that takes the
// Output itself is called through hand_over(). Meant to live in registers: everything is
// inline and nothing takes its address.
class Cursor {
public:
    explicit Cursor(Output* out) : out_(out) {
        load();
    }
    ~Cursor() {
        commit();
    }
    Cursor(const Cursor&) = delete;
    Cursor& operator=(const Cursor&) = delete;

    // As Output::reserve.
    [[gnu::always_inline]] int reserve(size_t n) {
        if (n <= static_cast<size_t>(end_ - at_)) [[likely]] {
            return 0;
        }
        commit();
        const int status = out_->grow(n);
        load();
        return status;
    }
    [[gnu::always_inline]] void put(const char* s, size_t n) {
        std::memcpy(at_, s, n);
        at_ += n;
    }
    // The write position, for writers that fill the reserved room themselves.
    char* at() const {
        return at_;
    }
    void advance_to(char* end) {
        at_ = end;
    }
    // Calls `write(out)`, a writer that takes the Output, with the position handed over to it
    // and taken back afterwards; returns what it returns.
    template <class Write>
    [[gnu::always_inline]] auto hand_over(Write write) {
        commit();
        const auto result = write(out_);
        load();
        return result;
    }
    Output* output() const {
        return out_;
    }

private:
    [[gnu::always_inline]] void commit() const {
        out_->advance_to(at_);
    }
    [[gnu::always_inline]] void load() {
        at_ = out_->at();
        end_ = out_->limit();
    }

    Output* out_;
    char* at_;
    char* end_;
};

}  // namespace wrenfold::inkwright
