// The str that encode_unified_data returns, built from the document's buffer without a
// UTF-8 decoding pass.
#include "inkwright.hpp"
#include "wide_text.hpp"

#include <algorithm>
#include <cassert>
#include <cstdlib>
#include <cstring>

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
// A buffer that noted text beyond ASCII becomes a new str at the end anyway: it stays a
// plain block, and grows at once to the size a save's buffer starts with. Then glibc keeps
// that much memory for the next encode; grown step by step, this document's blocks went
// back to the system each time (2.4x the time on 10,000 records, half their text beyond
// ASCII).
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
        if (c < 0x80 && common::kEscape.cls[c] != 0) {
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

template <bool Escape, class Out>
Out* copy_text(Out* out, PyObject* text) {
    const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
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

// Fills the `chars` code units at `out`.
template <class Out>
bool assemble(Out* out, size_t chars, const Buffer* buf, const TextRuns* runs) {
    Out* const end = out + chars;
    size_t at = 0;
    for (size_t i = 0; i < runs->count; i++) {
        const TextRun& run = runs->items[i];
        if (!wide::copy_ascii(out, buf->data + at, run.pos - at)) {
            return false;
        }
        out += run.pos - at;
        out = run.extra > 0 ? copy_text<true>(out, run.text) : copy_text<false>(out, run.text);
        at = run.pos;
    }
    const bool ascii = wide::copy_ascii(out, buf->data + at, buf->pos - at);
    assert(out + (buf->pos - at) == end);
    (void)end;
    return ascii;
}

// The text of an encode that noted text which is not ASCII: the ASCII of the buffer with
// the noted texts' characters put in their places.
PyObject* str_from_runs(const Buffer* buf, const TextRuns* runs) {
    size_t chars = buf->pos;
    Py_UCS4 max_char = 0x7F;
    for (size_t i = 0; i < runs->count; i++) {
        const TextRun& run = runs->items[i];
        chars += static_cast<size_t>(PyUnicode_GET_LENGTH(run.text)) + run.extra;
        max_char = std::max(max_char, PyUnicode_MAX_CHAR_VALUE(run.text));
    }
    Ref result(PyUnicode_New(static_cast<Py_ssize_t>(chars), max_char));
    if (!result) {
        return nullptr;
    }
    bool ok;
    switch (PyUnicode_KIND(result.get())) {
        case PyUnicode_1BYTE_KIND:
            ok = assemble(PyUnicode_1BYTE_DATA(result.get()), chars, buf, runs);
            break;
        case PyUnicode_2BYTE_KIND:
            ok = assemble(PyUnicode_2BYTE_DATA(result.get()), chars, buf, runs);
            break;
        default: ok = assemble(PyUnicode_4BYTE_DATA(result.get()), chars, buf, runs);
    }
    if (!ok) {
        // Some writer put text that is not ASCII into the buffer without noting it.
        PyErr_SetString(PyExc_SystemError, "inkwright: text that is not ASCII was not noted");
        return nullptr;
    }
    return result.release();
}

}  // namespace

// The buffer's text as a new str. ASCII text is already the str's data, and a buffer that
// grew into a str is trimmed and handed out as it is.
PyObject* buffer_to_str(Buffer* buf) {
    if (!buf->ascii) {
        return str_from_runs(buf, &static_cast<const EncodeOutput*>(buf->user)->runs);
    }
    assert(std::all_of(buf->data, buf->data + buf->pos, [](char c) { return c >= 0; }));
    return common::take_ascii_str(buf);
}

}  // namespace wrenfold::inkwright
