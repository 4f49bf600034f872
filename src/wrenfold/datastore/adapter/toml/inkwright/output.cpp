// The Output: its blocks, how they grow, and the text handed out at the end, as a str built
// without a UTF-8 decoding pass, or written to a file. Why the sizes are what they are, with
// the measurements, is in DEVELOPERS.md ("The encoder's output").
#include "output.hpp"

#include <algorithm>
#include <cassert>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <wrenfold/_cpp/common/ref.hpp>
#include <wrenfold/_cpp/common/str_block.hpp>

#include "inkwright.hpp"
#include "save.hpp"

namespace wrenfold::inkwright {

using common::Ref;

namespace {

// Past 32 MiB glibc serves every block with fresh pages: a first block stays under that.
constexpr size_t kMostFirst = size_t{31} << 20;
// The str sink's first block: what outgrows it moves into the str.
constexpr size_t kFirstForStr = size_t{256} << 10;
// A block a save by rename writes at a time: memory stays bounded whatever the document.
constexpr size_t kStreamBlock = size_t{1} << 20;
// What is tried when the first block cannot be had.
constexpr size_t kSmallFirst = 65536;

// The characters of `in` with the TOML escapes, for the few texts that have any.
template <class Out, class In>
Out* copy_escaped(Out* out, const In* in, size_t n) {
    for (size_t i = 0; i < n; i++) {
        const uint32_t c = in[i];
        if (common::needs_escape(c)) {
            char text[common::detail::kMaxEscapeLen];
            const char* end = common::detail::put_escape(text, static_cast<unsigned char>(c),
                                                         common::kEscape.cls[c]);
            for (const char* p = text; p < end; p++) {
                *out++ = static_cast<Out>(*p);
            }
        } else {
            *out++ = static_cast<Out>(c);
        }
    }
    return out;
}

template <bool Escape, class Out, class In>
Out* copy_units(Out* out, const In* in, size_t n) {
    return Escape ? copy_escaped(out, in, n) : wide::copy_units(out, in, n);
}

// The first `n` characters of `text`, escaped if `Escape`.
template <bool Escape, class Out>
Out* copy_text(Out* out, PyObject* text, size_t n) {
    // The result is as wide as its widest text, so no text is narrowed.
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND: return copy_units<Escape>(out, PyUnicode_1BYTE_DATA(text), n);
        case PyUnicode_2BYTE_KIND:
            if constexpr (sizeof(Out) >= 2) {
                return copy_units<Escape>(out, PyUnicode_2BYTE_DATA(text), n);
            }
            break;
        default:
            if constexpr (sizeof(Out) == 4) {
                return copy_units<Escape>(out, PyUnicode_4BYTE_DATA(text), n);
            }
    }
    assert(false);
    return out;
}

}  // namespace

Output::~Output() {
    for (size_t i = 0; i < runs_.count; i++) {
        Py_XDECREF(runs_.items[i].text);
    }
    std::free(runs_.items);
    Py_XDECREF(text_);
    Py_XDECREF(held_);
    if (block_ != nullptr) {
        Py_DECREF(block_);
    } else {
        std::free(buf_.data);
    }
}

