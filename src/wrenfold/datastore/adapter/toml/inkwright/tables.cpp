// Inline tables from dicts: nested values, and the records of a table, one line each.
#include "cursor_values.hpp"

#include <wrenfold/_cpp/common/dict_entries.hpp>
#include <wrenfold/_cpp/common/dict_walk.hpp>
#include <wrenfold/_cpp/common/recursion.hpp>
#include <wrenfold/_cpp/common/ref.hpp>

namespace wrenfold::inkwright {

using common::Ref;

namespace {

// A dict's entries in storage order, read a batch at a time, each value's object asked for
// from memory as it is read: records lie scattered through memory, and the cache misses of a
// batch then overlap instead of coming one after the other. The entries are borrowed: once user
// code has run, those not yet written are stale and are read again.
class Entries {
public:
    using Entry = common::DictEntry;

    Entries() = default;
    Entries(const Entries&) = delete;
    Entries& operator=(const Entries&) = delete;

    // Reads the first batch of the dict `d`.
    void start(PyObject* d) {
        d_ = d;
        size_ = PyDict_GET_SIZE(d);
        fill(0);
    }

    PyObject* dict() const {
        return d_;
    }

    const Entry* begin() const {
        return batch_;
    }
    const Entry* end() const {
        return end_;
    }

    // The batch after this one; false when there is none.
    bool next_batch() {
        return more_ && fill(end_[-1].next);
    }

    // After user code has run while `e` was written: RuntimeError, and -1, when the dict
    // changed size or `walk` saw its keys change; else the entries after `e` are read again,
    // and 0.
    int after_call_out(const Entry* e, common::DictWalk& walk) {
        if (PyDict_GET_SIZE(d_) != size_) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return -1;
        }
        if (walk.check() < 0) {
            return -1;
        }
        fill(e->next);
        return 0;
    }

private:
    static constexpr int kBatch = 16;

    // The entries from position `at` on; false when there are none.
    bool fill(Py_ssize_t at) {
        end_ = batch_ + common::read_dict_entries(d_, at, batch_, kBatch, &more_);
        return end_ != batch_;
    }

