// A document saved to a file. Replacing by rename writes the text to the temporary file as it
// is made, a block at a time, so that memory stays bounded whatever the document's size; the
// target is untouched until the rename. Every other way of saving (in place, or into a FIFO
// or a device) has the whole text made first: nothing is written if making it fails.
#include <sys/stat.h>

#include "inkwright.hpp"
#include "save.hpp"

namespace wrenfold::inkwright {

namespace {

// Big enough that a write costs little next to making its bytes, small enough that memory
// does not grow with the document.
constexpr size_t kStreamBlock = size_t{1} << 20;

// The buffer's drain while streaming: its content appended to the temporary file. The
// interpreter lock stays held, so no other thread changes the document half way through.
bool drain_to_save(Buffer* buf) {
    if (static_cast<Save*>(buf->sink)->write(buf->data, buf->pos, Lock::kHold) < 0) {
        return false;
    }
    buf->pos = 0;
    return true;
}

// Owns the buffer of one save.
struct BufferOwner {
    Buffer* buf;
    ~BufferOwner() {
        common::buf_free(buf);
    }
};

int stream_document(const CUnifiedData* data, Save& save, int escape_strings) {
    BufferOwner owner{common::buf_new(kStreamBlock)};
    Buffer* buf = owner.buf;
    if (buf == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    buf->drain = drain_to_save;
    buf->sink = &save;
    if (_encode_to_buffer(data, buf, escape_strings) < 0) {
        return -1;
    }
    return save.write(buf->data, buf->pos) < 0 || save.commit() < 0 ? -1 : 0;
}

// Opening waits for a FIFO's reader: such a target is opened once there is text to give it.
bool opens_first(const char* path) {
    struct stat st;
    return ::stat(path, &st) < 0 || S_ISREG(st.st_mode);
}

}  // namespace

int write_document(const CUnifiedData* data, const char* path, PyObject* filepath,
                   int escape_strings) {
    Save save(path, filepath);  // its destructor undoes what it can on failure
    const bool opened = opens_first(path);
    if (opened) {
        if (save.open() < 0) {
            return -1;
        }
        if (save.mode() == Save::Mode::kRename) {
            return stream_document(data, save, escape_strings);
        }
    }
    BufferOwner owner{new_document_buffer(data)};
    Buffer* buf = owner.buf;
    if (buf == nullptr) {
        return -1;
    }
    if (_encode_to_buffer(data, buf, escape_strings) < 0 || (!opened && save.open() < 0) ||
        save.reserve(buf->pos) < 0 || save.write(buf->data, buf->pos) < 0 || save.commit() < 0) {
        return -1;
    }
    return 0;
}

}  // namespace wrenfold::inkwright