int Output::start(const CUnifiedData* data) {
    size_t first = kStreamBlock;
    if (sink_ != Sink::kStream) {
        // The estimate allows ten times what records take; the block grows past it anyway.
        const size_t estimate = std::min(estimate_buffer_size(data), kMostFirst);
        first = estimate;
        if (sink_ == Sink::kStr) {
            records_ = count_records(data);
            plain_block_ = estimate;
            first = std::min(estimate, kFirstForStr);
        }
    }
    char* block = new_block(first);
    if (block == nullptr && sink_ != Sink::kStream) {
        block = new_block(first = kSmallFirst);
    }
    buf_ = {block, 0, first};
    if (block == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

// A first block of `size` bytes, or null (no exception). The str sink writes its ASCII
// straight into the str it returns, which is trimmed at the end rather than copied.
char* Output::new_block(size_t size) {
    if (sink_ != Sink::kStr) {
        return static_cast<char*>(std::malloc(size));
    }
    return common::new_str_block(size, &block_);
}

// The size the whole text will reach, judged by the records written so far, with an eighth
// to spare; 0 before the first record.
size_t Output::projected_size() const {
    if (records_done_ == 0) {
        return 0;
    }
    const double per_record = static_cast<double>(buf_.pos) / records_done_;
    const double size = per_record * records_ * 1.125 + 65536;
    return size < static_cast<double>(PY_SSIZE_T_MAX / 2) ? static_cast<size_t>(size) : 0;
}

// A block of `capacity` bytes or more holding the content. The str sink's ASCII grows inside
// the str it returns; once it notes text, it stays a plain block, grown at once to the block
// a save starts with.
char* Output::resize(size_t capacity) {
    if (sink_ != Sink::kStr) {
        return static_cast<char*>(std::realloc(buf_.data, capacity));
    }
    if (!ascii_) {
        if (block_ != nullptr) {
            // Leaves the str it started in.
            char* data = static_cast<char*>(std::malloc(std::max(plain_block_, capacity)));
            if (data == nullptr && plain_block_ > capacity) {
                data = static_cast<char*>(std::malloc(capacity));
            }
            if (data != nullptr) {
                std::memcpy(data, buf_.data, buf_.pos);
                Py_CLEAR(block_);
            }
            return data;
        }
        char* data = nullptr;
        if (plain_block_ > capacity) {
            data = static_cast<char*>(std::realloc(buf_.data, plain_block_));
        }
        return data != nullptr ? data : static_cast<char*>(std::realloc(buf_.data, capacity));
    }
    return common::grow_into_str(&buf_, &block_, capacity);
}

int Output::grow(size_t n) {
    // Every write keeps kScratch past it, so the content never reaches into the scratch room.
    assert(buf_.capacity - buf_.pos >= kScratch);
    if (sink_ == Sink::kStream && buf_.pos > 0) {
        // The interpreter lock stays held: no other thread changes the document half way.
        if (save_->write(buf_.data, buf_.pos, Lock::kHold) < 0) {
            return -1;
        }
        buf_.pos = 0;
        if (n <= buf_.capacity - kScratch) {
            return 0;
        }
    }
    size_t needed, required;
    if (__builtin_add_overflow(n, kScratch, &needed) ||
        __builtin_add_overflow(buf_.pos, needed, &required)) {
        PyErr_NoMemory();
        return -1;
    }
    // The ASCII str grows to the size the records so far foretell, not to twice its size:
    // each block larger than the last result comes from fresh pages (or, past 32 MiB, is
    // mapped anew), and the projection grows more accurate with every record.
    const size_t preferred =
        sink_ == Sink::kStr && ascii_ ? std::max(projected_size(), required + required / 4) : 0;
    if (!common::detail::grow_with(
            &buf_, needed, [this](size_t capacity) { return resize(capacity); }, preferred)) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

int Output::room_for_note() {
    if (runs_.count < runs_.capacity) {
        return 0;
    }
    const size_t capacity = runs_.capacity > 0 ? 2 * runs_.capacity : 256;
    void* items = capacity <= SIZE_MAX / sizeof(TextRun)
                      ? std::realloc(runs_.items, capacity * sizeof(TextRun))
                      : nullptr;
    if (items == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    runs_.items = static_cast<TextRun*>(items);
    runs_.capacity = capacity;
    return 0;
}

// Fills the `units` code units of the result after its text_len_, and up to kScratch past
// them, with the buffer's ASCII and the noted texts in their places; a text noted unchecked is
// checked as it is copied, and escaped over its copy if it must be, the result grown for it.
// The reference to each exact str is dropped once it is copied, while the object is still in
// the cache. The units filled, or -1 with an exception set.
template <class Out>
ptrdiff_t Output::assemble(size_t units) {
    Out* start = reinterpret_cast<Out*>(PyUnicode_DATA(text_)) + text_len_;
    Out* out = start;
    wide::AsciiWidener ascii;
    size_t at = 0;
    for (size_t i = 0; i < runs_.count; i++) {
        TextRun& run = runs_.items[i];
        out = ascii.copy(out, buf_.data + at, run.pos - at);
        const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(run.text));
        const bool same_width = PyUnicode_KIND(run.text) == sizeof(Out);
        if (run.extra == kUnchecked) [[likely]] {
            bool clean;
            if (same_width) {
                clean = wide::copy_clean(out, static_cast<const Out*>(PyUnicode_DATA(run.text)), n);
            } else {
                copy_text<false>(out, run.text, n);
                clean = wide::clean(out, n);
            }
            if (clean) [[likely]] {
                out += n;
            } else {
                const ptrdiff_t extra = escape_extra_of(run.text);
                if (extra == wide::kLoneSurrogate) {
                    lone_surrogate();
                    return -1;
                }
                const size_t done = static_cast<size_t>(out - start);
                units += static_cast<size_t>(extra);
                if (!reserve_text(units + kScratch, std::max<Py_UCS4>(runs_.max_char, 0x7F))) {
                    return -1;
                }
                start = reinterpret_cast<Out*>(PyUnicode_DATA(text_)) + text_len_;
                out = copy_text<true>(start + done, run.text, n);
            }
        } else if (run.extra == 0 && same_width) [[likely]] {
            // Most texts are as wide as the result: copied inline.
            common::copy_text(reinterpret_cast<char*>(out),
                              static_cast<const char*>(PyUnicode_DATA(run.text)), n * sizeof(Out));
            out += n;
        } else {
            out = run.extra > 0 ? copy_text<true>(out, run.text, n)
                                : copy_text<false>(out, run.text, n);
        }
        if (PyUnicode_CheckExact(run.text)) {
            Py_CLEAR(run.text);
        }
        at = run.pos;
    }
    out = ascii.copy(out, buf_.data + at, buf_.pos - at);
    assert(out == start + units);
    if (!ascii.ascii()) {
        // Some writer put text that is not ASCII into the buffer without noting it.
        PyErr_SetString(PyExc_SystemError, "inkwright: text that is not ASCII was not noted");
        return -1;
    }
    return static_cast<ptrdiff_t>(units);
}

// The encode must be made again with every text checked as it is noted.
void Output::lone_surrogate() {
    recheck_ = true;
    PyErr_SetString(PyExc_SystemError, "inkwright: a lone surrogate was noted unchecked");
}

int Output::check_deferred() {
    defers_checks_ = false;
    for (size_t i = 0; i < runs_.count; i++) {
        TextRun& run = runs_.items[i];
        if (run.extra != kUnchecked) {
            continue;
        }
        const ptrdiff_t extra = escape_extra_of(run.text);
        if (extra == wide::kLoneSurrogate) {
            lone_surrogate();
            return -1;
        }
        run.extra = static_cast<size_t>(extra);
        runs_.chars += run.extra;
    }
    return 0;
}

// The characters the result will reach, judged by the records written so far, with an
// eighth to spare; `need` once every record is written.
size_t Output::projected_chars(size_t need) const {
    if (records_done_ == 0 || records_done_ >= records_) {
        return need;
    }
    const double size = static_cast<double>(need) / static_cast<double>(records_done_) *
                        static_cast<double>(records_) * 1.125;
    return size < static_cast<double>(PY_SSIZE_T_MAX / 8) ? static_cast<size_t>(size) : need;
}

// Room in the result for `units` more characters, up to `max_char`: it is made, grown, or
// replaced by a wider one that takes what is filled. False with an exception set.
bool Output::reserve_text(size_t units, Py_UCS4 max_char) {
    size_t need;
    if (__builtin_add_overflow(text_len_, units, &need) ||
        need > static_cast<size_t>(PY_SSIZE_T_MAX)) {
        PyErr_NoMemory();
        return false;
    }
    size_t capacity = projected_chars(need);
    if (text_ != nullptr) {
        const size_t had = static_cast<size_t>(PyUnicode_GET_LENGTH(text_));
        if (max_char <= PyUnicode_MAX_CHAR_VALUE(text_)) {
            if (need <= had) {
                return true;
            }
            capacity = std::max(capacity, had + had / 4);
            if (PyUnicode_Resize(&text_, static_cast<Py_ssize_t>(capacity)) < 0) {
                return false;
            }
            common::advise_huge_str(text_);
            return true;
        }
        capacity = std::max(capacity, had);
    }
    common::keep_in_heap(capacity, max_char);
    Ref wider(PyUnicode_New(static_cast<Py_ssize_t>(capacity), max_char));
    if (!wider) {
        return false;
    }
    common::advise_huge_str(wider.get());
    if (text_ != nullptr) {
        if (PyUnicode_KIND(wider.get()) == PyUnicode_2BYTE_KIND) {
            copy_text<false>(PyUnicode_2BYTE_DATA(wider.get()), text_, text_len_);
        } else {
            copy_text<false>(PyUnicode_4BYTE_DATA(wider.get()), text_, text_len_);
        }
    }
    Py_XSETREF(text_, wider.release());
    return true;
}

// The noted str subclasses still referenced after assembly, moved to a list: the last
// reference to one may be ours (user code can change the document), and dropping it could
// run its __del__ in the middle of the document.
bool Output::hold_subclasses() {
    for (size_t i = 0; i < runs_.count; i++) {
        PyObject*& text = runs_.items[i].text;
        if (text == nullptr) {
            continue;
        }
        if (held_ == nullptr && (held_ = PyList_New(0)) == nullptr) {
            return false;
        }
        if (PyList_Append(held_, text) < 0) {
            return false;
        }
        Py_CLEAR(text);
    }
    return true;
}

// Moves the buffer's text, ASCII and noted texts, into the result, and empties the buffer.
// -1 with an exception set.
int Output::move_text() {
    const size_t units = buf_.pos + runs_.chars;
    // The widening copies read the scratch room after the content: zeroed, it reads as ASCII.
    std::memset(buf_.data + buf_.pos, 0, kScratch);
    if (!reserve_text(units + kScratch, std::max<Py_UCS4>(runs_.max_char, 0x7F))) {
        return -1;
    }
    ptrdiff_t filled;
    switch (PyUnicode_KIND(text_)) {
        case PyUnicode_1BYTE_KIND: filled = assemble<Py_UCS1>(units); break;
        case PyUnicode_2BYTE_KIND: filled = assemble<Py_UCS2>(units); break;
        default: filled = assemble<Py_UCS4>(units);
    }
    if (filled < 0 || (runs_.subclasses > 0 && !hold_subclasses())) {
        return -1;
    }
    text_len_ += static_cast<size_t>(filled);
    runs_.count = 0;
    runs_.chars = 0;
    runs_.max_char = 0;
    runs_.subclasses = 0;
    buf_.pos = 0;
    return 0;
}

// ASCII text is already the str's data, and a buffer that grew inside a str is trimmed and
// handed out as it is; other text joins what moved into the result before.
PyObject* Output::take_str() {
    if (!ascii_) {
        if (move_text() < 0 || PyUnicode_Resize(&text_, static_cast<Py_ssize_t>(text_len_)) < 0) {
            return nullptr;
        }
        return std::exchange(text_, nullptr);
    }
    assert(std::all_of(buf_.data, buf_.data + buf_.pos, [](char c) { return c >= 0; }));
    return common::take_ascii_str(&buf_, &block_);
}

int Output::save() {
    // The in-place path reserves the whole size first; the others ignore it.
    if ((sink_ == Sink::kFile && save_->reserve(buf_.pos) < 0) ||
        save_->write(buf_.data, buf_.pos) < 0 || save_->commit() < 0) {
        return -1;
    }
    return 0;
}

}  // namespace wrenfold::inkwright
