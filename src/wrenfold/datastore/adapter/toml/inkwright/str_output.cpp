// The str that encode_unified_data returns, built from the document's buffer without a
// UTF-8 decoding pass.
#include "inkwright.hpp"
#include "wide_text.hpp"

#include <algorithm>
#include <cassert>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <wrenfold/_cpp/common/ref.hpp>
#include <wrenfold/_cpp/common/str_block.hpp>

namespace wrenfold::inkwright {

using common::Ref;

namespace {

// The size the whole text will reach, judged by the records written so far, with an eighth
// to spare; 0 before the first record.
size_t projected_size(const Buffer* buf) {
    const auto* output = static_cast<const EncodeOutput*>(buf->user);
    if (output == nullptr || output->records_done == 0) {
        return 0;
    }
    const double per_record = static_cast<double>(buf->pos) / output->records_done;
    const double size = per_record * output->records * 1.125 + 65536;
    return size < static_cast<double>(PY_SSIZE_T_MAX / 2) ? static_cast<size_t>(size) : 0;
}

}  // namespace

// Growth of an encode's buffer past its first block goes into the str the encode returns:
// the text is then written straight into the result, with no final copy. The str is made
// the size that the records written so far foretell: much larger, and glibc hands the part
// cut off at the end back to the system, so that the next encode writes into fresh pages
// (twice the time at four times the size); smaller, and the text is copied as the str grows.
// A buffer that noted text beyond ASCII hands its text on to the output's str every few
// records: it stays a plain block, and when one record outgrows it, grows at once to the
// size a save's buffer starts with, which glibc then keeps for the next encode.
char* grow_into_str(Buffer* buf, size_t capacity) {
    if (buf->owner == nullptr && !buf->ascii) {
        const size_t plain = static_cast<const EncodeOutput*>(buf->user)->plain_block;
        char* data = nullptr;
        if (plain > capacity) {
            data = static_cast<char*>(std::realloc(buf->data, plain));
        }
        return data != nullptr ? data : static_cast<char*>(std::realloc(buf->data, capacity));
    }
    if (buf->owner == nullptr) {
        const size_t projected = projected_size(buf);
        capacity = projected > capacity ? projected : capacity;
    }
    return common::grow_into_str_block(buf, capacity);
}

namespace {

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

// Fills the `units` code units at `out`, and up to wide::kAsciiSlack past them, with the
// buffer's ASCII and the noted texts in their places. The reference to each exact str is
// dropped once it is copied, while the object is still in the cache. False when the buffer
// holds a byte that is not ASCII.
template <class Out>
bool assemble(Out* out, size_t units, const Buffer* buf, TextRuns* runs) {
    Out* const end = out + units;
    wide::AsciiWidener ascii;
    size_t at = 0;
    for (size_t i = 0; i < runs->count; i++) {
        TextRun& run = runs->items[i];
        out = ascii.copy(out, buf->data + at, run.pos - at);
        const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(run.text));
        if (run.extra == 0 && PyUnicode_KIND(run.text) == sizeof(Out)) [[likely]] {
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
    out = ascii.copy(out, buf->data + at, buf->pos - at);
    assert(out == end);
    (void)end;
    return ascii.ascii();
}

// The characters the result will reach, judged by the records written so far, with an
// eighth to spare; `need` once every record is written.
size_t projected_chars(const EncodeOutput* output, size_t need) {
    if (output->records_done == 0 || output->records_done >= output->records) {
        return need;
    }
    const double size = static_cast<double>(need) / static_cast<double>(output->records_done) *
                        static_cast<double>(output->records) * 1.125;
    return size < static_cast<double>(PY_SSIZE_T_MAX / 8) ? static_cast<size_t>(size) : need;
}

// A block a little larger than a str of `chars` characters up to `max_char`, allocated and
// freed at once. glibc serves a block above its mmap threshold with fresh pages, and freeing
// one raises the threshold to its size. The result str is made larger than it ends and then
// trimmed, so the caller's free of it leaves the threshold below what the next encode asks
// for: every encode then faulted its text's pages in (1,100 faults and 2.4 ms on the
// non-ASCII benchmark document, more than the encode). Freed first, this block keeps the
// str's block in the heap, reused warm; after the first encode it is itself a heap block.
void keep_in_heap(size_t chars, Py_UCS4 max_char) {
    const size_t kind = max_char > 0xFFFF ? 4 : max_char > 0xFF ? 2 : 1;
    void* volatile block = std::malloc((chars + 1) * kind + 256);
    std::free(block);
}

// Room in the output's str for `units` more characters, up to `max_char`: it is made, grown,
// or replaced by a wider one that takes what is filled. False with an exception set.
bool reserve_text(EncodeOutput* output, size_t units, Py_UCS4 max_char) {
    size_t need;
    if (__builtin_add_overflow(output->text_len, units, &need) ||
        need > static_cast<size_t>(PY_SSIZE_T_MAX)) {
        PyErr_NoMemory();
        return false;
    }
    PyObject* text = output->text;
    size_t capacity = projected_chars(output, need);
    if (text != nullptr) {
        const size_t had = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
        if (max_char <= PyUnicode_MAX_CHAR_VALUE(text)) {
            if (need <= had) {
                return true;
            }
            capacity = std::max(capacity, had + had / 4);
            return PyUnicode_Resize(&output->text, static_cast<Py_ssize_t>(capacity)) == 0;
        }
        capacity = std::max(capacity, had);
    }
    keep_in_heap(capacity, max_char);
    Ref wider(PyUnicode_New(static_cast<Py_ssize_t>(capacity), max_char));
    if (!wider) {
        return false;
    }
    if (text != nullptr) {
        const size_t n = output->text_len;
        if (PyUnicode_KIND(wider.get()) == PyUnicode_2BYTE_KIND) {
            copy_text<false>(PyUnicode_2BYTE_DATA(wider.get()), text, n);
        } else {
            copy_text<false>(PyUnicode_4BYTE_DATA(wider.get()), text, n);
        }
    }
    Py_XSETREF(output->text, wider.release());
    return true;
}

// The noted str subclasses still referenced after assembly, moved to the output's list: the
// last reference to one may be ours (user code can change the document), and dropping it
// could run its __del__ in the middle of the document.
bool hold_subclasses(EncodeOutput* output) {
    TextRuns* runs = &output->runs;
    for (size_t i = 0; i < runs->count; i++) {
        PyObject*& text = runs->items[i].text;
        if (text == nullptr) {
            continue;
        }
        if (output->held == nullptr && (output->held = PyList_New(0)) == nullptr) {
            return false;
        }
        if (PyList_Append(output->held, text) < 0) {
            return false;
        }
        Py_CLEAR(text);
    }
    return true;
}

}  // namespace

int move_text(Buffer* buf) {
    auto* output = static_cast<EncodeOutput*>(buf->user);
    TextRuns* runs = &output->runs;
    const size_t units = buf->pos + runs->chars;
    // The slack that the widening copies may read and write.
    if (!common::buf_ensure(buf, wide::kAsciiSlack)) {
        PyErr_NoMemory();
        return -1;
    }
    std::memset(buf->data + buf->pos, 0, wide::kAsciiSlack);
    if (!reserve_text(output, units + wide::kAsciiSlack, std::max<Py_UCS4>(runs->max_char, 0x7F))) {
        return -1;
    }
    PyObject* text = output->text;
    const size_t at = output->text_len;
    bool ok;
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            ok = assemble(PyUnicode_1BYTE_DATA(text) + at, units, buf, runs);
            break;
        case PyUnicode_2BYTE_KIND:
            ok = assemble(PyUnicode_2BYTE_DATA(text) + at, units, buf, runs);
            break;
        default: ok = assemble(PyUnicode_4BYTE_DATA(text) + at, units, buf, runs);
    }
    if (!ok) {
        // Some writer put text that is not ASCII into the buffer without noting it.
        PyErr_SetString(PyExc_SystemError, "inkwright: text that is not ASCII was not noted");
        return -1;
    }
    if (!hold_subclasses(output)) {
        return -1;
    }
    output->text_len += units;
    runs->count = 0;
    runs->chars = 0;
    runs->max_char = 0;
    buf->pos = 0;
    return 0;
}

// The buffer's text as a new str. ASCII text is already the str's data, and a buffer that
// grew into a str is trimmed and handed out as it is; other text joins what moved into the
// output's str before.
PyObject* buffer_to_str(Buffer* buf) {
    if (!buf->ascii) {
        auto* output = static_cast<EncodeOutput*>(buf->user);
        if (move_text(buf) < 0 ||
            PyUnicode_Resize(&output->text, static_cast<Py_ssize_t>(output->text_len)) < 0) {
            return nullptr;
        }
        return std::exchange(output->text, nullptr);
    }
    assert(std::all_of(buf->data, buf->data + buf->pos, [](char c) { return c >= 0; }));
    return common::take_ascii_str(buf);
}

void release_output(EncodeOutput* output) {
    TextRuns* runs = &output->runs;
    for (size_t i = 0; i < runs->count; i++) {
        Py_XDECREF(runs->items[i].text);
    }
    std::free(runs->items);
    *runs = TextRuns{};
    Py_CLEAR(output->text);
    Py_CLEAR(output->held);
}

}  // namespace wrenfold::inkwright
