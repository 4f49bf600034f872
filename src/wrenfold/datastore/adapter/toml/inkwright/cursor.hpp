// The encoder's write cursor. Plain C++ with no Python dependency, so the unit tests build
// without an interpreter.
#pragma once

#include <cstddef>
#include <cstring>

#include <wrenfold/_cpp/common/buffer.hpp>

namespace wrenfold::inkwright {

using common::Buffer;

// Appends to a buffer through a write pointer held in a local, for runs of small writes: a
// store through `char*` may alias the Buffer, so buf_write reloads and stores `pos` around
// every copy. reserve() first, then put() at most that many bytes. Whoever writes to the
// buffer directly in between calls commit() before and load() after. Meant to live in
// registers: everything is inline and nothing takes its address.
class Cursor {
public:
    explicit Cursor(Buffer* buf) : buf_(buf) {
        load();
    }
    Cursor(const Cursor&) = delete;
    Cursor& operator=(const Cursor&) = delete;

    // Room for `n` more bytes. False as for buf_ensure: the bytes put so far are committed
    // and nothing else changes.
    [[gnu::always_inline]] bool reserve(size_t n) {
        if (n <= static_cast<size_t>(end_ - out_)) [[likely]] {
            return true;
        }
        commit();
        if (!common::detail::buf_grow(buf_, n)) {
            return false;
        }
        load();
        return true;
    }
    [[gnu::always_inline]] void put(const char* s, size_t n) {
        std::memcpy(out_, s, n);
        out_ += n;
    }
    // The write position, for writers that fill the reserved room themselves.
    char* out() const {
        return out_;
    }
    void advance_to(char* end) {
        out_ = end;
    }

    [[gnu::always_inline]] void commit() const {
        buf_->pos = static_cast<size_t>(out_ - buf_->data);
    }
    [[gnu::always_inline]] void load() {
        out_ = buf_->data + buf_->pos;
        end_ = buf_->data + buf_->capacity;
    }
    Buffer* buffer() const {
        return buf_;
    }

private:
    Buffer* buf_;
    char* out_;
    char* end_;
};

}  // namespace wrenfold::inkwright