    PyObject* d_ = nullptr;  // borrowed: the caller holds it
    Py_ssize_t size_ = 0;
    Entry* end_ = batch_;
    bool more_ = false;
    Entry batch_[kBatch];
};

// A list or tuple that is a record's field, without the calls and the recursion guard of
// _value_to_buf: an array of scalars (tags, say) is the common case. Deeper containers still
// go through _value_to_buf, guarded. As array_to_cursor.
Item record_array_to_buf(Output* out, PyObject* arr, int escape_strings) {
    // An item's __str__ may drop the record's reference to the array.
    Ref held = Ref::borrow(arr);
    Cursor c(out);
    const Item status = array_to_cursor(c, arr, escape_strings);
    if (status == Item::kFailed) {
        // The traceback of the path that _value_to_buf takes.
        INK_FAIL("_array_to_buf");
        INK_FAIL("_value_to_buf");
    }
    return status;
}

// The entries as an inline table; a record's line, with its indent and ",\n", when `Line`.
// One copy per mode: the flag is tested for every string.
template <bool Line, int escape_strings>
Item table_items(Output* out, Entries& entries, KeyMemo* memo) {
    // Only code that the walk calls can change the dict; it arms the walk first.
    common::DictWalk walk(entries.dict(), out->walks());
    Cursor c(out);
    if (c.reserve(INK_LEN(INDENT) + 2) < 0) {
        return Item::kFailed;
    }
    if (Line) {
        c.put(B_INDENT, INK_LEN(INDENT));
    }
    c.put(B_OPEN_BRACE, INK_LEN(OPEN_BRACE));
    c.put(B_SPACE, INK_LEN(SPACE));
    bool first = true;
    Item done = Item::kWritten;
    Item stop = Item::kWritten;
    Py_ssize_t slot = 0;
    for (bool more = entries.begin() != entries.end(); more;) {
        const Entries::Entry* e = entries.begin();
        const Entries::Entry* const end = entries.end();
        for (; e != end; e++, slot++) {
            PyObject* key = e->key;
            PyObject* value = e->value;
            if (value == Py_None) {
                continue;
            }
            if (c.reserve(INK_LEN(COMMA_SPACE) + KeyMemo::kRoom) < 0) {
                return Item::kFailed;
            }
            if (!first) {
                c.put(B_COMMA_SPACE, INK_LEN(COMMA_SPACE));
            }
            first = false;
            // The key is written before any user code can run; _value_to_buf holds the value
            // itself wherever user code can run.
            char* const kept = Line ? memo->put(c.at(), static_cast<size_t>(slot), key) : nullptr;
            if (kept != nullptr) {
                c.advance_to(kept);
            } else if (c.hand_over([&](Output* o) {
                           return _key_to_buf(o, key, escape_strings) < 0 || insert_equals(o) < 0
                                      ? -1
                                      : 0;
                       }) < 0) {
                stop = Item::kFailed;
                break;
            }
            // Scalars first: they are most of a record.
            const Put put = put_scalar(c, value, escape_strings);
            Item status = Item::kWritten;
            if (put == Put::kOther && Line &&
                (Py_IS_TYPE(value, &PyList_Type) || Py_IS_TYPE(value, &PyTuple_Type))) {
                status = c.hand_over(
                    [&](Output* o) { return record_array_to_buf(o, value, escape_strings); });
            } else if (put != Put::kWritten) [[unlikely]] {
                status = item_after_scalar(c, value, put, escape_strings);
            }
            if (status != Item::kWritten) [[unlikely]] {
                stop = status;
                break;
            }
        }
        if (e == end) {
            more = entries.next_batch();
            continue;
        }
        // Stopped at `e`: a failure, or user code ran while it was written.
        if (stop == Item::kFailed) {
            out->name_place(Output::Place::kPart, "field %R: ", e->key);
            return Item::kFailed;
        }
        if (entries.after_call_out(e, walk) < 0) {
            return Item::kFailed;
        }
        done = Item::kCalledOut;
        slot++;
        more = entries.begin() != entries.end();
    }
    if (c.reserve(2 + INK_LEN(COMMA) + INK_LEN(NEWLINE)) < 0) {
        return Item::kFailed;
    }
    c.put(B_SPACE, INK_LEN(SPACE));
    c.put(B_CLOSE_BRACE, INK_LEN(CLOSE_BRACE));
    if (Line) {
        c.put(B_COMMA, INK_LEN(COMMA));
        c.put(B_NEWLINE, INK_LEN(NEWLINE));
    }
    return done;
}

}  // namespace

int _inline_table_to_buf(Output* out, PyObject* d, int escape_strings) {
    common::RecursionGuard guard(" while encoding a TOML inline table");
    if (!guard.entered()) {
        return INK_FAIL("_inline_table_to_buf");
    }
    Entries entries;
    entries.start(d);
    if ((escape_strings ? table_items<false, 1>(out, entries, nullptr)
                        : table_items<false, 0>(out, entries, nullptr)) == Item::kFailed) {
        return INK_FAIL("_inline_table_to_buf");
    }
    return 0;
}

int records_to_buf(Output* out, const CTableData* table, int escape_strings) {
    KeyMemo memo;
    // Each record's entries are read while the one before it is written, so that their
    // objects arrive from memory in the meantime; one more record ahead, its dict.
    Entries ahead[2];
    const Py_ssize_t n = table->num_records;
    if (n > 0) {
        ahead[0].start(table->records[0]);
    }
    for (Py_ssize_t i = 0; i < n; i++) {
        Entries& entries = ahead[i & 1];
        Entries& next = ahead[(i + 1) & 1];
        if (i + 1 < n) {
            next.start(table->records[i + 1]);
        }
        if (i + 2 < n) {
            __builtin_prefetch(table->records[i + 2]);
        }
        // Records are written from this loop, not from a nested value: no recursion guard.
        const Item status = escape_strings ? table_items<true, 1>(out, entries, &memo)
                                           : table_items<true, 0>(out, entries, &memo);
        if (status == Item::kFailed) {
            out->name_place(Output::Place::kWhole, "table %R, record %zd, ", table->name, i);
            return INK_FAIL("_inline_table_to_buf");
        }
        if (out->end_record() < 0) {
            return INK_FAIL("_inline_table_to_buf");
        }
        // User code may have changed the next record since it was read.
        if (status == Item::kCalledOut && i + 1 < n) {
            next.start(table->records[i + 1]);
        }
    }
    return 0;
}

}  // namespace wrenfold::inkwright
